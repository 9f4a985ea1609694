// One shape per kind of value in every command's JSON, on every sample: each document
// parses; every time (a key "time", "accessed", "changed", "created", "modified" or one
// ending in "Time") is null or ISO 8601 in UTC and a real calendar moment, and no other
// string holds a time with an offset; no string shows NUL padding as a run of dots or
// stands in quotes of its own. The commands run in a zone far from UTC (St. John's,
// -03:30), so that a time left in local time or with its offset shows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures/Samples.h"

namespace korvalane {
namespace {

namespace fs = std::filesystem;

// Reads a stream of {"at": "the command", "document": ...} and prints one object: the
// faults found, and how many times and texts it looked at (so that a check that saw none
// cannot pass unnoticed).
constexpr char kCheck[] = R"jq(
def isTimeKey: test("^(time|accessed|changed|created|modified)$|Time$");
def isoUtc: test("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\\.[0-9]{1,9})?Z$");
def calendar: sub("\\.[0-9]+Z$"; "Z") as $s | (try ($s | fromdateiso8601 | todateiso8601) catch "") == $s;
def faults($document):
  $document | paths as $p | getpath($p) as $v | ($p | last) as $k | ($p | map(tostring) | join("/")) as $where
  | if ($k | type) == "string" and ($k | isTimeKey) and $v != null then
      if ($v | type) != "string" then "\($where): a time that is no string: \($v | tojson)"
      elif ($v | isoUtc | not) then "\($where): no ISO 8601 time in UTC: \($v)"
      elif ($v | calendar | not) then "\($where): no calendar moment: \($v)"
      else empty end
    elif ($v | type) == "string" then
      (if ($v | test("[0-9]{4}-[0-9]{2}-[0-9]{2}T")) and ($v | isoUtc | not) then "\($where): a time not in UTC: \($v)" else empty end),
      (if ($v | test("\\.{4}|[^.]\\.{2,}$")) then "\($where): a run of dots: \($v)" else empty end),
      (if ($v | test("^\".*\"$")) then "\($where): in quotes of its own: \($v)" else empty end)
    else empty end;
def timeCount($document): [$document | paths as $p | select(($p | last | type) == "string" and ($p | last | isTimeKey)) | getpath($p) | strings] | length;
def textCount($document): [$document | .. | strings] | length;
[inputs] | {
  faults: [.[] | .at as $at | faults(.document) | "\($at): \(.)"],
  times: (map(timeCount(.document)) | add // 0),
  texts: (map(textCount(.document)) | add // 0)
}
)jq";

struct Sample {
  const char* Image;
  // The partitions of a whole disk: each is looked at as a drive of its own too.
  std::vector<int> Partitions;
  bool Times;  // its documents hold times (its file systems keep them, and the sectors looked at show some)
};

const Sample kSamples[] = {
    {"fat12.img", {}, true},           {"fat16.img", {}, true},
    {"fat32.img", {}, true},           {"fat16-2k.img", {}, true},
    {"fat16-4k.img", {}, true},        {"exfat.img", {}, true},
    {"exfat-4k.img", {}, true},        {"exfat-big.img", {}, true},
    {"ntfs.img", {}, true},            {"ntfs-4k.img", {}, true},
    {"ntfs-fragmented.img", {}, true}, {"ext2.img", {}, true},
    {"ext3.img", {}, true},            {"ext4.img", {}, true},
    {"disk-mbr.img", {1, 2, 5, 6}, true}, {"disk-gpt.img", {1, 2, 3}, true},
    {"disk-gpt-4k.img", {1, 2}, true}, {"containers/disk.qcow2", {1}, true},
    {"containers/disk.E01", {2}, true},  {"containers/disk.vhdx", {}, false},
};

void PrintTo(const Sample& sample, std::ostream* out) { *out << sample.Image; }

std::string SampleName(const ::testing::TestParamInfo<Sample>& info) {
  std::string name = info.param.Image;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

class JsonSchemaTest : public ::testing::TestWithParam<Sample> {
 protected:
  void SetUp() override {
    source_ = testing::SamplePath(GetParam().Image);
    if (!fs::exists(source_) || fs::file_size(source_) == 0) GTEST_SKIP() << source_ << " was not made on this machine";
    dir_ = fs::path(::testing::TempDir()) / ("korvalane-json-schema-" + std::to_string(getpid()) + "-" + SampleName({GetParam(), 0}));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  // The command's JSON in the far zone; empty where it printed none (a usage error).
  std::string Json(std::vector<std::string> args) {
    args.push_back("--json");
    std::vector<std::string> argv{"env", "TZ=America/St_Johns", testing::CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    const testing::CommandResult result = testing::Run(argv);
    // A command that refuses its arguments prints no document; none may crash (nor, in
    // the sanitizer build, report).
    EXPECT_NE(result.Status, -1) << args[0] << ": " << result.Err;
    EXPECT_EQ(result.Err.find("Sanitizer"), std::string::npos) << result.Err;
    EXPECT_EQ(result.Err.find("runtime error"), std::string::npos) << result.Err;
    if (result.Out.empty()) return {};
    std::string at;
    for (const std::string& arg : args) at += (at.empty() ? "" : " ") + (arg == source_ ? std::string(GetParam().Image) : arg);
    stream_ += "{\"at\": \"" + at + "\", \"document\": " + result.Out + "}\n";
    ++documents_;
    return result.Out;
  }

  // A jq filter's compact answers over a document, one a line.
  std::vector<std::string> Jq(const std::string& document, const std::string& filter) {
    if (document.empty()) return {};
    const fs::path file = dir_ / "document.json";
    std::ofstream(file) << document;
    return testing::Lines(testing::Run({"jq", "-rc", filter, file.string()}).Out);
  }

  // The sectors worth decoding on the drive `prefix` picks: the boot sectors and their
  // backups, the GPT's, the last sector, the start of the data, ext's inode tables, and
  // (`searched`) the directories and records the find presets of its kind meet.
  std::set<std::string> SectorsOf(const std::vector<std::string>& prefix, bool searched) {
    const auto with = [&](std::vector<std::string> args) {
      args.insert(args.begin(), prefix.begin(), prefix.end());
      return args;
    };
    std::set<std::string> sectors{"0", "1", "2", "3", "6", "12", "23", "32"};
    const std::string details = Json(with({"details", source_}));
    for (const std::string& s : Jq(details, ".sectors // empty | . - 1")) sectors.insert(s);
    for (const std::string& s : Jq(details, ".startDataSector, .rootDirectorySector | numbers")) sectors.insert(s);
    for (const std::string& s : Jq(details, "(.groups // [])[:2][] as $g | $g.inodeTableFirst * .sectorsPerBlock | ., . + 1")) {
      sectors.insert(s);
    }
    if (!searched) return sectors;
    const std::vector<std::string> kind = Jq(details, ".fileSystem // .scheme");
    const std::string name = kind.empty() ? "" : kind[0];
    struct Preset {
      const char* Name;
      const char* Found;  // how the names of the kinds of volume it finds structures of begin
      const char* Taken;  // which of the sectors found
    };
    // A whole disk is searched for all three; exFAT for none (its root is the details').
    // NTFS's files: the system files, and the first of those the samples add (from record
    // 64 on).
    for (const Preset& preset : {Preset{"directory-cluster", "FAT", ".[:4]"}, Preset{"directory-block", "ext", ".[:4]"},
                                 Preset{"file-record", "NTFS", ".[:8] + .[64:80]"}}) {
      if (!name.starts_with(preset.Found) && name != "MBR" && name != "GPT") continue;
      const std::string found = Json(with({"find", "--all", source_, preset.Name}));
      for (const std::string& s : Jq(found, "[.matches[].sector] | unique | " + std::string(preset.Taken) + " | .[]")) {
        sectors.insert(s);
      }
    }
    return sectors;
  }

  // Every command on the drive `prefix` picks; `searched` as in SectorsOf.
  void RunEveryCommand(const std::vector<std::string>& prefix, const std::string& map, bool searched) {
    const auto with = [&](std::vector<std::string> args) {
      args.insert(args.begin(), prefix.begin(), prefix.end());
      return args;
    };
    const std::set<std::string> sectors = SectorsOf(prefix, searched);
    for (const std::string& sector : sectors) {
      Json(with({"record", source_, sector}));
      Json(with({"fields", source_, sector}));
    }
    Json(with({"fields", "--compare-backup", source_}));
    if (searched) Json(with({"find", source_, "text:README"}));
    for (const auto& [kind, number] : {std::pair{"cluster", "2"}, std::pair{"mft-record", "5"}, std::pair{"inode", "2"},
                                       std::pair{"block", "1"}}) {
      Json(with({"locate", source_, kind, number}));
    }
    std::vector<std::string> owner = with({"owner", source_});
    owner.insert(owner.end(), sectors.begin(), sectors.end());
    Json(owner);
    Json(with({"damaged", source_, map}));
  }

  // A ddrescue map of the whole source with two bad areas: sectors 2-3 and 4 KiB in the
  // middle.
  std::string Map() {
    const uint64_t size = fs::file_size(source_);
    const uint64_t middle = size / 2 / 4096 * 4096;
    std::ostringstream map;
    map << std::hex << "# Mapfile. Created by GNU ddrescue\n0x0 + 1\n"
        << "0x0 0x400 +\n0x400 0x400 -\n0x800 0x" << middle - 0x800 << " +\n0x" << middle << " 0x1000 *\n0x"
        << middle + 0x1000 << " 0x" << size - middle - 0x1000 << " +\n";
    const fs::path file = dir_ / "rescue.map";
    std::ofstream(file) << map.str();
    return file.string();
  }

  std::string source_;
  fs::path dir_;
  std::string stream_;
  int documents_ = 0;
};

TEST_P(JsonSchemaTest, EveryCommandsJsonHasOneShapePerKindOfValue) {
  const std::string map = Map();
  Json({"drives", source_});
  // A partition's records are those of the volumes above; its drive is looked at for
  // what a partition changes (its sectors, its map of the whole disk).
  RunEveryCommand({}, map, true);
  for (const int partition : GetParam().Partitions) RunEveryCommand({"--partition", std::to_string(partition)}, map, false);
  EXPECT_GE(documents_, 10);

  const fs::path check = dir_ / "check.jq";
  std::ofstream(check) << kCheck;
  const fs::path stream = dir_ / "documents.json";
  std::ofstream(stream) << stream_;
  const testing::CommandResult result = testing::Run({"jq", "-n", "-c", "-f", check.string(), stream.string()});
  ASSERT_EQ(result.Status, 0) << "a document is no JSON: " << result.Err;
  EXPECT_EQ(Jq(result.Out, ".faults[]"), std::vector<std::string>{});
  EXPECT_GT(std::stoi(Jq(result.Out, ".texts").at(0)), 0);
  if (GetParam().Times) {
    EXPECT_GT(std::stoi(Jq(result.Out, ".times").at(0)), 0) << "no time was looked at";
  }
}

INSTANTIATE_TEST_SUITE_P(Samples, JsonSchemaTest, ::testing::ValuesIn(kSamples), SampleName);

}  // namespace
}  // namespace korvalane
