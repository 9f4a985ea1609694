// LVM2 logical volumes as drives, through korvalane-cli over the PVs pvcreate and
// vgcfgrestore made (scripts/make-samples-lvm): the drive list's order, a VG assembled
// from its PVs in any order, a missing PV named, --volume, and the bytes read through
// linear and striped segments against what the sample script wrote there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "fixtures/Samples.h"

namespace korvalane {
namespace {

using testing::Lines;
using testing::RunCli;
using testing::SamplePath;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class LvmDrives : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(SamplePath("lvm-pv1.img"))) {
      GTEST_SKIP() << "no loop device when the samples were made, so no LVM samples";
    }
    pv1_ = SamplePath("lvm-pv1.img");
    pv2_ = SamplePath("lvm-pv2.img");
  }
  std::string Scratch(const std::string& name) {
    const std::string path = ::testing::TempDir() + "/lvm-" + name;
    std::remove(path.c_str());
    return path;
  }
  std::string pv1_, pv2_;
};

TEST_F(LvmDrives, TheLvsFollowTheirPvsInAnyOrder) {
  const std::vector<std::string> lvs{
      "ext4, 8 Mb,16384 sectors  LVM2 LV kvg/root, linear, 8 MiB, on " + pv1_,
      "Unknown, 4 Mb,8192 sectors  LVM2 LV kvg/data, striped, 4 MiB, on " + pv1_ + " and " + pv2_,
      "Unknown, 2 Mb,455 sectors  LVM2 LV kvg/pool, thin-pool, 2 MiB - extents 0-1 unreadable: a thin-pool segment "
      "is not laid out linearly on the PVs",
      "Unknown, 4 Mb,910 sectors  LVM2 LV kvg/thin, thin, 4 MiB - extents 0-3 unreadable: a thin segment is not "
      "laid out linearly on the PVs",
  };
  for (const bool swapped : {false, true}) {
    const std::string first = swapped ? pv2_ : pv1_;
    const std::string second = swapped ? pv1_ : pv2_;
    const auto result = RunCli({"drives", first, second});
    ASSERT_EQ(result.Status, 0) << result.Err;
    const std::vector<std::string> lines = Lines(result.Out);
    ASSERT_EQ(lines.size(), 6u) << result.Out;
    EXPECT_EQ(lines[0], "C: Unknown, 16 Mb,32768 sectors  " + first);
    EXPECT_EQ(lines[1], "D: Unknown, 16 Mb,32768 sectors  " + second);
    // The VG is complete with its second PV: its LVs follow it, hidden ones left out.
    for (size_t i = 0; i < lvs.size(); ++i) {
      EXPECT_EQ(lines[2 + i], std::string(1, static_cast<char>('E' + i)) + ": " + lvs[i]);
    }
  }
}

TEST_F(LvmDrives, AMissingPvIsNamedAndItsRangesUnreadable) {
  const auto result = RunCli({"drives", pv1_});
  ASSERT_EQ(result.Status, 0) << result.Err;
  const std::vector<std::string> lines = Lines(result.Out);
  ASSERT_EQ(lines.size(), 5u) << result.Out;
  EXPECT_EQ(lines[1], "D: ext4, 8 Mb,16384 sectors  LVM2 LV kvg/root, linear, 8 MiB, on " + pv1_);
  EXPECT_EQ(lines[2], "E: Unknown, 4 Mb,8192 sectors  LVM2 LV kvg/data, striped, 4 MiB, on " + pv1_ +
                          " and missing pv1 - PV pv1 (Kv2bbb-bbbb-bbbb-bbbb-bbbb-bbbb-bbbPV2) is missing: what lies "
                          "on it is unreadable");
  // Chunk 0 (sectors 0-127) lies on pv0, chunk 1 on the missing pv1.
  auto text = RunCli({"text", "--volume", "kvg/data", pv1_, "0"});
  EXPECT_EQ(text.Status, 0) << text.Err;
  EXPECT_EQ(Lines(text.Out)[0].substr(0, 20), "data sector 00000000");
  text = RunCli({"text", "--volume", "kvg/data", pv1_, "128"});
  EXPECT_EQ(text.Status, 1);
  EXPECT_EQ(text.Out, "Reading error\n");
  text = RunCli({"text", "--volume", "kvg/data", pv1_, "256"});
  EXPECT_EQ(text.Status, 0) << text.Err;
  EXPECT_EQ(Lines(text.Out)[0].substr(0, 20), "data sector 00000256");
}

