// LVM2 metadata: the text parser, the VG model and its extent mapping, the ring buffer of
// a metadata area, and the PVs pvcreate and vgcfgrestore made (scripts/make-samples-lvm),
// checked against what pvck and lvs said of them.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "core/Bytes.h"
#include "core/disk/lvm/LvmPhysicalVolume.h"
#include "core/disk/lvm/LvmText.h"
#include "core/disk/lvm/LvmVolumeGroup.h"
#include "fixtures/Samples.h"

namespace korvalane {
namespace {

using testing::SamplePath;

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A VG of extent size 8 sectors (4 KiB) on two PVs of 100 extents, with `lvs` as its
// logical_volumes section's content.
std::string VgText(const std::string& lvs) {
  return "vg0 {\n id = \"VGID\"\n seqno = 3\n extent_size = 8\n"
         " physical_volumes {\n"
         "  pv0 { id = \"PV0\" dev_size = 2048 pe_start = 16 pe_count = 100 }\n"
         "  pv1 { id = \"PV1\" dev_size = 2048 pe_start = 32 pe_count = 100 }\n"
         " }\n logical_volumes {\n" + lvs + " }\n}\n# trailing comment\ncontents = \"Text Format Volume Group\"\n";
}

std::string Linear(const std::string& name, const std::string& pv, uint64_t start, uint64_t count,
                   const std::string& status = "\"READ\", \"WRITE\", \"VISIBLE\"") {
  return "  " + name + " { id = \"ID-" + name + "\" status = [" + status +
         "] segment_count = 1\n   segment1 { start_extent = 0 extent_count = " + std::to_string(count) +
         " type = \"striped\" stripe_count = 1 stripes = [\"" + pv + "\", " + std::to_string(start) + "] }\n  }\n";
}

TEST(LvmText, SectionsAssignmentsStringsNumbersAndLists) {
  const LvmTextResult result = ParseLvmText(
      "a = 1\nb = \"x \\\"quoted\\\" y\" # comment\nsec {\n list = [\"p\", -5, 7]\n inner { n = 9223372036854775807 }\n}\n");
  ASSERT_EQ(result.Error, "");
  EXPECT_EQ(result.Root.Number("a"), 1);
  EXPECT_EQ(result.Root.String("b"), "x \"quoted\" y");
  const LvmNode* sec = result.Root.Find("sec");
  ASSERT_NE(sec, nullptr);
  ASSERT_TRUE(sec->IsSection);
  const LvmNode* list = sec->Find("list");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->Value.Items.size(), 3u);
  EXPECT_EQ(list->Value.Items[0].Text, "p");
  EXPECT_EQ(list->Value.Items[1].Number, -5);
  EXPECT_EQ(sec->Find("inner")->Number("n"), INT64_MAX);
}

TEST(LvmText, HostileTextIsNamedNeverOverrun) {
  EXPECT_EQ(ParseLvmText("vg {\n a = 1\n").Error, "line 3: the text ends inside section 'vg'");
  EXPECT_EQ(ParseLvmText("a = 1\n}\n").Error, "line 2: '}' without its '{'");
  EXPECT_EQ(ParseLvmText("a = \"open").Error, "line 1: the text ends inside a string");
  EXPECT_EQ(ParseLvmText("a = [1, 2").Error, "line 1: the text ends inside a list");
  EXPECT_EQ(ParseLvmText("a = [[1]]").Error, "line 1: a list inside a list");
  EXPECT_EQ(ParseLvmText("a = 99999999999999999999").Error, "line 1: a number too large");
  EXPECT_EQ(ParseLvmText("a b").Error, "line 1: '=' or '{' expected after 'a'");
  // Nesting is bounded, however deep the text goes.
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "s {";
  EXPECT_EQ(ParseLvmText(deep).Error, "line 1: sections nested deeper than 16");
  // So is the number of entries.
  std::string many = "a = [";
  for (int i = 0; i < 300000; ++i) many += "1,";
  EXPECT_EQ(ParseLvmText(many).Error, "line 1: more than 200000 entries");
  // The text ends at its first NUL, as the metadata area stores it.
  EXPECT_EQ(ParseLvmText(std::string("a = 1\n\0garbage {", 16)).Error, "");
}

TEST(LvmVolumeGroup, LinearAndStripedMapToTheirExtents) {
  const std::string striped =
      "  data { id = \"D\" status = [\"VISIBLE\"] segment1 { start_extent = 0 extent_count = 4 type = \"striped\""
      " stripe_count = 2 stripe_size = 2 stripes = [\"pv0\", 10, \"pv1\", 20] }\n"
      "   segment2 { start_extent = 4 extent_count = 1 type = \"striped\" stripe_count = 1 stripes = [\"pv1\", 50] } }\n";
  std::string error;
  const std::optional<LvmVolumeGroup> vg = ParseVolumeGroup(VgText(Linear("root", "pv0", 0, 5) + striped), &error);
  ASSERT_TRUE(vg) << error;
  EXPECT_EQ(vg->Name, "vg0");
  EXPECT_EQ(vg->Seqno, 3);
  EXPECT_EQ(vg->ExtentBytes(), 4096u);
  ASSERT_EQ(vg->Lvs.size(), 2u);
  EXPECT_TRUE(vg->Problems.empty()) << vg->Problems[0];
  const LvmLogicalVolume& root = vg->Lvs[0];
  EXPECT_EQ(root.Kind(), "linear");
  EXPECT_EQ(LogicalVolumeBytes(*vg, root), 5u * 4096);
  LvmRun run = MapLogicalVolume(*vg, root, 5000);
  ASSERT_TRUE(run.Pv);
  EXPECT_EQ(*run.Pv, 0u);
  EXPECT_EQ(run.PvByte, 16u * 512 + 5000);
  EXPECT_EQ(run.Bytes, 5u * 4096 - 5000);

  // 1 KiB chunks alternate between the two stripes.
  const LvmLogicalVolume& data = vg->Lvs[1];
  EXPECT_EQ(data.Kind(), "striped, linear");
  run = MapLogicalVolume(*vg, data, 0);
  EXPECT_EQ(*run.Pv, 0u);
  EXPECT_EQ(run.PvByte, 16u * 512 + 10 * 4096);
  EXPECT_EQ(run.Bytes, 1024u);
  run = MapLogicalVolume(*vg, data, 1024 + 100);  // chunk 1: stripe 1, its chunk 0
  EXPECT_EQ(*run.Pv, 1u);
  EXPECT_EQ(run.PvByte, 32u * 512 + 20 * 4096 + 100);
  EXPECT_EQ(run.Bytes, 924u);
  run = MapLogicalVolume(*vg, data, 5 * 1024);  // chunk 5: stripe 1, its chunk 2
  EXPECT_EQ(*run.Pv, 1u);
  EXPECT_EQ(run.PvByte, 32u * 512 + 20 * 4096 + 2 * 1024);
  run = MapLogicalVolume(*vg, data, 4 * 4096 + 10);  // the linear second segment
  EXPECT_EQ(*run.Pv, 1u);
  EXPECT_EQ(run.PvByte, 32u * 512 + 50 * 4096 + 10);
  EXPECT_EQ(run.Bytes, 4096u - 10);
  EXPECT_FALSE(MapLogicalVolume(*vg, data, 5 * 4096).Pv);  // past the LV
}

TEST(LvmVolumeGroup, OtherSegmentTypesAreNamedAndUnreadable) {
  const std::string thin =
      "  thin { id = \"T\" status = [\"VISIBLE\"] segment1 { start_extent = 0 extent_count = 4 type = \"thin\""
      " thin_pool = \"pool\" } }\n"
      "  mirror { id = \"M\" status = [\"VISIBLE\"] segment1 { start_extent = 0 extent_count = 2 type = \"raid1\" } }\n";
  const std::optional<LvmVolumeGroup> vg = ParseVolumeGroup(VgText(thin + Linear("hidden", "pv0", 0, 1, "\"READ\"")));
  ASSERT_TRUE(vg);
  EXPECT_EQ(vg->Lvs[0].Kind(), "thin");
  EXPECT_EQ(vg->Lvs[0].Segments[0].Unreadable, "a thin segment is not laid out linearly on the PVs");
  EXPECT_EQ(vg->Lvs[1].Kind(), "raid1");
  EXPECT_FALSE(MapLogicalVolume(*vg, vg->Lvs[1], 0).Pv);
  EXPECT_EQ(MapLogicalVolume(*vg, vg->Lvs[1], 0).Bytes, 2u * 4096);
  EXPECT_FALSE(vg->Lvs[2].Visible);
}

TEST(LvmVolumeGroup, SegmentsPastThePvOverlappingOrOverflowingAreNamed) {
  std::optional<LvmVolumeGroup> vg = ParseVolumeGroup(VgText(Linear("big", "pv0", 90, 20)));
  ASSERT_TRUE(vg);
  ASSERT_EQ(vg->Problems.size(), 1u);
  EXPECT_EQ(vg->Problems[0], "vg0/big segment1: extents 90-109 of pv0, which has 100");
  EXPECT_FALSE(MapLogicalVolume(*vg, vg->Lvs[0], 0).Pv);

  vg = ParseVolumeGroup(VgText(Linear("a", "pv1", 0, 10) + Linear("b", "pv1", 5, 10) + Linear("c", "pv1", 15, 1)));
  ASSERT_TRUE(vg);
  ASSERT_EQ(vg->Problems.size(), 1u);
  EXPECT_EQ(vg->Problems[0], "extent 5 of pv1 is claimed by both a and b");
  EXPECT_FALSE(MapLogicalVolume(*vg, vg->Lvs[0], 0).Pv);
  EXPECT_FALSE(MapLogicalVolume(*vg, vg->Lvs[1], 0).Pv);
  EXPECT_TRUE(MapLogicalVolume(*vg, vg->Lvs[2], 0).Pv);

  vg = ParseVolumeGroup(VgText(Linear("huge", "pv0", 0, 9000000000000000000ull)));
  ASSERT_TRUE(vg);
  ASSERT_EQ(vg->Problems.size(), 1u);
  EXPECT_EQ(vg->Problems[0], "vg0/huge segment1: 9000000000000000000 extents overflow");
  EXPECT_EQ(LogicalVolumeBytes(*vg, vg->Lvs[0]), 0u);

  vg = ParseVolumeGroup(VgText(Linear("ghost", "pv7", 0, 1)));
  ASSERT_TRUE(vg);
  EXPECT_EQ(vg->Problems[0], "vg0/ghost segment1: stripe on pv7, a PV the VG does not list");

  std::string error;
  EXPECT_FALSE(ParseVolumeGroup("vg0 { extent_size = 0 }", &error));
  EXPECT_EQ(error, "volume group vg0 has extent size 0");
  EXPECT_FALSE(ParseVolumeGroup("vg0 { extent_size = 8 ", &error));
  EXPECT_EQ(error, "the metadata text is damaged: line 1: the text ends inside section 'vg0'");
}

// A metadata area of `size` bytes whose header points at the copy of `text` at `offset`
// (wrapping past the end when it does not fit there).
std::vector<uint8_t> Area(size_t size, uint64_t offset, const std::string& text, bool rightChecksum = true) {
  std::vector<uint8_t> area(size, 0);
  std::memcpy(area.data() + 4, kLvmMetadataMagic, 16);
  area[20] = 1;
  const auto put64 = [&](size_t at, uint64_t value) {
    for (int i = 0; i < 8; ++i) area[at + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  put64(32, size);
  put64(40, offset);
  put64(48, text.size());
  uint32_t crc = 0xF597A6CF;
  for (size_t i = 0; i < text.size(); ++i) {
    size_t at = offset + i;
    if (at >= size) at = at - size + 512;
    area[at] = static_cast<uint8_t>(text[i]);
    crc = LvmCrc(std::span<const uint8_t>(&area[at], 1), crc);
  }
  if (!rightChecksum) crc ^= 1;
  for (int i = 0; i < 4; ++i) area[56 + i] = static_cast<uint8_t>(crc >> (8 * i));
  return area;
}

TEST(LvmMetadataArea, TheCommittedCopyWrapsPastTheAreasEnd) {
  const std::string text = VgText(Linear("root", "pv0", 0, 5));
  const std::vector<uint8_t> area = Area(4096, 4096 - 100, text);
  const LvmMetadataHeader header = DecodeLvmMetadataHeader(area, 0);
  EXPECT_TRUE(header.MagicOk);
  std::string problem;
  const std::optional<LvmMetadataCopy> copy = ReadLvmMetadataArea(area, header, &problem);
  ASSERT_TRUE(copy) << problem;
  EXPECT_TRUE(copy->Committed);
  EXPECT_EQ(copy->Text, text);
  EXPECT_EQ(problem, "");
}

TEST(LvmMetadataArea, AWrongChecksumFallsBackToAnOlderCopyAndSaysSo) {
  std::string older = VgText(Linear("root", "pv0", 0, 5));
  older.replace(older.find("seqno = 3"), 9, "seqno = 2");
  std::vector<uint8_t> area = Area(8192, 1024, VgText(Linear("root", "pv0", 0, 6)), false);
  std::memcpy(area.data() + 512, older.data(), older.size());  // the copy before, and its NUL after
  std::string problem;
  const std::optional<LvmMetadataCopy> copy = ReadLvmMetadataArea(area, DecodeLvmMetadataHeader(area, 0), &problem);
  ASSERT_TRUE(copy);
  EXPECT_FALSE(copy->Committed);
  EXPECT_EQ(copy->Text, older);
  EXPECT_EQ(copy->AreaOffset, 512u);
  EXPECT_NE(copy->Note.find("the committed copy's checksum is wrong (stored 0x"), std::string::npos) << copy->Note;
  EXPECT_NE(copy->Note.find(": an older copy at byte 512 of the metadata area (seqno 2) is read instead"),
            std::string::npos)
      << copy->Note;
}

TEST(LvmMetadataArea, PointersOutsideTheRingAreNamed) {
  std::vector<uint8_t> area = Area(4096, 1024, "vg0 { }");
  LvmMetadataHeader header = DecodeLvmMetadataHeader(area, 0);
  for (const auto& [offset, size] : std::vector<std::pair<uint64_t, uint64_t>>{
           {4096, 10}, {100, 10}, {1024, 4096}, {UINT64_MAX, 2}, {1024, UINT64_MAX}}) {
    header.Locations[0].Offset = offset;
    header.Locations[0].Size = size;
    std::string problem;
    EXPECT_FALSE(ReadLvmMetadataArea(area, header, &problem));
    EXPECT_EQ(problem.rfind("the committed copy lies outside its metadata area", 0), 0u) << problem;
    EXPECT_NE(problem.find("the metadata area holds no older copy"), std::string::npos) << problem;
  }
}

// The PVs the real tools made, read as the drive table reads them.
std::optional<LvmPhysicalVolume> ReadSamplePv(const std::string& name) {
  const std::vector<uint8_t> image = ReadFile(SamplePath(name));
  const LvmReader read = [&](uint64_t position, std::span<uint8_t> buffer) {
    if (position > image.size() || buffer.size() > image.size() - position) return false;
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(position), buffer.size(), buffer.begin());
    return true;
  };
  return ReadLvmPhysicalVolume(read, image.size());
}

bool HaveSamples() { return std::filesystem::exists(SamplePath("lvm-pv1.img")); }

TEST(LvmSamples, LabelHeaderAndMetadataAsPvckDumpsThem) {
  if (!HaveSamples()) GTEST_SKIP() << "no loop device when the samples were made, so no LVM samples";
  const std::optional<LvmPhysicalVolume> pv = ReadSamplePv("lvm-pv1.img");
  ASSERT_TRUE(pv);
  EXPECT_TRUE(pv->Problems.empty()) << pv->Problems[0];
  EXPECT_EQ(pv->Label.Sector, 1u);
  EXPECT_EQ(pv->Label.Crc, pv->Label.ComputedCrc);
  EXPECT_EQ(pv->Label.Type, "LVM2 001");
  EXPECT_EQ(pv->Header.Uuid, "Kv1aaa-aaaa-aaaa-aaaa-aaaa-aaaa-aaaPV1");
  EXPECT_EQ(pv->Header.DeviceSize, 16u << 20);
  ASSERT_EQ(pv->Header.DataAreas.size(), 1u);
  EXPECT_EQ(pv->Header.DataAreas[0].Offset, 1u << 20);
  ASSERT_EQ(pv->Areas.size(), 1u);
  EXPECT_EQ(pv->Areas[0].Checksum, pv->Areas[0].ComputedChecksum);
  ASSERT_TRUE(pv->Metadata);
  EXPECT_TRUE(pv->Metadata->Committed);

  // pvck: "metadata text at 5632 crc 0xa1bf1793 # vgname kvg seqno 2", then the text.
  const std::string pvck = ReadText(SamplePath("lvm-pvck.txt"));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(pvck, m, std::regex("metadata text at (\\d+) crc (0x[0-9a-f]+) # vgname (\\w+) seqno (\\d+)")))
      << pvck;
  EXPECT_EQ(pv->Areas[0].At + pv->Metadata->AreaOffset, std::stoull(m[1]));
  EXPECT_EQ(pv->Metadata->Checksum, std::stoul(m[2], nullptr, 16));
  std::string error;
  const std::optional<LvmVolumeGroup> vg = ParseVolumeGroup(pv->Metadata->Text, &error);
  ASSERT_TRUE(vg) << error;
  EXPECT_EQ(vg->Name, m[3].str());
  EXPECT_EQ(vg->Seqno, std::stoll(m[4]));
}

TEST(LvmSamples, VgAndLvsAsLvsAndVgsReportThem) {
  if (!HaveSamples()) GTEST_SKIP() << "no loop device when the samples were made, so no LVM samples";
  const std::optional<LvmPhysicalVolume> pv = ReadSamplePv("lvm-pv2.img");
  ASSERT_TRUE(pv && pv->Metadata);
  const std::optional<LvmVolumeGroup> vg = ParseVolumeGroup(pv->Metadata->Text);
  ASSERT_TRUE(vg);
  const std::string vgs = ReadText(SamplePath("lvm-vgs.json"));
  EXPECT_NE(vgs.find("\"vg_uuid\":\"" + vg->Uuid + "\""), std::string::npos) << vgs;
  EXPECT_NE(vgs.find("\"vg_extent_size\":\"" + std::to_string(vg->ExtentBytes()) + "B\""), std::string::npos) << vgs;
  EXPECT_TRUE(vg->Problems.empty()) << vg->Problems[0];
  // Every LV lvs -a lists, with its UUID, size and segment type ("[name]" for hidden ones).
  const std::string lvs = ReadText(SamplePath("lvm-lvs.json"));
  size_t listed = 0;
  const std::regex row("\\{\"vg_name\":\"kvg\", \"lv_name\":\"([^\"]+)\", \"lv_uuid\":\"([^\"]+)\", "
                       "\"lv_size\":\"(\\d+)B\", \"segtype\":\"([^\"]+)\"");
  for (std::sregex_iterator it(lvs.begin(), lvs.end(), row), end; it != end; ++it, ++listed) {
    const std::smatch& m = *it;
    std::string name = m[1];
    const bool hidden = name.front() == '[';
    if (hidden) name = name.substr(1, name.size() - 2);
    const LvmLogicalVolume* lv = vg->FindLv(name);
    ASSERT_NE(lv, nullptr) << name;
    EXPECT_EQ(lv->Visible, !hidden) << name;
    EXPECT_EQ(lv->Uuid, m[2].str());
    EXPECT_EQ(LogicalVolumeBytes(*vg, *lv), std::stoull(m[3])) << name;
    EXPECT_EQ(lv->Kind(), m[4].str()) << name;
  }
  EXPECT_EQ(listed, vg->Lvs.size());
  EXPECT_EQ(listed, 7u);
}

}  // namespace
}  // namespace korvalane
