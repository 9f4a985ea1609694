#include "core/fs/xfs/XfsLocate.h"

#include <string>

#include "core/fs/xfs/Inode.h"

namespace korvalane::xfs {
namespace {

Location Refuse(std::string why) { return Location{std::nullopt, std::move(why)}; }

std::optional<uint64_t> TakeNumber(std::u16string_view& text) {
  uint64_t value = 0;
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= u'0' && text[digits] <= u'9') {
    const uint64_t digit = text[digits] - u'0';
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  text.remove_prefix(digits);
  return value;
}

}  // namespace

Location LocateInode(const VolumeState& state, uint64_t number) {
  if (!state.Sb) return Refuse("the volume's superblock cannot be used");
  const Superblock& sb = *state.Sb;
  const InodeAddress a = AddressOfInode(sb, number);
  if (InodeNumber(sb, a.Ag, a.AgBlock, a.Slot) != number || a.Ag >= sb.AgCount) {
    return Refuse("inode " + std::to_string(number) + " names AG " + std::to_string(a.Ag) + ", past the volume's " +
                  std::to_string(sb.AgCount) + " AGs");
  }
  if (a.AgBlock >= sb.AgLength(a.Ag)) {
    return Refuse("inode " + std::to_string(number) + " names block " + std::to_string(a.AgBlock) + " of AG " +
                  std::to_string(a.Ag) + ", which has " + std::to_string(sb.AgLength(a.Ag)) + " blocks");
  }
  const uint64_t byte = sb.LinearBlock(a.Ag, a.AgBlock) * sb.BlockBytes + uint64_t{a.Slot} * sb.InodeBytes;
  return Location{byte / sb.SectorBytes, {}};
}

Location LocateBlock(const VolumeState& state, uint64_t block) {
  if (!state.Sb) return Refuse("the volume's superblock cannot be used");
  const Superblock& sb = *state.Sb;
  if (block >= sb.DataBlocks) {
    return Refuse("block " + std::to_string(block) + " is outside the volume (its blocks are 0 to " +
                  std::to_string(sb.DataBlocks - 1) + ")");
  }
  return Location{block * sb.SectorsPerBlock(), {}};
}

std::optional<JumpTarget> TargetOfLine(const VolumeState& state, const ViewText& view, size_t line) {
  if (line >= view.size() || !state.Sb) return std::nullopt;
  std::u16string_view text = view[line];
  for (const std::u16string_view prefix : {std::u16string_view(u"Inode "), std::u16string_view(u"Entry - inode "),
                                           std::u16string_view(u"Parent - inode ")}) {
    if (!text.starts_with(prefix)) continue;
    text.remove_prefix(prefix.size());
    const std::optional<uint64_t> inode = TakeNumber(text);
    if (!inode || text.empty() || (text[0] != u',' && text[0] != u':' && !text.empty())) return std::nullopt;
    return JumpTarget{JumpKind::Inode, *inode};
  }
  constexpr std::u16string_view kExtent = u"Extent - ";
  constexpr std::u16string_view kPointer = u"Btree pointer - ";
  if (text.starts_with(kExtent)) text.remove_prefix(kExtent.size());
  else if (text.starts_with(kPointer)) text.remove_prefix(kPointer.size());
  else return std::nullopt;
  if (!TakeNumber(text)) return std::nullopt;
  constexpr std::u16string_view kArrow = u" -> ";
  if (!text.starts_with(kArrow)) return std::nullopt;
  text.remove_prefix(kArrow.size());
  const std::optional<uint64_t> ag = TakeNumber(text);
  if (!ag || !text.starts_with(u"/")) return std::nullopt;
  text.remove_prefix(1);
  const std::optional<uint64_t> agBlock = TakeNumber(text);
  if (!agBlock || *ag >= state.Sb->AgCount || *agBlock >= state.Sb->AgBlocks) return std::nullopt;
  return JumpTarget{JumpKind::Cluster, state.Sb->LinearBlock(static_cast<uint32_t>(*ag), static_cast<uint32_t>(*agBlock))};
}

}  // namespace korvalane::xfs