TEST_F(LvmDrives, AStripedLvReadsAsTheBytesWrittenThroughItsStripes) {
  const std::string out = Scratch("data.bin");
  const auto result = RunCli({"export", "--volume", "kvg/data", pv2_ + "+" + pv1_, "0", "8192", out});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_TRUE(ReadText(out) == ReadText(SamplePath("lvm-data.bin")));
}

TEST_F(LvmDrives, AnExt4InALinearLvHasTheExtKitsNumbers) {
  const std::string out = Scratch("root.ext4");
  ASSERT_EQ(RunCli({"export", "--volume", "kvg/root", pv1_, "0", "16384", out}).Status, 0);
  const auto dumpe2fs = testing::Run({"dumpe2fs", "-h", out});
  ASSERT_EQ(dumpe2fs.Status, 0) << dumpe2fs.Err;
  const auto field = [&](const std::string& name) {
    for (const std::string& line : Lines(dumpe2fs.Out)) {
      if (line.rfind(name + ":", 0) == 0) return line.substr(line.find_first_not_of(' ', name.size() + 1));
    }
    return std::string("?");
  };
  EXPECT_EQ(field("Filesystem volume name"), "lvroot");
  const auto details = RunCli({"details", "--volume", "kvg/root", pv1_ + "+" + pv2_});
  ASSERT_EQ(details.Status, 0) << details.Err;
  const std::vector<std::string> lines = Lines(details.Out);
  EXPECT_EQ(lines[0], "Drive C:\\, ext4");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Blocks - " + field("Block count")), lines.end()) << details.Out;
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Free blocks - " + field("Free blocks")), lines.end()) << details.Out;
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Inodes - " + field("Inode count")), lines.end()) << details.Out;
}

TEST_F(LvmDrives, APartitionHoldingAPvIsFollowedByItsLvs) {
  const std::string disk = SamplePath("lvm-mbr.img");
  const auto result = RunCli({"drives", disk});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_EQ(Lines(result.Out), (std::vector<std::string>{
                                   "C: Unknown, 8 Mb,16384 sectors  " + disk,
                                   "D: Unknown, 6 Mb,12288 sectors  " + disk +
                                       ", partition 1 (sectors 2048-14335, Linux LVM 0x8E)",
                                   "E: Unknown, 2 Mb,4096 sectors  LVM2 LV kvp/home, linear, 2 MiB, on " + disk +
                                       ", partition 1",
                               }));
  const auto text = RunCli({"text", "--volume", "kvp/home", disk, "0"});
  ASSERT_EQ(text.Status, 0) << text.Err;
  EXPECT_EQ(Lines(text.Out)[0].substr(0, 11), "home of kvp");
  // --partition keeps its meaning: the partition alone, not what it carries.
  const auto partition = RunCli({"drives", "--partition", "1", disk});
  EXPECT_EQ(Lines(partition.Out).size(), 1u) << partition.Out;
}

TEST_F(LvmDrives, VolumePicksOneLvAsCOrSaysWhyNot) {
  auto result = RunCli({"drives", "--json", "--volume", "kvg/root", pv1_});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_NE(result.Out.find("\"drive\": \"C:\""), std::string::npos);
  EXPECT_NE(result.Out.find("\"source\": \"kvg/root\""), std::string::npos) << result.Out;
  EXPECT_EQ(result.Out.find("\"drive\": \"D:\""), std::string::npos) << result.Out;
  result = RunCli({"text", "--volume", "kvg/nothing", pv1_, "0"});
  EXPECT_EQ(result.Status, 2);
  EXPECT_EQ(result.Err, "korvalane-cli: no logical volume kvg/nothing in the sources\n");
  result = RunCli({"text", "--volume", "root", pv1_, "0"});
  EXPECT_EQ(result.Status, 2);
  EXPECT_EQ(result.Err, "korvalane-cli: --volume needs a logical volume as VG/LV (vg0/root), not 'root'\n");
}

