// korvalane-cli's text and hex views against the bytes blkcat reads from the same
// sectors, and the command's refusals and exit statuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "core/text/Utf.h"
#include "fixtures/Samples.h"

namespace korvalane {
namespace {

using testing::Lines;
using testing::Run;
using testing::RunCli;
using testing::CliPath;
using testing::SamplePath;

std::string Blkcat(const std::string& image, uint32_t sectorSize, uint64_t sector) {
  // blkcat addresses file-system units (clusters on these images); as a raw image with
  // units of one sector it reads exactly the sector.
  const auto result = Run({"blkcat", "-f", "raw", "-u", std::to_string(sectorSize), image, std::to_string(sector), "1"});
  EXPECT_EQ(result.Status, 0) << result.Err;
  return result.Out;
}

std::vector<std::string> SectorSizeArgs(uint32_t sectorSize) {
  return sectorSize == 512 ? std::vector<std::string>{} : std::vector<std::string>{"--sector-size", std::to_string(sectorSize)};
}

struct Sample {
  const char* image;
  uint32_t sectorSize;
  const char* sector;  // as typed
  uint64_t number;
};

const Sample kSamples[] = {
    {"fat16.img", 512, "0", 0},        {"fat16.img", 512, "$44", 68},   {"fat32.img", 512, "0x48E", 1166},
    {"ntfs.img", 512, "32", 32},       {"ntfs.img", 512, "x20", 32},    {"ntfs-4k.img", 4096, "4", 4},
    {"fat16-2k.img", 2048, "17", 17},  {"fat16-4k.img", 4096, "9", 9},  {"ntfs.img", 512, "32767", 32767},
};

TEST(CliViews, TextViewShowsTheSectorsBytes) {
  for (const Sample& s : kSamples) {
    SCOPED_TRACE(std::string(s.image) + " sector " + s.sector);
    std::vector<std::string> args{"text", SamplePath(s.image), s.sector};
    for (const auto& a : SectorSizeArgs(s.sectorSize)) args.push_back(a);
    const auto result = RunCli(args);
    ASSERT_EQ(result.Status, 0) << result.Err;
    const std::string bytes = Blkcat(SamplePath(s.image), s.sectorSize, s.number);
    ASSERT_EQ(bytes.size(), s.sectorSize);
    const std::vector<std::string> lines = Lines(result.Out);
    ASSERT_EQ(lines.size(), s.sectorSize / 64);
    // Into a pipe the view goes unchanged: every character is its byte, or a blank for 0 to 30.
    std::u16string shown;
    for (const std::string& line : lines) shown += FromUtf8(line);
    ASSERT_EQ(shown.size(), bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
      const auto byte = static_cast<uint8_t>(bytes[i]);
      ASSERT_EQ(shown[i], byte < 31 ? u' ' : char16_t{byte}) << "offset " << i;
    }
  }
}

TEST(CliViews, HexViewShowsTheSectorsBytes) {
  const std::regex entry(R"( *(\d+)\(\$([0-9A-F]{3,})\) ([0-9A-F]{2}) (.) \| )");
  for (const Sample& s : kSamples) {
    SCOPED_TRACE(std::string(s.image) + " sector " + s.sector);
    std::vector<std::string> args{"hex", SamplePath(s.image), s.sector};
    for (const auto& a : SectorSizeArgs(s.sectorSize)) args.push_back(a);
    const auto result = RunCli(args);
    ASSERT_EQ(result.Status, 0) << result.Err;
    const std::string bytes = Blkcat(SamplePath(s.image), s.sectorSize, s.number);
    const std::vector<std::string> lines = Lines(result.Out);
    ASSERT_EQ(lines.size(), s.sectorSize / 4);
    std::vector<bool> seen(bytes.size(), false);
    for (const std::string& line : lines) {
      // The character field can be any byte from 31 to 127; \x7F and \x1F are single bytes in UTF-8.
      size_t entries = 0;
      for (auto it = std::sregex_iterator(line.begin(), line.end(), entry); it != std::sregex_iterator(); ++it) {
        ++entries;
        const size_t offset = std::stoul(it->str(1));
        ASSERT_LT(offset, bytes.size());
        EXPECT_EQ(std::stoul(it->str(2), nullptr, 16), offset);
        EXPECT_EQ(std::stoul(it->str(3), nullptr, 16), static_cast<uint8_t>(bytes[offset])) << "offset " << offset;
        seen[offset] = true;
      }
      EXPECT_EQ(entries, 4u) << line;
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), static_cast<std::ptrdiff_t>(bytes.size()));
  }
}

TEST(CliViews, BadSectorsAndCommandLines) {
  const std::string fat16 = SamplePath("fat16.img");  // 32768 sectors
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {{"text", fat16, "abc"}, 2, ""},
      {{"text", fat16, "12x"}, 2, ""},
      {{"hex", fat16, "-1"}, 2, ""},
      {{"record", fat16, "32769"}, 2, ""},
      {{"hex", fat16, "4294967296"}, 2, ""},
      {{"text", fat16}, 2, ""},
      {{"text", fat16, "1", "2"}, 2, ""},
      {{"details"}, 2, ""},
      {{"details", fat16, "0"}, 2, ""},
      {{"hex", fat16, "0", "--sector-size", "1000"}, 2, ""},
      {{"text", "/nonexistent.img", "0"}, 2, ""},
      // The sector equal to the volume's count is accepted, and lies past the image's end.
      {{"text", fat16, "32768"}, 1, "Reading error\n"},
      {{"record", fat16, "$8000"}, 1, "Reading error\n"},
      // -0 and a sign are numbers.
      {{"record", fat16, "-0"}, 0, "This sector does not contain information about a file records\n"},
  };
  for (const Case& c : cases) {
    const auto result = RunCli(c.args);
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(result.Status, c.status) << joined;
    EXPECT_EQ(result.Out, c.out) << joined;
    if (c.status != 0) {
      EXPECT_EQ(std::count(result.Err.begin(), result.Err.end(), '\n'), 1) << joined << ": " << result.Err;
    }
  }
}

