// korvalane-cli find, locate and --json on the real sample images: planted patterns
// found forward and backward, the sector-aligned search against The Sleuth Kit's
// sigfind, the presets and locate against istat and fls (on a fragmented MFT too), bad
// input refused in one line, and the JSON documents read back by jq and compared with
// the text views.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "fixtures/Samples.h"

namespace korvalane {
namespace {

namespace fs = std::filesystem;
using testing::CommandResult;
using testing::Lines;
using testing::RunCli;
using testing::SamplePath;

std::vector<std::string> CliLines(const std::vector<std::string>& args, int status = 0) {
  const CommandResult result = RunCli(args);
  EXPECT_EQ(result.Status, status) << result.Err;
  return Lines(result.Out);
}

std::string Tool(const std::vector<std::string>& argv) {
  const CommandResult result = testing::Run(argv);
  EXPECT_EQ(result.Status, 0) << argv[0] << ": " << result.Err;
  return result.Out;
}

// A field of a JSON document, as jq prints it raw.
std::string Jq(const std::string& json, const std::string& filter) {
  const fs::path file = fs::path(::testing::TempDir()) / ("korvalane-jq-" + std::to_string(getpid()) + ".json");
  std::ofstream(file) << json;
  std::string out = Tool({"jq", "-r", filter, file.string()});
  fs::remove(file);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// The value after "LABEL - " in a report's lines.
std::string Field(const std::vector<std::string>& lines, const std::string& label) {
  for (const std::string& line : lines) {
    if (line.starts_with(label + " - ")) return line.substr(label.size() + 3);
  }
  ADD_FAILURE() << "no line " << label;
  return {};
}

// istat's first sector of a FAT file, and the data-run clusters it lists for an NTFS one.
std::vector<uint64_t> IstatNumbers(const std::string& image, const std::string& inode, const std::string& after) {
  const std::string out = Tool({"istat", image, inode});
  const size_t at = out.find(after);
  EXPECT_NE(at, std::string::npos) << out;
  std::vector<uint64_t> numbers;
  // The numbers of the lines after the heading line.
  std::string rest = at == std::string::npos ? "" : out.substr(out.find('\n', at) + 1);
  rest = rest.substr(0, rest.find("\nType:"));
  const std::regex number(R"(\b\d+\b)");
  for (auto it = std::sregex_iterator(rest.begin(), rest.end(), number); it != std::sregex_iterator(); ++it) {
    numbers.push_back(std::stoull(it->str()));
  }
  return numbers;
}

class FindTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / ("korvalane-find-" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(FindTest, PlantedPatternsAreFoundForwardAndBackward) {
  const std::string image = (dir_ / "planted.img").string();
  fs::copy_file(SamplePath("fat32.img"), image);
  const uint64_t size = fs::file_size(image);
  struct Plant {
    uint64_t at;
    const char* text;
  };
  const Plant plants[] = {{(1u << 20) - 5, "KORVALANE-NEEDLE"},  // across the first 1 MiB block
                          {(3u << 20) + 700, "korvalane-needle"},
                          {size - 16, "KORVALANE-NEEDLE"}};  // the last sector's last bytes
  {
    std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
    for (const Plant& p : plants) {
      file.seekp(static_cast<std::streamoff>(p.at));
      file << p.text;
    }
  }
  const auto at = [](uint64_t position) { return std::to_string(position / 512) + " " + std::to_string(position % 512); };
  EXPECT_EQ(CliLines({"find", "--all", image, "text:KORVALANE-NEEDLE"}),
            (std::vector<std::string>{at(plants[0].at), at(plants[2].at)}));
  EXPECT_EQ(CliLines({"find", "--all", "--ignore-case", image, "text:KORVALANE-NEEDLE"}),
            (std::vector<std::string>{at(plants[0].at), at(plants[1].at), at(plants[2].at)}));
  EXPECT_EQ(CliLines({"find", "--backward", image, "text:KORVALANE-NEEDLE"}), (std::vector<std::string>{at(plants[2].at)}));
  // Backward from the sector where the first plant starts: that sector is searched too.
  EXPECT_EQ(CliLines({"find", "--backward", "--from", std::to_string(plants[0].at / 512), image,
                      "hex:4B 4F 52 56 41 4C 41 4E 45"}),
            (std::vector<std::string>{at(plants[0].at)}));
  EXPECT_EQ(CliLines({"find", "--from", std::to_string(plants[0].at / 512 + 1), image, "text:KORVALANE-NEEDLE"}),
            (std::vector<std::string>{at(plants[2].at)}));
  EXPECT_EQ(CliLines({"find", image, "text:no such words here"}, 1), std::vector<std::string>{});
}

// Every match of a pattern that is everywhere, in either output form: all of them come
// out, complete and in order, and the process never holds them (a disk of a few GiB has
// billions): its peak memory stays that of a search with a handful of matches.
TEST_F(FindTest, EveryMatchIsWrittenNotKept) {
  constexpr uint64_t kBytes = uint64_t{4} << 20;  // 4 MiB of 0xFF: 4,194,304 matches of hex:FF
  const std::string image = (dir_ / "ff.img").string();
  std::ofstream(image, std::ios::binary) << std::string(kBytes, '\xFF');
  // Peak resident memory from /usr/bin/time, the output counted as it streams. The
  // baseline is the same search for a pattern found nowhere: a sanitizer build's own
  // overhead is in both figures.
  const auto peak = [&](const std::string& options, const std::string& pattern,
                        const std::string& count) -> std::pair<uint64_t, std::string> {
    const std::string command = "/usr/bin/time -f %M -o '" + (dir_ / "rss").string() + "' '" + testing::CliPath() +
                                "' find --all" + options + " '" + image + "' " + pattern + " | " + count;
    const CommandResult result = testing::Run({"sh", "-c", command});
    EXPECT_EQ(result.Status, 0) << result.Err;
    std::ifstream rss(dir_ / "rss");
    std::string line;
    std::getline(rss, line);
    // time's first line says "Command exited with non-zero status" when find found nothing.
    if (line.find("status") != std::string::npos) std::getline(rss, line);
    const uint64_t kib = std::strtoull(line.c_str(), nullptr, 10);
    EXPECT_GT(kib, 0u) << "/usr/bin/time gave no figure";
    return {kib, result.Out};
  };
  const uint64_t baseline = peak("", "text:nowhere", "cat").first;
  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "--json" : "lines");
    const auto [kib, out] = peak(json ? " --json" : "", "hex:FF", json ? "grep -c '\"sector\"'" : "tail -n 1");
    // The last line is the last byte's match; with --json, one object per match.
    EXPECT_EQ(out, json ? std::to_string(kBytes) + "\n" : std::to_string(kBytes / 512 - 1) + " 511\n");
    // 4 million matches kept would be 64 MiB and more above the baseline.
    EXPECT_LT(kib, baseline + (16u << 10)) << "peak resident memory " << kib << " KiB, baseline " << baseline << " KiB";
  }
}

TEST_F(FindTest, AlignedSearchAgreesWithSigfind) {
  for (const char* sample : {"ntfs.img", "ntfs-fragmented.img"}) {
    SCOPED_TRACE(sample);
    if (!fs::exists(SamplePath(sample))) GTEST_SKIP() << sample << " was not made (no FUSE here)";
    std::set<std::string> sigfind;
    const std::regex block(R"(Block: (\d+))");
    // sigfind ends with status 1 and "error reading" at the image's end.
    const std::string out = testing::Run({"sigfind", "-b", "512", "46494C45", SamplePath(sample)}).Out;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), block); it != std::sregex_iterator(); ++it) {
      sigfind.insert((*it)[1].str() + " 0");
    }
    ASSERT_GT(sigfind.size(), 16u);
    const std::vector<std::string> ours = CliLines({"find", "--all", "--aligned", "0", SamplePath(sample), "text:FILE"});
    EXPECT_EQ(std::set<std::string>(ours.begin(), ours.end()), sigfind);
    EXPECT_EQ(CliLines({"find", "--all", SamplePath(sample), "file-record"}), ours);
  }
}

