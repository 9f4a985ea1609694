// korvalane-cli fields on the sample images, each field compared with what sfdisk,
// fsck.fat, The Sleuth Kit, dump.exfat, ntfsinfo, dumpe2fs and debugfs read from the same bytes; checksums
// broken on purpose in copies of the samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "fixtures/Samples.h"

namespace korvalane::testing {
namespace {

namespace fs = std::filesystem;

// The output of `fields`: the title, each field's value by "Group/Name" (or "Name" at the
// top level), and each check's result by its name.
struct Decoded {
  std::string Title;
  std::map<std::string, std::string> Values;
  std::map<std::string, std::string> Checks;

  std::string Value(const std::string& key) const {
    const auto found = Values.find(key);
    if (found == Values.end()) {
      ADD_FAILURE() << "no field " << key << " in " << Title;
      return {};
    }
    return found->second;
  }
  // The decimal number a value starts with.
  uint64_t Number(const std::string& key) const {
    const std::string value = Value(key);
    return value.empty() ? 0 : std::stoull(value);
  }
  // "holds" or "fails" for the first check whose name starts with `prefix`.
  std::string Check(const std::string& prefix) const {
    for (const auto& [name, result] : Checks) {
      if (name.starts_with(prefix)) return result;
    }
    ADD_FAILURE() << "no check " << prefix << " in " << Title;
    return {};
  }
};

Decoded Fields(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"fields"};
  argv.insert(argv.end(), args.begin(), args.end());
  const CommandResult result = RunCli(argv);
  EXPECT_EQ(result.Status, 0) << result.Err;
  Decoded decoded;
  const std::vector<std::string> lines = Lines(result.Out);
  if (lines.empty()) return decoded;
  decoded.Title = lines[0];
  const std::regex field(R"(^0x[0-9A-F]+  \d+  (.+?)  (.*)$)");
  const std::regex check(R"(^(.+): (holds|fails) \(stored .*\)$)");
  std::string group;
  bool checks = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    std::smatch match;
    if (lines[i] == "Checks:") {
      checks = true;
    } else if (checks && std::regex_match(lines[i], match, check)) {
      decoded.Checks[match[1]] = match[2];
    } else if (std::regex_match(lines[i], match, field)) {
      decoded.Values[(group.empty() ? "" : group + "/") + std::string(match[1])] = match[2];
    } else {
      group = lines[i];
    }
  }
  return decoded;
}

std::string Tool(const std::vector<std::string>& argv) {
  const CommandResult result = Run(argv);
  EXPECT_EQ(result.Status, 0) << argv[0] << ": " << result.Err;
  return result.Out + result.Err;
}

