// The JSON of the record and listing views as scripts read it: times in ISO 8601 UTC
// (checked against The Sleuth Kit's istat, and in a zone with summer time),
// an NTFS time of 0 as null, the FAT entry flags on an image made by mtools, and one
// document for a sector that holds nothing, whatever the volume.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "fixtures/Samples.h"

namespace korvalane {
namespace {

namespace fs = std::filesystem;
using testing::CommandResult;
using testing::SamplePath;

std::string Output(const std::vector<std::string>& argv) {
  const CommandResult result = testing::Run(argv);
  EXPECT_EQ(result.Status, 0) << argv[0] << ": " << result.Err;
  return result.Out;
}

std::string Cli(const std::vector<std::string>& args, const std::string& zone = "UTC") {
  std::vector<std::string> argv{"env", "TZ=" + zone, testing::CliPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return Output(argv);
}

// jq's compact, raw answer to a filter over a document.
std::string Jq(const std::string& json, const std::string& filter) {
  const fs::path file = fs::path(::testing::TempDir()) / ("korvalane-record-json-" + std::to_string(getpid()));
  std::ofstream(file) << json;
  std::string out = Output({"jq", "-rc", filter, file.string()});
  fs::remove(file);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string Entry(const std::string& json, const std::string& name, const std::string& field) {
  return Jq(json, ".entries[] | select(.name == \"" + name + "\") | ." + field);
}

TEST(RecordJsonTest, TimesAreIso8601InUtcAndAZeroNtfsTimeIsNull) {
  // README.TXT was written 2009-03-07 14:05 local time; FAT keeps no zone, so the JSON
  // takes the offset this machine's zone had then (winter in Berlin, summer in June).
  const std::string fat = SamplePath("fat16.img");
  EXPECT_EQ(Entry(Cli({"record", "--json", fat, "68"}), "README.TXT", "modified"), "2009-03-07T14:05:00Z");
  const std::string berlin = Cli({"record", "--json", fat, "68"}, "Europe/Berlin");
  EXPECT_EQ(Entry(berlin, "README.TXT", "modified"), "2009-03-07T13:05:00Z");
  EXPECT_EQ(Entry(berlin, "Quarterly report.txt", "modified"), "2021-06-15T10:34:56Z");
  // The stamp as stored stays beside it: the wall clock of the listing line.
  EXPECT_EQ(Jq(berlin, R"(.entries[] | select(.name == "README.TXT") | [.year, .month, .day, .hour, .minute] | @csv)"),
            "2009,3,7,14,5");

  // exFAT keeps the offset beside the stamp (valid and 0 in this image) and its 10 ms
  // units: the machine's zone changes nothing, and the time is istat's.
  const std::string exfat = SamplePath("exfat.img");
  const std::string root = Jq(Cli({"details", "--json", exfat}), ".rootDirectorySector");
  std::smatch written;
  const std::string exfatFls = Output({"fls", exfat});
  ASSERT_TRUE(std::regex_search(exfatFls, written, std::regex(R"(r/r (\d+):\tREADME\.TXT)")));
  const std::string exfatIstat = Output({"env", "TZ=UTC", "istat", exfat, written.str(1)});
  ASSERT_TRUE(std::regex_search(exfatIstat, written, std::regex(R"(Written:\t(\d{4}-\d\d-\d\d) (\d\d:\d\d:\d\d)(\.(\d\d))?)")));
  // istat leaves out a fraction of 0.
  EXPECT_EQ(Entry(Cli({"record", "--json", exfat, root}, "Europe/Berlin"), "README.TXT", "modified"),
            written.str(1) + "T" + written.str(2) + "." + (written[4].matched ? written.str(4) : "00") + "Z");

  // NTFS keeps UTC in 100 ns units: the creation time of README.TXT as istat gives it, all
  // seven digits of its fraction.
  const std::string ntfs = SamplePath("ntfs.img");
  const std::string fls = Output({"fls", ntfs});
  std::smatch found;
  ASSERT_TRUE(std::regex_search(fls, found, std::regex(R"(r/r (\d+)-128-\d+:\tREADME\.TXT)")));
  const std::string record = found[1];
  const std::string istat = Output({"env", "TZ=UTC", "istat", ntfs, record});
  ASSERT_TRUE(std::regex_search(
      istat, found, std::regex(R"(Created:\t(\d{4}-\d\d-\d\d) (\d\d:\d\d:\d\d)\.(\d{7})\d* \(UTC\))")));
  const std::string sector = Cli({"locate", ntfs, "mft-record", record});
  const std::string readme = Cli({"record", "--json", ntfs, sector.substr(0, sector.find('\n'))}, "Europe/Berlin");
  EXPECT_EQ(Jq(readme, ".created"), found.str(1) + "T" + found.str(2) + "." + found.str(3) + "Z");

  // mkntfs -T writes every time of its system files as 0: no time, not 1601.
  EXPECT_EQ(Jq(Cli({"record", "--json", ntfs, "32"}), "[.name, .created]"), R"(["$MFT",null])");
}

TEST(RecordJsonTest, FatEntriesCarryDeletedVolumeLabelAndTheShortNameAsShown) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("korvalane-fat-flags-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string image = (dir / "flags.img").string();
  for (const char* name : {"lower.txt", "UPPER.TXT", "gone.txt"}) std::ofstream(dir / name) << "x";
  Output({"mkfs.fat", "-C", "--invariant", "-n", "FLAGS", image, "1024"});
  // mtools keeps an all-lower-case 8.3 name as Windows NT does: upper case in the entry,
  // with the lower-case flags of byte 12 set, and no long name.
  Output({"mcopy", "-i", image, (dir / "lower.txt").string(), (dir / "UPPER.TXT").string(),
          (dir / "gone.txt").string(), "::/"});
  Output({"mdel", "-i", image, "::/gone.txt"});

  const std::string details = Cli({"details", "--json", image});
  const std::string json = Cli({"record", "--json", image, Jq(details, ".startDataSector")});
  // The view's names stay as stored; the JSON adds the name as shown and the flags.
  EXPECT_EQ(Jq(json, "[.entries[] | [.name, .shortNameAsShown, .deleted, .volumeLabel]]"),
            R"([["FLAGS","FLAGS",false,true],["LOWER.TXT","lower.txt",false,false],)"
            R"(["UPPER.TXT","UPPER.TXT",false,false],["хONE.TXT","хone.txt",true,false]])");
  fs::remove_all(dir);
}

TEST(RecordJsonTest, ASectorThatHoldsNothingGivesOneDocumentOnEveryVolume) {
  struct Case {
    const char* image;
    const char* sector;
  };
  const Case cases[] = {
      {"fat16.img", "1"},     // a FAT sector: no directory starts there
      {"fat32.img", "0"},     // the boot sector
      {"exfat.img", "1"},     // exFAT's extended boot sector
      {"ntfs.img", "1"},      // boot code, no FILE record
      {"disk-mbr.img", "0"},  // a whole disk: no file system, no records
      {"ext4.img", "0"},      // the boot block: no inode, no directory
      {"ext2.img", "5"},      // a group descriptor block
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Jq(Cli({"record", "--json", SamplePath(c.image), c.sector}), "."), R"({"found":false})") << c.image;
  }
  EXPECT_EQ(Jq(Cli({"record", "--json", SamplePath("fat16.img"), "68"}), ".found"), "true");
  EXPECT_EQ(Jq(Cli({"record", "--json", SamplePath("ntfs.img"), "32"}), ".found"), "true");
}

}  // namespace
}  // namespace korvalane