TEST_F(FindTest, LocateAndThePresetsFindWhatIstatAndFlsSay) {
  // FAT: a file's first cluster, as the listing prints it, starts where istat's sectors do.
  const std::string fat16 = SamplePath("fat16.img");
  std::vector<std::smatch> files;
  const std::vector<std::string> listing = CliLines({"record", fat16, "68"});
  for (const std::string& line : listing) {
    std::smatch m;
    if (std::regex_search(line, m, std::regex(R"(^(README\.TXT|BIG\.DAT) .*cluster (\d+)$)"))) files.push_back(m);
  }
  // Both files are in the root directory's listing, or nothing below is checked.
  ASSERT_EQ(files.size(), 2u);
  for (const std::smatch& m : files) {
    const std::string fls = Tool({"fls", fat16});
    std::smatch inode;
    ASSERT_TRUE(std::regex_search(fls, inode, std::regex("(\\d+):\\t" + std::regex_replace(m[1].str(), std::regex("\\."), "\\."))));
    const std::vector<uint64_t> sectors = IstatNumbers(fat16, inode[1], "Sectors:");
    ASSERT_FALSE(sectors.empty());
    EXPECT_EQ(CliLines({"locate", fat16, "cluster", m[2]}), (std::vector<std::string>{std::to_string(sectors[0])}));
  }
  // FAT: the first sector of the folder DOCS is among the directory clusters found.
  const std::string fls = Tool({"fls", "-D", fat16});
  std::smatch docs;
  ASSERT_TRUE(std::regex_search(fls, docs, std::regex(R"((\d+):\tDOCS)")));
  const std::vector<uint64_t> docsSectors = IstatNumbers(fat16, docs[1], "Sectors:");
  ASSERT_FALSE(docsSectors.empty());
  const std::vector<std::string> clusters = CliLines({"find", "--all", fat16, "directory-cluster"});
  EXPECT_NE(std::find(clusters.begin(), clusters.end(), std::to_string(docsSectors[0]) + " 0"), clusters.end());

  // NTFS: the last cluster of BIG.DAT's runs is sector cluster x 8, and holds its last bytes.
  const std::string ntfs = SamplePath("ntfs.img");
  std::smatch big;
  const std::string ntfsList = Tool({"fls", ntfs});
  ASSERT_TRUE(std::regex_search(ntfsList, big, std::regex(R"((\d+)-128-\d+:\tBIG\.DAT)")));
  const std::vector<uint64_t> runs = IstatNumbers(ntfs, big[1], "$DATA (128-");
  ASSERT_FALSE(runs.empty());
  EXPECT_EQ(CliLines({"locate", ntfs, "cluster", std::to_string(runs.back())}),
            (std::vector<std::string>{std::to_string(runs.back() * 8)}));
}