TEST_F(LvmDrives, DetailsOfAPvReportItsVgAndLvs) {
  auto result = RunCli({"details", pv2_});
  ASSERT_EQ(result.Status, 0) << result.Err;
  const std::vector<std::string> lines = Lines(result.Out);
  ASSERT_GE(lines.size(), 12u) << result.Out;
  EXPECT_EQ(lines[0], "LVM2 physical volume Kv2bbb-bbbb-bbbb-bbbb-bbbb-bbbb-bbbPV2");
  EXPECT_EQ(lines[1].substr(0, 36), "Label - sector 1, LVM2 001, checksum");
  EXPECT_NE(lines[1].find("(right)"), std::string::npos);
  const auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
  EXPECT_TRUE(has("Extent size - 2048 sectors"));
  EXPECT_TRUE(has("pv1 - Kv2bbb-bbbb-bbbb-bbbb-bbbb-bbbb-bbbPV2 - first extent at sector 2048 - 15 extents - this one"));
  EXPECT_TRUE(has("kvg/root - KvRoot-aaaa-bbbb-cccc-dddd-eeee-ffffff - 8 extents"));
  EXPECT_TRUE(has("  striped, extents 0-3 on pv0 from extent 8, pv1 from extent 0, stripe size 128 sectors"));
  EXPECT_TRUE(has("  thin, extents 0-3 (unreadable: a thin segment is not laid out linearly on the PVs)"));
  EXPECT_TRUE(has("kvg/pool_tdata - KvTdat-aaaa-bbbb-cccc-dddd-eeee-ffffff - 2 extents - hidden"));
  // The VG's UUID as vgs reports it.
  const std::string vgs = ReadText(SamplePath("lvm-vgs.json"));
  const size_t at = vgs.find("\"vg_uuid\":\"");
  ASSERT_NE(at, std::string::npos);
  const std::string uuid = vgs.substr(at + 11, 38);
  EXPECT_TRUE(has("Volume group - kvg, " + uuid + ", seqno 2")) << result.Out;

  result = RunCli({"details", "--json", pv1_});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_NE(result.Out.find("\"uuid\": \"" + uuid + "\""), std::string::npos);
  EXPECT_NE(result.Out.find("\"stripeSize\": 128"), std::string::npos);
  EXPECT_NE(result.Out.find("\"problems\": []"), std::string::npos) << result.Out;
}

TEST_F(LvmDrives, ADamagedCommittedCopyFallsBackToTheOlderOneAndSaysSo) {
  const std::string copy = Scratch("damaged-pv1.img");
  ASSERT_EQ(testing::Run({"cp", "--sparse=always", pv1_, copy}).Status, 0);
  {
    // One byte of the committed text (pvck: at byte 5632) changed.
    std::fstream image(copy, std::ios::in | std::ios::out | std::ios::binary);
    image.seekp(5632 + 200);
    image.put('#');
  }
  auto result = RunCli({"details", copy});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_NE(result.Out.find("Problem - the committed copy's checksum is wrong (stored 0x"), std::string::npos)
      << result.Out;
  EXPECT_NE(result.Out.find(": an older copy at byte 512 of the metadata area (seqno 1) is read instead"),
            std::string::npos)
      << result.Out;
  // pv2's committed copy is the newest and describes the VG; the damage is named.
  result = RunCli({"drives", copy, pv2_});
  ASSERT_EQ(result.Status, 0) << result.Err;
  const std::vector<std::string> lines = Lines(result.Out);
  ASSERT_EQ(lines.size(), 6u) << result.Out;
  EXPECT_NE(lines[2].find("kvg/root, linear, 8 MiB, on " + copy + " - metadata: " + copy +
                          ": the committed copy's checksum is wrong"),
            std::string::npos)
      << lines[2];
  std::remove(copy.c_str());
}

// What `pvck --dump headers` printed of pv1, "name value" by name.
std::map<std::string, std::string> PvckHeaders() {
  std::map<std::string, std::string> values;
  for (const std::string& line : Lines(ReadText(SamplePath("lvm-pvck-headers.txt")))) {
    const size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos) continue;
    const size_t blank = line.find(' ', start);
    if (blank == std::string::npos) continue;
    values[line.substr(start, blank - start)] = line.substr(blank + 1, line.find(" #") - blank - 1);
  }
  return values;
}

// The value `fields` shows at an offset ("0x014  4  PV header offset  32 (0x20)" → "32 (0x20)").
std::string FieldAt(const std::string& out, const std::string& offset, const std::string& name) {
  for (const std::string& line : Lines(out)) {
    const std::string head = offset + "  ";
    if (line.rfind(head, 0) != 0) continue;
    const size_t at = line.find("  " + name + "  ");
    if (at != std::string::npos) return line.substr(at + name.size() + 4);
  }
  return "?";
}

