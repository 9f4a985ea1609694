#include "core/views/Listing.h"

namespace korvalane {
namespace {

constexpr char16_t kNotADirectory[] = u"This sector does not contain information about a file records";

void AppendDecimal(std::u16string& out, uint64_t value, size_t width) {
  char16_t digits[20];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = count; i < width; ++i) out += u'0';
  while (count > 0) out += digits[--count];
}

}  // namespace

std::u16string ListingLine(const ListingEntry& entry) {
  std::u16string line;
  line.reserve(entry.Name.size() + 64);
  line += entry.Name;
  line += u"  ";
  if (!entry.Note.empty()) return line + entry.Note;
  AppendDecimal(line, entry.Year, 4);
  line += u'/';
  AppendDecimal(line, entry.Month, 2);
  line += u'/';
  AppendDecimal(line, entry.Day, 2);
  line += u' ';
  AppendDecimal(line, entry.Hour, 2);
  line += u':';
  AppendDecimal(line, entry.Minute, 2);
  line += u", size ";
  AppendDecimal(line, entry.Size, 0);
  line += u" b, cluster ";
  AppendDecimal(line, entry.Cluster, 0);
  return line;
}

void AppendListing(const Listing& listing, std::vector<std::u16string>& view) {
  if (!listing.IsDirectory) {
    view.emplace_back(kNotADirectory);
    return;
  }
  view.reserve(view.size() + listing.Entries.size());
  for (const ListingEntry& entry : listing.Entries) view.push_back(ListingLine(entry));
}

}  // namespace korvalane
