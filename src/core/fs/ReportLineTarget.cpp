#include "core/fs/ReportLineTarget.h"

#include <string_view>

namespace korvalane {
namespace {

constexpr std::u16string_view kParentPrefix = u"Parent MFT record ";
constexpr std::u16string_view kRecordPrefix = u"MFT record ";
constexpr std::u16string_view kRecordRunsHeader = u"Start cluster - clusters count:";
constexpr std::u16string_view kMftRunsHeader = u"MFT cluster - clusters count:";
constexpr std::u16string_view kRunSeparator = u" - ";
constexpr std::u16string_view kClusterPrefix = u", cluster ";
constexpr std::u16string_view kSizePrefix = u", size ";
constexpr std::u16string_view kSizeUnit = u" b";
// "  2024/01/31 12:00": two blanks, then the date and time of the entry.
constexpr std::u16string_view kStampPattern = u"  0000/00/00 00:00";
constexpr uint64_t kFirstDataCluster = 2;

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// A decimal number that is the whole text, or nothing (empty, other characters, past 64 bits).
std::optional<uint64_t> WholeDecimal(std::u16string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char16_t c : text) {
    if (!IsDigit(c)) return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - u'0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// The digits at the end of `text`, split off.
std::u16string_view TrailingDigits(std::u16string_view& text) {
  size_t start = text.size();
  while (start > 0 && IsDigit(text[start - 1])) --start;
  const std::u16string_view digits = text.substr(start);
  text.remove_suffix(digits.size());
  return digits;
}

bool TakeSuffix(std::u16string_view& text, std::u16string_view suffix) {
  if (!text.ends_with(suffix)) return false;
  text.remove_suffix(suffix.size());
  return true;
}

// "START - COUNT" with a start that is a place on the volume.
std::optional<uint64_t> RunStart(std::u16string_view line) {
  const size_t separator = line.find(kRunSeparator);
  if (separator == std::u16string_view::npos) return std::nullopt;
  if (!WholeDecimal(line.substr(separator + kRunSeparator.size()))) return std::nullopt;
  return WholeDecimal(line.substr(0, separator));
}

bool AllDigits(std::u16string_view text) {
  if (text.empty()) return false;
  for (const char16_t c : text) {
    if (!IsDigit(c)) return false;
  }
  return true;
}

// A run line whatever its numbers: one with a negative start (a corrupt list) still
// belongs to the list.
bool IsRunLine(std::u16string_view line) {
  const size_t separator = line.find(kRunSeparator);
  if (separator == std::u16string_view::npos) return false;
  std::u16string_view start = line.substr(0, separator);
  if (start.starts_with(u'-')) start.remove_prefix(1);
  return AllDigits(start) && AllDigits(line.substr(separator + kRunSeparator.size()));
}

std::optional<JumpTarget> ParentRecord(const ViewText& view, size_t line) {
  const std::u16string_view text = view[line];
  if (line == 0 || !text.starts_with(kParentPrefix)) return std::nullopt;
  // The record report puts the record's own number just above its parent's.
  if (!std::u16string_view(view[line - 1]).starts_with(kRecordPrefix)) return std::nullopt;
  const std::optional<uint64_t> record = WholeDecimal(text.substr(kParentPrefix.size()));
  if (!record) return std::nullopt;
  return JumpTarget{JumpKind::MftRecord, *record};
}

std::optional<JumpTarget> DataRun(const ViewText& view, size_t line) {
  const std::optional<uint64_t> start = RunStart(view[line]);
  if (!start) return std::nullopt;
  // The runs follow their heading line without a gap.
  for (size_t above = line; above-- > 0;) {
    const std::u16string_view text = view[above];
    if (text == kRecordRunsHeader || text == kMftRunsHeader) return JumpTarget{JumpKind::Cluster, *start};
    if (!IsRunLine(text)) return std::nullopt;
  }
  return std::nullopt;
}

std::optional<JumpTarget> ListingCluster(std::u16string_view text) {
  // Read from the end: the name in front may hold anything, ", cluster 9" too.
  const std::optional<uint64_t> cluster = WholeDecimal(TrailingDigits(text));
  if (!cluster || !TakeSuffix(text, kClusterPrefix) || !TakeSuffix(text, kSizeUnit)) return std::nullopt;
  if (!WholeDecimal(TrailingDigits(text)) || !TakeSuffix(text, kSizePrefix)) return std::nullopt;
  if (text.size() <= kStampPattern.size()) return std::nullopt;  // a name of one character at least
  const std::u16string_view stamp = text.substr(text.size() - kStampPattern.size());
  for (size_t i = 0; i < stamp.size(); ++i) {
    if (kStampPattern[i] == u'0' ? !IsDigit(stamp[i]) : stamp[i] != kStampPattern[i]) return std::nullopt;
  }
  if (*cluster < kFirstDataCluster) return std::nullopt;
  return JumpTarget{JumpKind::Cluster, *cluster};
}

}  // namespace

std::optional<JumpTarget> ReportLineTarget(const ViewText& view, size_t line) {
  if (line >= view.size()) return std::nullopt;
  if (auto parent = ParentRecord(view, line)) return parent;
  if (auto run = DataRun(view, line)) return run;
  return ListingCluster(view[line]);
}

}  // namespace korvalane
