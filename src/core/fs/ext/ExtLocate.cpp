#include "core/fs/ext/ExtLocate.h"

#include <string_view>

#include "core/fs/ext/ExtVolume.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::ext {
namespace {

constexpr std::u16string_view kInodePrefix = u"Inode ";
constexpr std::u16string_view kRunSeparator = u" - ";
constexpr std::u16string_view kRunHeaders[] = {u"Start block - blocks count, logical block:", u"Indirect block - blocks count:",
                                               u"Index block - blocks count:"};

Location Refuse(std::string why) { return Location{std::nullopt, std::move(why)}; }

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// The decimal number at the start of `text`, taken off it.
std::optional<uint64_t> TakeNumber(std::u16string_view& text) {
  size_t length = 0;
  uint64_t value = 0;
  while (length < text.size() && IsDigit(text[length])) {
    const auto digit = static_cast<uint64_t>(text[length] - u'0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
    ++length;
  }
  if (length == 0) return std::nullopt;
  text.remove_prefix(length);
  return value;
}

// "START - COUNT" with an optional ", ..." after it: START.
std::optional<uint64_t> RunStart(std::u16string_view text) {
  const std::optional<uint64_t> start = TakeNumber(text);
  if (!start || !text.starts_with(kRunSeparator)) return std::nullopt;
  text.remove_prefix(kRunSeparator.size());
  if (!TakeNumber(text) || !(text.empty() || text.starts_with(u", "))) return std::nullopt;
  return start;
}

bool IsRunHeader(std::u16string_view text) {
  for (const std::u16string_view header : kRunHeaders) {
    if (text == header) return true;
  }
  return false;
}

}  // namespace

Location LocateInode(const VolumeState& state, uint64_t number) {
  if (!state.Sb) return Refuse("the volume has no usable ext superblock" + (state.Problem.empty() ? "" : ": " + state.Problem));
  const Superblock& sb = *state.Sb;
  const VolumeGeometry& g = Geometry();
  if (g.BytesPerSector <= 0) return Refuse("the volume's sector size is not known");
  if (number == 0 || number > sb.InodesCount) {
    return Refuse("inode " + std::to_string(number) + " is outside the volume (its inodes are 1 to " +
                  std::to_string(sb.InodesCount) + ")");
  }
  // Only the one descriptor that names the inode's table is read.
  const uint32_t group = static_cast<uint32_t>((number - 1) / sb.InodesPerGroup);
  const DescriptorPlace place = DescriptorLocation(sb, group);
  std::vector<uint8_t> block(sb.BlockBytes);
  if (!ReadBlocks(sb, place.Block, block)) return Refuse("the group descriptor of group " + std::to_string(group) + " cannot be read");
  std::vector<GroupDescriptor> groups(group + 1);
  groups[group] = ParseGroupDescriptor(sb, group, std::span<const uint8_t>(block).subspan(place.Offset, sb.DescriptorBytes));
  const InodePlace at = LocateInodeByte(sb, groups, number);
  if (!at.Byte) return Refuse(at.Problem);
  return Location{*at.Byte / static_cast<uint32_t>(g.BytesPerSector), {}};
}

Location LocateBlock(const VolumeState& state, uint64_t block) {
  if (!state.Sb) return Refuse("the volume has no usable ext superblock" + (state.Problem.empty() ? "" : ": " + state.Problem));
  const Superblock& sb = *state.Sb;
  const VolumeGeometry& g = Geometry();
  if (g.BytesPerSector <= 0) return Refuse("the volume's sector size is not known");
  if (block >= sb.BlocksCount) {
    return Refuse("block " + std::to_string(block) + " is outside the volume (its blocks are 0 to " +
                  std::to_string(sb.BlocksCount - 1) + ")");
  }
  return Location{block * (sb.BlockBytes / static_cast<uint32_t>(g.BytesPerSector)), {}};
}

std::optional<Target> TargetOfLine(const ViewText& view, size_t line) {
  if (line >= view.size()) return std::nullopt;
  std::u16string_view text = view[line];
  if (text.starts_with(kInodePrefix)) {
    // A listing line: "Inode N, TYPE, LENGTH b[, deleted]: NAME".
    std::u16string_view rest = text.substr(kInodePrefix.size());
    const std::optional<uint64_t> inode = TakeNumber(rest);
    const size_t colon = rest.find(u": ");
    if (!inode || *inode == 0 || !rest.starts_with(u", ") || colon == std::u16string_view::npos) return std::nullopt;
    const std::u16string_view head = rest.substr(0, colon);
    if (!head.ends_with(u" b") && !head.ends_with(u" b, deleted")) return std::nullopt;
    return Target{TargetKind::Inode, *inode};
  }
  const std::optional<uint64_t> start = RunStart(text);
  if (!start) return std::nullopt;
  // The runs follow their heading without a gap.
  for (size_t above = line; above-- > 0;) {
    if (IsRunHeader(view[above])) return Target{TargetKind::Block, *start};
    if (!RunStart(view[above])) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace korvalane::ext