TEST(CliViews, UnknownVolumeHasTextAndHexButNoRecordOrDetails) {
  char path[] = "/tmp/korvalane-views-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  {
    std::ofstream out(path, std::ios::binary);
    out << std::string(64 * 512, 'Z');
  }
  // An unknown volume is browsable to its end: 64 sectors, the last one 63.
  const std::string sector = [] {
    std::string lines;
    for (int i = 0; i < 8; ++i) lines += std::string(64, 'Z') + "\n";
    return lines;
  }();
  EXPECT_EQ(RunCli({"text", path, "0"}).Out, sector);
  EXPECT_EQ(RunCli({"text", path, "63"}).Out, sector);
  EXPECT_EQ(RunCli({"hex", path, "1"}).Status, 0);
  EXPECT_EQ(RunCli({"hex", path, "65"}).Status, 2);
  // The record view stays empty, as the window's does; stderr says why.
  const auto record = RunCli({"record", path, "0"});
  EXPECT_EQ(record.Status, 0);
  EXPECT_EQ(record.Out, "");
  EXPECT_EQ(record.Err,
            "korvalane-cli: no file system Korvalane reads (FAT, exFAT, NTFS, ext2/3/4) was found on the volume, so "
            "it has no file records\n");
  const auto details = RunCli({"details", path});
  EXPECT_EQ(details.Status, 0);
  EXPECT_EQ(details.Out, "");
  close(fd);
  unlink(path);
}

TEST(CliViews, OnATerminalControlCharactersBecomePoints) {
  // A sector of CSI (0x9B, a C1 control a terminal may act on), 0x1F, DEL and "A".
  char path[] = "/tmp/korvalane-hostile-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  {
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < 128; ++i) out << "\x9B\x1F\x7F" "A";
  }
  const std::string command = CliPath() + " text " + path + " 0";
  // Into a pipe the characters go unchanged (U+009B is C2 9B in UTF-8) ...
  const auto piped = RunCli({"text", path, "0"});
  EXPECT_EQ(Lines(piped.Out).at(0).substr(0, 5), "\xC2\x9B\x1F\x7F" "A");
  // ... onto a terminal (script runs the command on a pseudo-terminal) they are points.
  const auto terminal = testing::Run({"script", "-qec", command, "/dev/null"});
  ASSERT_EQ(terminal.Status, 0) << terminal.Err;
  const std::vector<std::string> lines = Lines(terminal.Out);
  ASSERT_EQ(lines.size(), 8u);
  for (const std::string& line : lines) EXPECT_EQ(line, [] {
    std::string expected;
    for (int i = 0; i < 16; ++i) expected += "...A";
    return expected;
  }());
  close(fd);
  unlink(path);
}

}  // namespace
}  // namespace korvalane