TEST_F(FindTest, LocateOnExfatFindsWhatIstatSays) {
  // make-samples-exfat notes each image it could not make or fill, and why.
  std::ifstream notes(SamplePath("exfat-refused.txt"));
  for (std::string line; std::getline(notes, line);) {
    if (line.starts_with("exfat.img:")) GTEST_SKIP() << "this machine: " << line;
  }
  // A file's first cluster, in the cluster heap, starts where istat's sectors do.
  const std::string exfat = SamplePath("exfat.img");
  const std::string exfatList = Tool({"fls", exfat});
  std::smatch readme;
  ASSERT_TRUE(std::regex_search(exfatList, readme, std::regex(R"((\d+):\tREADME\.TXT)")));
  const std::string root = Field(CliLines({"details", exfat}), "Root directory sector");
  std::string cluster;
  for (const std::string& line : CliLines({"record", exfat, root})) {
    if (line.starts_with("README.TXT  ")) cluster = line.substr(line.rfind(' ') + 1);
  }
  ASSERT_FALSE(cluster.empty()) << "README.TXT is not in the root directory's listing";
  EXPECT_EQ(CliLines({"locate", exfat, "cluster", cluster}),
            (std::vector<std::string>{std::to_string(IstatNumbers(exfat, readme[1], "Sectors:").at(0))}));
}

TEST_F(FindTest, MftRecordsAreLocatedThroughAFragmentedMft) {
  const std::string image = SamplePath("ntfs-fragmented.img");
  if (!fs::exists(image)) GTEST_SKIP() << "ntfs-fragmented.img was not made: FUSE refused the ntfs-3g mount";
  // The MFT's clusters in order, as istat decodes MFT record 0's runs.
  const std::vector<uint64_t> mft = IstatNumbers(image, "0", "$DATA (128-1)");
  ASSERT_GT(mft.size(), 2u);
  const std::string size = Tool({"istat", image, "0"});
  std::set<uint64_t> pieces;
  for (size_t i = 1; i < mft.size(); ++i) pieces.insert(mft[i] != mft[i - 1] + 1 ? i : 0);
  ASSERT_GT(pieces.size(), 2u) << "the MFT is not fragmented";
  const std::string list = Tool({"fls", image});
  const std::regex file(R"((\d+)-128-\d+:\t(small\d+))");
  int checked = 0;
  for (auto it = std::sregex_iterator(list.begin(), list.end(), file); it != std::sregex_iterator(); ++it) {
    const uint64_t record = std::stoull((*it)[1]);
    const uint64_t byte = record * 1024;
    ASSERT_LT(byte / 4096, mft.size());
    const uint64_t expected = mft[byte / 4096] * 8 + byte % 4096 / 512;
    const std::vector<std::string> located = CliLines({"locate", image, "mft-record", std::to_string(record)});
    ASSERT_EQ(located, (std::vector<std::string>{std::to_string(expected)})) << (*it)[2];
    if (++checked % 25 == 0) {
      const std::vector<std::string> shown = CliLines({"record", image, located[0]});
      ASSERT_FALSE(shown.empty());
      EXPECT_EQ(shown[0], "File " + (*it)[2].str());
    }
  }
  EXPECT_GT(checked, 200);
}