// pvck's "0xce2740d" as the structures write a 32-bit checksum: "0x0CE2740D" (pvck drops
// leading zeros).
std::string Checksum32(std::string pvck) {
  std::string digits = pvck.substr(pvck.rfind('x') + 1);
  for (char& c : digits) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (digits.size() < 8) digits.insert(0, 8 - digits.size(), '0');
  return "0x" + digits;
}

TEST_F(LvmDrives, FieldsDecodeTheLabelPvHeaderAndMetadataAsPvckDumpsThem) {
  std::map<std::string, std::string> pvck = PvckHeaders();
  ASSERT_EQ(pvck["label_header.id"], "LABELONE");
  // Sector 1 holds the label: chosen without --as.
  auto label = RunCli({"fields", pv1_, "1"});
  ASSERT_EQ(label.Status, 0) << label.Err;
  EXPECT_EQ(Lines(label.Out)[0], "LVM2 label at sector 1");
  EXPECT_EQ(FieldAt(label.Out, "0x008", "Sector"), pvck["label_header.sector"] + " (0x1)");
  EXPECT_EQ(FieldAt(label.Out, "0x010", "Checksum (of bytes 20-511)"), Checksum32(pvck["label_header.crc"]));
  EXPECT_NE(label.Out.find("Checksum: holds"), std::string::npos) << label.Out;

  auto header = RunCli({"fields", "--as", "lvm-pv-header", pv1_, "1"});
  ASSERT_EQ(header.Status, 0) << header.Err;
  EXPECT_EQ(FieldAt(header.Out, "0x020", "PV UUID"), pvck["pv_header.pv_uuid"]);
  EXPECT_EQ(FieldAt(header.Out, "0x040", "Device size").substr(0, pvck["pv_header.device_size"].size()),
            pvck["pv_header.device_size"]);
  EXPECT_EQ(FieldAt(header.Out, "0x048", "Offset").substr(0, 7), pvck["pv_header.disk_locn[0].offset"]);
  EXPECT_EQ(FieldAt(header.Out, "0x068", "Offset").substr(0, 4), pvck["pv_header.disk_locn[2].offset"]);
  EXPECT_EQ(FieldAt(header.Out, "0x070", "Size").substr(0, 7), pvck["pv_header.disk_locn[2].size"]);
  EXPECT_EQ(FieldAt(header.Out, "0x088", "Version"), pvck["pv_header_extension.version"]);

  // The metadata area header at byte 4096, sector 8.
  auto mda = RunCli({"fields", pv1_, "8"});
  ASSERT_EQ(mda.Status, 0) << mda.Err;
  EXPECT_EQ(Lines(mda.Out)[0], "LVM2 metadata area header at sector 8");
  EXPECT_EQ(FieldAt(mda.Out, "0x000", "Checksum (of bytes 4-511)"),
            Checksum32(pvck["mda_header_1.checksum"]));
  EXPECT_EQ(FieldAt(mda.Out, "0x028", "Offset").substr(0, 4), pvck["mda_header_1.raw_locn[0].offset"]);
  EXPECT_EQ(FieldAt(mda.Out, "0x030", "Size").substr(0, 4), pvck["mda_header_1.raw_locn[0].size"]);
  EXPECT_EQ(FieldAt(mda.Out, "0x038", "Checksum"), Checksum32(pvck["mda_header_1.raw_locn[0].checksum"]));
  EXPECT_NE(mda.Out.find("Magic: holds"), std::string::npos);
  EXPECT_NE(mda.Out.find("Checksum: holds"), std::string::npos);

  // The committed text's first sector (pvck: "metadata text at 5632").
  auto text = RunCli({"fields", pv1_, "11"});
  ASSERT_EQ(text.Status, 0) << text.Err;
  EXPECT_EQ(Lines(text.Out)[0], "LVM2 metadata text at sector 11");
  EXPECT_EQ(Lines(text.Out)[1], "0x000  6  Line 1  kvg {");

  // A sector of zeros read as a header: every check fails, nothing is read past it.
  auto zeros = RunCli({"fields", "--as", "lvm-metadata-header", pv1_, "100"});
  ASSERT_EQ(zeros.Status, 0) << zeros.Err;
  EXPECT_NE(zeros.Out.find("Magic: fails"), std::string::npos) << zeros.Out;
}

}  // namespace
}  // namespace korvalane