// The first group of `pattern` in `text`.
std::string Find(const std::string& text, const std::string& pattern) {
  std::smatch match;
  if (!std::regex_search(text, match, std::regex(pattern))) {
    ADD_FAILURE() << "no match for " << pattern;
    return {};
  }
  return match[1];
}
uint64_t FindNumber(const std::string& text, const std::string& pattern) {
  const std::string found = Find(text, pattern);
  return found.empty() ? 0 : std::stoull(found, nullptr, 0);
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

class FieldsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("korvalane-fields-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A copy of a sample with `bytes` written at `offset`: the samples themselves are never
  // written.
  std::string Broken(const std::string& sample, uint64_t offset, const std::string& bytes) {
    const fs::path copy = dir_ / sample;
    fs::copy_file(SamplePath(sample), copy, fs::copy_options::overwrite_existing);
    std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return copy.string();
  }

  fs::path dir_;
};

TEST_F(FieldsTest, MbrAndEbrChainAgreeWithSfdisk) {
  const std::string disk = SamplePath("disk-mbr.img");
  const std::string json = Tool({"sfdisk", "--json", disk});
  const Decoded mbr = Fields({disk, "0"});
  EXPECT_EQ(mbr.Title, "Master boot record at sector 0");
  EXPECT_EQ(Upper(mbr.Value("Disk signature")), Upper(Find(json, R"re("id": "(0x[0-9a-f]+)")re")));
  EXPECT_EQ(mbr.Check("Boot signature"), "holds");
  // sfdisk's primary partitions, in order.
  const std::regex partition(R"re("node": "[^"]*img(\d)",\s*"start": (\d+),\s*"size": (\d+),\s*"type": "([0-9a-f]+)")re");
  std::map<int, std::vector<uint64_t>> parts;
  for (auto it = std::sregex_iterator(json.begin(), json.end(), partition); it != std::sregex_iterator(); ++it) {
    parts[std::stoi((*it)[1])] = {std::stoull((*it)[2]), std::stoull((*it)[3]), std::stoull((*it)[4], nullptr, 16)};
  }
  ASSERT_EQ(parts.size(), 5u);
  for (int i = 1; i <= 3; ++i) {
    const std::string entry = "Entry " + std::to_string(i) + "/";
    EXPECT_EQ(mbr.Number(entry + "LBA start"), parts[i][0]) << i;
    EXPECT_EQ(mbr.Number(entry + "Sector count"), parts[i][1]) << i;
    EXPECT_EQ(std::stoull(mbr.Value(entry + "Type"), nullptr, 16), parts[i][2]) << i;
  }
  // The chain: each EBR's logical partition counts from the EBR, its link from the
  // extended partition's start.
  const uint64_t extended = parts[3][0];
  uint64_t ebr = extended;
  for (int logical = 5; logical <= 6; ++logical) {
    const Decoded record = Fields({disk, std::to_string(ebr)});
    EXPECT_EQ(record.Title, "Extended boot record at sector " + std::to_string(ebr));
    EXPECT_EQ(ebr + record.Number("Entry 1 (logical partition)/LBA start"), parts[logical][0]);
    EXPECT_EQ(record.Number("Entry 1 (logical partition)/Sector count"), parts[logical][1]);
    ebr = extended + record.Number("Entry 2 (next EBR)/LBA start");
  }
}

TEST_F(FieldsTest, GptHeaderAndEntriesAgreeWithSfdiskAndTheirCrcsHold) {
  const std::string disk = SamplePath("disk-gpt.img");
  const std::string json = Tool({"sfdisk", "--json", disk});
  const Decoded header = Fields({disk, "1"});
  EXPECT_EQ(header.Title, "GPT header at sector 1");
  EXPECT_EQ(header.Value("Disk GUID"), Find(json, R"re("id": "([0-9A-F-]+)")re"));
  EXPECT_EQ(header.Number("First usable LBA"), FindNumber(json, R"("firstlba": (\d+))"));
  EXPECT_EQ(header.Number("Last usable LBA"), FindNumber(json, R"("lastlba": (\d+))"));
  EXPECT_EQ(header.Check("Header CRC32"), "holds");
  EXPECT_EQ(header.Check("Partition entry array CRC32"), "holds");
  EXPECT_EQ(Fields({disk, "0"}).Title, "Protective MBR at sector 0");
  // The same in JSON: numbers as numbers, the checks with their results.
  const std::string document = RunCli({"fields", "--json", disk, "1"}).Out;
  EXPECT_NE(document.find(R"j("structure": "gpt-header")j"), std::string::npos) << document;
  EXPECT_NE(document.find(R"j("name": "Last usable LBA",
      "value": "131038 (0x1FFDE)",
      "number": 131038)j"), std::string::npos) << document;
  EXPECT_NE(document.find(R"j("name": "Header CRC32",
      "holds": true)j"), std::string::npos) << document;
  EXPECT_EQ(Fields({disk, "131071"}).Check("Header CRC32"), "holds");

  const Decoded entries = Fields({disk, "2"});
  const std::regex partition(
      R"re("node": "[^"]*img(\d)",\s*"start": (\d+),\s*"size": (\d+),\s*"type": "([0-9A-F-]+)",\s*"uuid": "([0-9A-F-]+)"(,\s*"name": "([^"]*)")?)re");
  int seen = 0;
  for (auto it = std::sregex_iterator(json.begin(), json.end(), partition); it != std::sregex_iterator(); ++it, ++seen) {
    const std::string entry = "Entry " + std::string((*it)[1]) + "/";
    const uint64_t start = std::stoull((*it)[2]);
    EXPECT_EQ(entries.Number(entry + "First LBA"), start);
    EXPECT_EQ(entries.Number(entry + "Last LBA"), start + std::stoull((*it)[3]) - 1);
    EXPECT_TRUE(entries.Value(entry + "Type GUID").starts_with(std::string((*it)[4])));
    EXPECT_EQ(entries.Value(entry + "Unique GUID"), (*it)[5]);
    EXPECT_EQ(entries.Value(entry + "Name"), "\"" + std::string((*it)[7]) + "\"");
  }
  EXPECT_EQ(seen, 3);
  EXPECT_EQ(entries.Value("Entry 4/Type GUID"), "00000000-0000-0000-0000-000000000000 (unused)");

  // One byte of the header (its first usable LBA), then one of the entry array.
  const Decoded badHeader = Fields({Broken("disk-gpt.img", 512 + 40, "\x01"), "1"});
  EXPECT_EQ(badHeader.Check("Header CRC32"), "fails");
  EXPECT_EQ(badHeader.Check("Partition entry array CRC32"), "holds");
  const Decoded badArray = Fields({Broken("disk-gpt.img", 1024 + 128 + 56, "X"), "1"});
  EXPECT_EQ(badArray.Check("Header CRC32"), "holds");
  EXPECT_EQ(badArray.Check("Partition entry array CRC32"), "fails");
}

TEST_F(FieldsTest, FatBootSectorsAndFsInfoAgreeWithFsckFatAndFsstat) {
  for (const char* name : {"fat12.img", "fat16.img", "fat32.img"}) {
    SCOPED_TRACE(name);
    const std::string image = SamplePath(name);
    const bool fat32 = std::string(name) == "fat32.img";
    const std::string fsck = Tool({"fsck.fat", "-v", "-n", image});
    const std::string fsstat = Tool({"fsstat", image});
    const Decoded boot = Fields({image, "0"});
    EXPECT_EQ(boot.Title, fat32 ? "FAT32 boot sector at sector 0" : "FAT12/16 boot sector at sector 0");
    const uint64_t bytesPerSector = boot.Number("Bytes per sector");
    EXPECT_EQ(bytesPerSector, FindNumber(fsck, R"((\d+) bytes per logical sector)"));
    EXPECT_EQ(boot.Number("Sectors per cluster") * bytesPerSector, FindNumber(fsck, R"((\d+) bytes per cluster)"));
    EXPECT_EQ(boot.Number("Reserved sectors"), FindNumber(fsck, R"((\d+) reserved sectors?)"));
    EXPECT_EQ(boot.Number("Number of FATs"), FindNumber(fsck, R"((\d+) FATs)"));
    EXPECT_EQ(boot.Number(fat32 ? "Sectors per FAT" : "Sectors per FAT (16-bit)"),
              FindNumber(fsck, R"(\(= (\d+) sectors\))"));
    EXPECT_EQ(boot.Number("Sectors per track"), FindNumber(fsck, R"((\d+) sectors/track)"));
    EXPECT_EQ(boot.Number("Number of heads"), FindNumber(fsck, R"(sectors/track, (\d+) heads)"));
    EXPECT_EQ(boot.Number("Hidden sectors"), FindNumber(fsck, R"((\d+) hidden sectors)"));
    const uint64_t total16 = boot.Number("Total sectors (16-bit)");
    EXPECT_EQ(total16 != 0 ? total16 : boot.Number("Total sectors (32-bit)"), FindNumber(fsck, R"((\d+) sectors total)"));
    EXPECT_EQ(boot.Value("OEM name"), "\"" + Find(fsstat, "OEM Name: (.*)") + "\"");
    EXPECT_EQ(boot.Value("Volume serial number"), Upper(Find(fsstat, "Volume ID: (0x[0-9a-f]+)")).replace(0, 2, "0x"));
    EXPECT_EQ(boot.Value("Volume label"), "\"" + Find(fsstat, R"(Volume Label \(Boot Sector\): (.*))") + "\"");
    EXPECT_EQ(boot.Check("Boot signature"), "holds");
    if (!fat32) {
      EXPECT_EQ(boot.Number("Root directory entries"), FindNumber(fsck, R"((\d+) root directory entries)"));
      continue;
    }
    EXPECT_EQ(boot.Number("FSInfo sector"), FindNumber(fsstat, R"(FS Info Sector: (\d+))"));
    EXPECT_EQ(boot.Number("Backup boot sector"), FindNumber(fsstat, R"(Backup Boot Sector: (\d+))"));
    EXPECT_EQ(Fields({image, std::to_string(boot.Number("Backup boot sector"))}).Title,
              "FAT32 boot sector at sector " + std::to_string(boot.Number("Backup boot sector")));
    // The Sleuth Kit reports FSInfo's cluster numbers in sectors.
    const Decoded fsinfo = Fields({image, "1"});
    const uint64_t perCluster = boot.Number("Sectors per cluster");
    const uint64_t dataStart = FindNumber(fsstat, R"(\* Data Area: (\d+))");
    EXPECT_EQ(fsinfo.Number("Free cluster count") * perCluster, FindNumber(fsstat, R"(Free Sector Count \(FS Info\): (\d+))"));
    EXPECT_EQ(dataStart + (fsinfo.Number("Next free cluster") - 2) * perCluster,
              FindNumber(fsstat, R"(Next Free Sector \(FS Info\): (\d+))"));
    for (const char* check : {"Lead signature", "Structure signature", "Trail signature"}) {
      EXPECT_EQ(fsinfo.Check(check), "holds") << check;
    }
  }
}

TEST_F(FieldsTest, FatDirectoryEntriesAndLongNameChecksums) {
  const std::string image = SamplePath("fat16.img");
  // The root directory follows the boot sector, reserved sectors and both FATs.
  const Decoded boot = Fields({image, "0"});
  const uint64_t root = boot.Number("Reserved sectors") + boot.Number("Number of FATs") * boot.Number("Sectors per FAT (16-bit)");
  const Decoded directory = Fields({image, std::to_string(root)});
  EXPECT_EQ(directory.Title, "FAT directory entries at sector " + std::to_string(root));
  EXPECT_EQ(directory.Value("Entry 2/Name"), "\"README  TXT\" (README.TXT)");
  EXPECT_EQ(directory.Value("Entry 2/Write date"), "2009-03-07 (0x3A67)");
  EXPECT_EQ(directory.Value("Entry 2/Write time"), "14:05:00 (0x70A0)");
  EXPECT_EQ(directory.Number("Entry 2/File size"), 26u);
  EXPECT_EQ(directory.Check("Long name checksum"), "holds");
  // The long name of "Quarterly report.txt" (entries 3-4) loses its checksum's low bit.
  const Decoded broken = Fields({Broken("fat16.img", root * 512 + 2 * 32 + 13, "\x6F"), std::to_string(root)});
  EXPECT_EQ(broken.Check("Long name checksum, entries at 0x040-0x060"), "fails");
}

TEST_F(FieldsTest, ExfatBootRegionAndEntrySetsAgreeWithDumpExfat) {
  const std::string image = SamplePath("exfat.img");
  if (!fs::exists(image)) GTEST_SKIP() << "exfat.img was not made here (see exfat-refused.txt)";
  const std::string dump = Tool({"dump.exfat", image});
  const Decoded boot = Fields({image, "0"});
  EXPECT_EQ(boot.Title, "exFAT boot sector at sector 0");
  EXPECT_EQ(boot.Number("Volume length"), FindNumber(dump, R"(Volume Length\(sectors\):\s+(\d+))"));
  EXPECT_EQ(boot.Number("FAT offset"), FindNumber(dump, R"(FAT Offset\(sector offset\):\s+(\d+))"));
  EXPECT_EQ(boot.Number("FAT length"), FindNumber(dump, R"(FAT Length\(sectors\):\s+(\d+))"));
  EXPECT_EQ(boot.Number("Cluster heap offset"), FindNumber(dump, R"(Cluster Heap Offset \(sector offset\):\s+(\d+))"));
  EXPECT_EQ(boot.Number("Cluster count"), FindNumber(dump, R"(Cluster Count:\s+(\d+))"));
  EXPECT_EQ(boot.Number("First cluster of root directory"), FindNumber(dump, R"(Root Cluster \(cluster offset\):\s+(\d+))"));
  EXPECT_EQ(std::stoull(boot.Value("Volume serial number"), nullptr, 16), FindNumber(dump, R"(Volume Serial:\s+(0x[0-9a-f]+))"));
  EXPECT_EQ(boot.Number("Bytes per sector shift"), FindNumber(dump, R"(Sector Size Bits:\s+(\d+))"));
  EXPECT_EQ(boot.Number("Sectors per cluster shift"), FindNumber(dump, R"(Sector per Cluster bits:\s+(\d+))"));
  EXPECT_EQ(Fields({image, "11"}).Check("Boot region checksum"), "holds");
  EXPECT_EQ(Fields({image, "23"}).Check("Boot region checksum"), "holds");
  // A byte of an extended boot sector changed: the checksum no longer covers the region.
  EXPECT_EQ(Fields({Broken("exfat.img", 3 * 512 + 7, "\x01"), "11"}).Check("Boot region checksum"), "fails");

  // The root directory: its volume entries, then a file's entry set.
  const uint64_t root = boot.Number("Cluster heap offset") +
                        (boot.Number("First cluster of root directory") - 2) * (uint64_t{1} << boot.Number("Sectors per cluster shift"));
  const Decoded directory = Fields({image, std::to_string(root)});
  EXPECT_EQ(directory.Title, "exFAT directory entries at sector " + std::to_string(root));
  EXPECT_EQ(directory.Value("Entry 1/Volume label"), "\"" + Find(dump, R"(Volume label:\s+(\S+))") + "\"");
  EXPECT_EQ(directory.Number("Entry 2/First cluster"), FindNumber(dump, R"(Bitmap start cluster:\s+(\d+))"));
  EXPECT_EQ(directory.Number("Entry 2/Data length"), FindNumber(dump, R"(Bitmap size:\s+(\d+))"));
  EXPECT_EQ(directory.Number("Entry 3/First cluster"), FindNumber(dump, R"(Upcase table start cluster:\s+(\d+))"));
  EXPECT_EQ(directory.Number("Entry 3/Data length"), FindNumber(dump, R"(Upcase table size:\s+(\d+))"));
  EXPECT_EQ(directory.Value("Entry 4/Entry type"), "0x85 (file)");
  EXPECT_EQ(directory.Check("Set checksum of the entries at 0x060"), "holds");
  // A name character of the first file's set changed.
  EXPECT_EQ(Fields({Broken("exfat.img", root * 512 + 5 * 32 + 2, "z"), std::to_string(root)})
                .Check("Set checksum of the entries at 0x060"),
            "fails");
}

TEST_F(FieldsTest, NtfsBootSectorAndMftRecordAgreeWithNtfsinfoAndIstat) {
  const std::string image = SamplePath("ntfs.img");
  const std::string info = Tool({"ntfsinfo", "-m", image});
  const std::string fsstat = Tool({"fsstat", image});
  const Decoded boot = Fields({image, "0"});
  EXPECT_EQ(boot.Title, "NTFS boot sector at sector 0");
  const uint64_t bytesPerSector = boot.Number("Bytes per sector");
  EXPECT_EQ(bytesPerSector, FindNumber(info, R"(Sector Size: (\d+))"));
  EXPECT_EQ(boot.Number("Sectors per cluster") * bytesPerSector, FindNumber(info, R"(Cluster Size: (\d+))"));
  EXPECT_EQ(boot.Number("Total sectors"), FindNumber(fsstat, R"(Total Sector Range: 0 - (\d+))") + 1);
  EXPECT_EQ(boot.Number("MFT cluster"), FindNumber(info, R"(LCN of Data Attribute for FILE_MFT: (\d+))"));
  EXPECT_EQ(boot.Number("MFT mirror cluster"), FindNumber(info, R"(LCN of Data Attribute for File_MFTMirr: (\d+))"));
  EXPECT_EQ(boot.Value("Clusters per file record"), "-10 (" + Find(info, R"(MFT Record Size: (\d+))") + " bytes)");
  EXPECT_EQ(boot.Value("Clusters per index block"), "1 (1 cluster)");
  EXPECT_EQ(FindNumber(info, R"(Index Block Size: (\d+))"), boot.Number("Sectors per cluster") * bytesPerSector);
  EXPECT_EQ(boot.Value("Volume serial number"), "0x" + Find(fsstat, "Volume Serial Number: ([0-9A-F]+)"));

  // BIG.DAT's record, found by The Sleuth Kit and located through the MFT's runs.
  const std::string number = Find(Tool({"ifind", "-n", "/BIG.DAT", image}), R"((\d+))");
  const std::string istat = Tool({"istat", image, number});
  const std::string sector = Lines(RunCli({"locate", image, "mft-record", number}).Out).at(0);
  const Decoded record = Fields({image, sector});
  EXPECT_EQ(record.Title, "MFT FILE record at sector " + sector);
  EXPECT_EQ(record.Number("MFT record number"), std::stoull(number));
  EXPECT_EQ(record.Number("Sequence number"), FindNumber(istat, R"(Sequence: (\d+))"));
  EXPECT_EQ(record.Number("Hard link count"), FindNumber(istat, R"(Links: (\d+))"));
  EXPECT_EQ(record.Number("$LogFile sequence number"), FindNumber(istat, R"(\$LogFile Sequence Number: (\d+))"));
  // Each attribute: its type, its ID and whether it is resident, as istat lists them.
  const std::regex attribute(R"(Type: (\$\w+) \((\d+)-(\d+)\)\s+Name: \S+\s+(Resident|Non-Resident))");
  int n = 1;
  for (auto it = std::sregex_iterator(istat.begin(), istat.end(), attribute); it != std::sregex_iterator(); ++it, ++n) {
    const std::string group = "Attribute " + std::to_string(n) + ": " + std::string((*it)[1]) + "/";
    EXPECT_EQ(std::stoull(record.Value(group + "Type"), nullptr, 16), std::stoull((*it)[2]));
    EXPECT_EQ(record.Number(group + "Attribute ID"), std::stoull((*it)[3]));
    EXPECT_EQ(record.Value(group + "Residency"), (*it)[4] == "Resident" ? "0x00 (resident)" : "0x01 (non-resident)");
  }
  EXPECT_EQ(n, 5);
  const std::string fileName = "Attribute 2: $FILE_NAME/";
  EXPECT_EQ(record.Value(fileName + "Name"), "\"" + Find(istat, R"(Name: (\S+\.\w+))") + "\"");
  EXPECT_EQ(record.Value(fileName + "Parent directory"),
            "record " + Find(istat, R"(Parent MFT Entry: (\d+))") + ", sequence " +
                Find(istat, R"(Parent MFT Entry: \d+\s+Sequence: (\d+))") + " (0x0005000000000005)");
  EXPECT_EQ(record.Number(fileName + "Allocated size"), FindNumber(istat, R"(Allocated Size: (\d+))"));
  // ntfscp writes the short $STANDARD_INFORMATION of NTFS 1.2 (48 bytes), without owner ID.
  EXPECT_EQ(Find(istat, R"(Flags: (\w+))"), "Archive");
  EXPECT_EQ(record.Value("Attribute 1: $STANDARD_INFORMATION/File attributes"), "0x00000020 (archive)");
  EXPECT_EQ(record.Values.count("Attribute 1: $STANDARD_INFORMATION/Owner ID"), 0u);
  EXPECT_EQ(record.Number("Attribute 4: $DATA/Data size"), FindNumber(istat, R"(Non-Resident\s+size: (\d+))"));
  EXPECT_EQ(record.Value("Attribute 4: $DATA/Run 1").substr(record.Value("Attribute 4: $DATA/Run 1").find(": ")),
            ": 230 clusters from cluster 2561 (+2561)");
  EXPECT_EQ(record.Check("Signature"), "holds");
  EXPECT_EQ(record.Check("Update sequence at 0x1FE"), "holds");
  EXPECT_EQ(record.Check("Update sequence at 0x3FE"), "holds");

  // The first stride's last byte no longer carries the update sequence number: a torn write.
  const Decoded torn = Fields({Broken("ntfs.img", std::stoull(sector) * 512 + 510, "\x7F"), sector});
  EXPECT_EQ(torn.Check("Update sequence at 0x1FE"), "fails");
  EXPECT_EQ(torn.Check("Update sequence at 0x3FE"), "holds");
}

TEST_F(FieldsTest, ExtStructuresAgreeWithDumpe2fsAndDebugfsAndTheirCrc32cHold) {
  const std::string image = SamplePath("ext4.img");
  const std::string dump = Tool({"dumpe2fs", image});
  const Decoded sb = Fields({image, "2"});
  EXPECT_EQ(sb.Title, "ext superblock at sector 2");
  EXPECT_EQ(sb.Number("Inodes count"), FindNumber(dump, R"(Inode count:\s+(\d+))"));
  EXPECT_EQ(sb.Number("Blocks count (low)"), FindNumber(dump, R"(Block count:\s+(\d+))"));
  EXPECT_EQ(sb.Number("Free blocks count (low)"), FindNumber(dump, R"(Free blocks:\s+(\d+))"));
  EXPECT_EQ(sb.Number("Inode size"), FindNumber(dump, R"(Inode size:\s+(\d+))"));
  EXPECT_EQ(sb.Value("UUID"), Find(dump, R"(Filesystem UUID:\s+(\S+))"));
  EXPECT_EQ(sb.Value("Log block size"), "2 (" + Find(dump, R"(Block size:\s+(\d+))") + " bytes)");
  EXPECT_EQ(sb.Value("Checksum"), Upper(Find(dump, R"(\nChecksum:\s+0x([0-9a-f]+))")).insert(0, "0x"));
  EXPECT_EQ(sb.Check("Magic number"), "holds");
  EXPECT_EQ(sb.Check("Superblock checksum"), "holds");

  // Group 1's descriptor in the table after the superblock's block (block 1, sector 8).
  const Decoded groups = Fields({image, "8"});
  EXPECT_EQ(groups.Title, "ext group descriptors at sector 8");
  EXPECT_EQ(groups.Number("Group 1/Inode table (low)"), FindNumber(dump, R"(Group 1:[^\n]*\n(?:[^\n]*\n)*?\s+Inode table at (\d+))"));
  EXPECT_EQ(groups.Value("Group 0/Checksum"), "0x" + Upper(Find(dump, R"(Group 0: [^\n]*csum 0x([0-9a-f]+))")));
  EXPECT_EQ(groups.Check("Group 0 checksum (crc32c)"), "holds");
  EXPECT_EQ(groups.Check("Group 1 checksum (crc32c)"), "holds");

  // The root directory's inode (the second of its sector) and its one block.
  const std::string stat = Tool({"debugfs", "-R", "stat <2>", image});
  const uint64_t table = FindNumber(dump, R"(Group 0:[^\n]*\n(?:[^\n]*\n)*?\s+Inode table at (\d+))");
  const std::string inodeSector = std::to_string(table * 8);
  const Decoded inode = Fields({image, inodeSector});
  EXPECT_EQ(inode.Title, "ext inodes at sector " + inodeSector);
  EXPECT_EQ(inode.Number("Inode 2/Links count"), FindNumber(stat, R"(Links: (\d+))"));
  EXPECT_EQ(inode.Number("Inode 2/Size (low)"), FindNumber(stat, R"(Size: (\d+))"));
  EXPECT_EQ(inode.Number("Inode 2/Extra inode size"), FindNumber(stat, R"(extra inode fields: (\d+))"));
  EXPECT_EQ(inode.Value("Inode 2/Mode"), "0x41ED (directory, drwxr-xr-x)");
  EXPECT_EQ(inode.Check("Inode 2 checksum"), "holds");
  const std::string directorySector =
      std::to_string(8 * FindNumber(Tool({"debugfs", "-R", "blocks <2>", image}), R"((\d+))"));
  const Decoded directory = Fields({image, directorySector});
  EXPECT_EQ(directory.Title, "ext directory block at sector " + directorySector);
  EXPECT_EQ(directory.Value("Entry 3/Name"), "\"lost+found\"");
  EXPECT_EQ(directory.Number("Entry 3/Inode"), 11u);
  EXPECT_EQ(directory.Value("Checksum tail/File type"), "0xDE (checksum tail)");
  EXPECT_EQ(directory.Check("Directory block checksum"), "holds");

  // One byte changed in each: the volume name, the root's link count, a name's letter.
  EXPECT_EQ(Fields({Broken("ext4.img", 1024 + 0x78, "X"), "2"}).Check("Superblock checksum"), "fails");
  EXPECT_EQ(Fields({Broken("ext4.img", table * 4096 + 256 + 0x1A, "\x09"), inodeSector}).Check("Inode 2 checksum"), "fails");
  EXPECT_EQ(Fields({Broken("ext4.img", std::stoull(directorySector) * 512 + 0x20, "L"), directorySector})
                .Check("Directory block checksum"),
            "fails");

  // The first backup (group 1) holds the primary's figures but for the counts and times
  // only the primary follows, its group number and its checksum; a changed UUID is named,
  // and the checksum that no longer holds.
  const CommandResult same = RunCli({"fields", "--compare-backup", image});
  const std::string backup = std::to_string(8 * FindNumber(dump, R"(Backup superblock at (\d+))"));
  const std::vector<std::string> sameLines = Lines(same.Out);
  ASSERT_GE(sameLines.size(), 4u);
  EXPECT_EQ(sameLines[0], "ext superblock: sector 2 and its backup at sector " + backup);
  EXPECT_EQ(sameLines[1], "The backup agrees; these fields differ by design:");
  EXPECT_NE(std::find(sameLines.begin(), sameLines.end(),
                      "0x05A  2  Block group number  0 (0x0)  |  1 (0x1)  (the backup's is its group's number, 1)"),
            sameLines.end());
  const std::vector<std::string> changed =
      Lines(RunCli({"fields", "--compare-backup", Broken("ext4.img", 1024 + 0x68, "\x11")}).Out);
  ASSERT_GE(changed.size(), 4u);
  EXPECT_TRUE(changed[1].starts_with("0x068  16  UUID  114f5256-")) << changed[1];
  EXPECT_TRUE(changed[2].starts_with("0x3FC  4  Checksum  ")) << changed[2];
  EXPECT_EQ(changed[3], "These fields differ by design:");
}

// Read as 4096-byte sectors the superblock at byte 1024 lies inside sector 0: it is found
// there, decoded from its own first byte, and compared with its backup from there.
TEST_F(FieldsTest, ExtSuperblockInsideALargeSector) {
  const std::string image = SamplePath("ext4.img");
  const std::string dump = Tool({"dumpe2fs", image});
  const Decoded sb = Fields({"--sector-size", "4096", image, "0"});
  EXPECT_EQ(sb.Title, "ext superblock at sector 0");
  EXPECT_EQ(sb.Number("Blocks count (low)"), FindNumber(dump, R"(Block count:\s+(\d+))"));
  EXPECT_EQ(sb.Value("UUID"), Find(dump, R"(Filesystem UUID:\s+(\S+))"));
  EXPECT_EQ(sb.Check("Magic number"), "holds");
  EXPECT_EQ(sb.Check("Superblock checksum"), "holds");
  const std::vector<std::string> same = Lines(RunCli({"fields", "--compare-backup", "--sector-size", "4096", image}).Out);
  ASSERT_GE(same.size(), 2u);
  EXPECT_EQ(same[0], "ext superblock: sector 0 and its backup at sector " + Find(dump, R"(Backup superblock at (\d+))"));
  EXPECT_EQ(same[1], "The backup agrees; these fields differ by design:");
}

TEST_F(FieldsTest, CompareBackupNamesTheFieldsThatDiffer) {
  // The NTFS backup boot sector (the volume's last sector) with another serial number.
  const std::string ntfs = Broken("ntfs.img", 32767 * 512 + 72, "\x11\x22");
  const CommandResult same = RunCli({"fields", "--compare-backup", SamplePath("ntfs.img")});
  EXPECT_EQ(Lines(same.Out), (std::vector<std::string>{"NTFS boot sector: sector 0 and its backup at sector 32767",
                                                       "No field differs"}));
  const CommandResult changed = RunCli({"fields", "--compare-backup", ntfs});
  EXPECT_EQ(changed.Status, 0) << changed.Err;
  const std::vector<std::string> lines = Lines(changed.Out);
  ASSERT_EQ(lines.size(), 2u) << changed.Out;
  EXPECT_EQ(lines[1], "0x048  8  Volume serial number  0x34F5EE1202469FF7  |  0x34F5EE120246" "2211");

  // A GPT whose primary header was zeroed: every field of it differs from the backup's.
  std::string zeros(512, '\0');
  const CommandResult gpt = RunCli({"fields", "--compare-backup", Broken("disk-gpt.img", 512, zeros)});
  EXPECT_EQ(gpt.Status, 0) << gpt.Err;
  const std::vector<std::string> gptLines = Lines(gpt.Out);
  ASSERT_EQ(gptLines.size(), 16u) << gpt.Out;
  EXPECT_EQ(gptLines[0], "GPT header: sector 1 and its backup at sector 131071");
  EXPECT_EQ(gptLines[1], "0x000  8  Signature  \"........\"  |  \"EFI PART\"");
  EXPECT_EQ(gptLines[9], "0x038  16  Disk GUID  00000000-0000-0000-0000-000000000000  |  4B4F5256-0000-4000-8000-000000000001");
  // The primary entry array, found where every tool writes it, agrees with the backup's.
  EXPECT_EQ(gptLines[14], "GPT partition entries: sectors 2-33 and its backup at sectors 131039-131070");
  EXPECT_EQ(gptLines[15], "No field differs");
}

TEST_F(FieldsTest, SectorsWithoutAKnownStructureAndUnknownNamesAreRefused) {
  const CommandResult unknown = RunCli({"fields", SamplePath("ntfs.img"), "1"});
  EXPECT_EQ(unknown.Status, 1);
  EXPECT_TRUE(unknown.Err.starts_with("korvalane-cli: no structure is known at sector 1 (--as NAME picks one: mbr,"))
      << unknown.Err;
  const CommandResult as = RunCli({"fields", "--as", "ntfs-boot", SamplePath("ntfs.img"), "1"});
  EXPECT_EQ(as.Status, 0);
  EXPECT_EQ(Lines(as.Out).at(0), "NTFS boot sector at sector 1");
  const CommandResult bad = RunCli({"fields", "--as", "superblock", SamplePath("ntfs.img"), "0"});
  EXPECT_EQ(bad.Status, 2);
  EXPECT_TRUE(bad.Err.starts_with("korvalane-cli: --as takes one of mbr, ebr,")) << bad.Err;
  EXPECT_EQ(RunCli({"fields", "--compare-backup", SamplePath("ntfs.img"), "0"}).Status, 2);
}

}  // namespace
}  // namespace korvalane::testing