TEST_F(FindTest, BadInputIsOneLineAndStatusTwo) {
  const std::string ntfs = SamplePath("ntfs.img");
  const std::string broken = (dir_ / "broken-runs.img").string();
  fs::copy_file(ntfs, broken);
  {
    // MFT record 0 (at sector 32) with its $DATA run list made to point far past the volume.
    std::fstream file(broken, std::ios::in | std::ios::out | std::ios::binary);
    std::string record(1024, '\0');
    file.seekg(32 * 512);
    file.read(record.data(), 1024);
    const size_t data = record.find(std::string("\x80\0\0\0", 4));
    ASSERT_NE(data, std::string::npos);
    const size_t runs = data + static_cast<unsigned char>(record[data + 32]);
    record.replace(runs, 5, std::string("\x31\x10\xFF\xFF\x7F", 5));
    file.seekp(32 * 512);
    file.write(record.data(), 1024);
  }
  const std::vector<std::vector<std::string>> cases = {
      {"find", ntfs, "hex:"},
      {"find", ntfs, "hex:4"},
      {"find", ntfs, "hex:zz"},
      {"find", ntfs, "FILE"},
      {"find", "--aligned", "500", ntfs, "text:FILEFILEFILEFILE"},
      {"find", "--from", "32768", ntfs, "text:FILE"},
      {"find", "--aligned", "0", ntfs, "file-record"},
      {"locate", ntfs, "cluster", "4095"},
      {"locate", SamplePath("fat16.img"), "cluster", "1"},
      {"locate", SamplePath("fat16.img"), "cluster", "8169"},  // fsstat: clusters 2 to 8168
      {"locate", ntfs, "mft-record", "100000"},
      {"locate", SamplePath("fat16.img"), "mft-record", "0"},
      {"locate", ntfs, "sector", "0"},
      {"locate", broken, "mft-record", "40"},
  };
  for (const std::vector<std::string>& args : cases) {
    std::string joined;
    for (const std::string& a : args) joined += a + " ";
    const CommandResult result = RunCli(args);
    EXPECT_EQ(result.Status, 2) << joined << result.Out;
    EXPECT_EQ(Lines(result.Err).size(), 1u) << joined << result.Err;
  }
  // The last cluster of each volume is accepted.
  EXPECT_EQ(CliLines({"locate", ntfs, "cluster", "4094"}), (std::vector<std::string>{"32752"}));
  EXPECT_EQ(CliLines({"locate", SamplePath("fat16.img"), "cluster", "8168"}), (std::vector<std::string>{"32764"}));
}

TEST_F(FindTest, JsonDocumentsSayWhatTheTextViewsSay) {
  for (const char* sample : {"fat16.img", "fat32.img", "ntfs.img", "disk-gpt.img"}) {
    SCOPED_TRACE(sample);
    const std::string image = SamplePath(sample);
    const std::vector<std::string> text = CliLines({"details", image});
    const std::string json = RunCli({"details", "--json", image}).Out;
    if (text[0].ends_with(", GPT")) {
      EXPECT_EQ(Jq(json, ".scheme"), "GPT");
      EXPECT_EQ(Jq(json, ".sectors"), Field(text, "Sectors"));
      EXPECT_EQ(Jq(json, "[.partitions[] | \"\\(.number) - \\(.firstSector) - \\(.lastSector) - \\(.sectors) - \\(.type)\"] | "
                         "join(\"|\")"),
                [&] {
                  std::string joined;
                  for (const std::string& line : text) {
                    if (!std::isdigit(static_cast<unsigned char>(line[0]))) continue;
                    joined += (joined.empty() ? "" : "|") + line.substr(0, line.find(' ', line.rfind(" - ") + 3));
                  }
                  return joined;
                }());
      continue;
    }
    EXPECT_EQ(Jq(json, ".bytesPerSector"), Field(text, "Bytes per sector"));
    EXPECT_EQ(Jq(json, ".sectors"), Field(text, "Sectors"));
    EXPECT_EQ(Jq(json, ".clusters"), Field(text, "Clusters"));
    if (std::string(sample) == "ntfs.img") {
      EXPECT_EQ(Jq(json, ".startMftCluster"), Field(text, "Start MFT cluster"));
      EXPECT_EQ(Jq(json, ".mft.bytesPerRecord"), Field(text, "Bytes per record MFT"));
      EXPECT_EQ(Jq(json, ".mft.extents[0] | \"\\(.startCluster) - \\(.clusters)\""), text.back());
    } else {
      EXPECT_EQ(Jq(json, ".startDataSector"), Field(text, "Start data sector"));
      EXPECT_EQ(Jq(json, ".fatType"), text[0].substr(text[0].rfind(' ') + 1));
    }
  }
  const std::string drives = RunCli({"drives", "--json", SamplePath("disk-mbr.img")}).Out;
  EXPECT_EQ(Jq(drives, ".drives | length"), "6");
  EXPECT_EQ(Jq(drives, ".drives[4].description"), SamplePath("disk-mbr.img") + ", partition 5 (sectors 69632-86015, FAT16 0x06)");
  EXPECT_EQ(Jq(drives, ".drives[1] | \"\\(.fileSystem), \\(.megabytes) Mb,\\(.sectors) sectors\""),
            CliLines({"drives", SamplePath("disk-mbr.img")})[1].substr(3, 26));
  const std::string found = RunCli({"find", "--json", "--all", SamplePath("ntfs.img"), "file-record"}).Out;
  EXPECT_EQ(Jq(found, "[.matches[] | \"\\(.sector) \\(.offset)\"] | join(\"|\")"), [&] {
    std::string joined;
    for (const std::string& line : CliLines({"find", "--all", SamplePath("ntfs.img"), "file-record"})) {
      joined += (joined.empty() ? "" : "|") + line;
    }
    return joined;
  }());
  EXPECT_EQ(Jq(RunCli({"locate", "--json", SamplePath("ntfs.img"), "mft-record", "5"}).Out, ".sector"),
            CliLines({"locate", SamplePath("ntfs.img"), "mft-record", "5"})[0]);
  // The listing and the record report, entry by entry.
  for (const auto& [sample, sector] : {std::pair<const char*, const char*>{"fat16.img", "68"}, {"fat32.img", "1166"}}) {
    const std::vector<std::string> text = CliLines({"record", SamplePath(sample), sector});
    const std::string json = RunCli({"record", "--json", SamplePath(sample), sector}).Out;
    EXPECT_EQ(Jq(json, ".entries | length"), std::to_string(text.size()));
    std::string lines;
    for (const std::string& line : text) lines += (lines.empty() ? "" : "\n") + line;
    EXPECT_EQ(Jq(json, "[.entries[] | \"\\(.name)  \\(.year)/\\(.month | tostring | if length < 2 then \"0\" + . else . end)/"
                       "\\(.day | tostring | if length < 2 then \"0\" + . else . end) \\(.hour | tostring | if length < 2 then \"0\" + . else . end):"
                       "\\(.minute | tostring | if length < 2 then \"0\" + . else . end), size \\(.size) b, cluster \\(.cluster)\"] | join(\"\\n\")"),
              lines);
  }
  const std::string record = RunCli({"record", "--json", SamplePath("ntfs.img"), "32"}).Out;
  const std::vector<std::string> report = CliLines({"record", SamplePath("ntfs.img"), "32"});
  EXPECT_EQ(Jq(record, "\"\\(.kind) \\(.name)\""), report[0]);
  EXPECT_EQ(Jq(record, "\"Parent MFT record \\(.parent)\""), report[2]);
  EXPECT_EQ(Jq(record, ".runs[0] | \"\\(.startCluster) - \\(.clusters)\""), report.back());

  // Nothing to show is an empty document, never an invalid one.
  EXPECT_EQ(Jq(RunCli({"details", "--json", "--partition", "3", SamplePath("disk-mbr.img")}).Out, "length"), "0");
  EXPECT_EQ(Jq(RunCli({"find", "--json", SamplePath("fat12.img"), "text:absent words"}).Out, ".matches | length"), "0");
}

}  // namespace
}  // namespace korvalane
