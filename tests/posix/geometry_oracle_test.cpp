// The geometry the core reads from the sample images, checked against The Sleuth Kit's
// fsstat on the same images.
#include <gtest/gtest.h>

#include <cctype>
#include <regex>

#include "core/volume/DriveSelection.h"
#include "fixtures/Samples.h"
#include "platform/posix/PosixPlatform.h"

namespace korvalane {
namespace {

using testing::Run;
using testing::SamplePath;

// The first number (or the two ends of a range) after `label` in fsstat's report.
struct Fsstat {
  std::string text;

  uint64_t Number(const std::string& label) const {
    std::smatch match;
    const std::regex pattern(std::regex_replace(label, std::regex(R"([*()])"), R"(\$&)") + R"(\s*(\d+))");
    if (!std::regex_search(text, match, pattern)) ADD_FAILURE() << "fsstat has no '" << label << "'";
    return match.empty() ? 0 : std::stoull(match[1]);
  }
  // "label a - b" -> b - a + 1
  uint64_t RangeLength(const std::string& label) const {
    std::smatch match;
    const std::regex pattern(std::regex_replace(label, std::regex(R"([*()])"), R"(\$&)") + R"(\s*(\d+) - (\d+))");
    if (!std::regex_search(text, match, pattern)) ADD_FAILURE() << "fsstat has no range '" << label << "'";
    return match.empty() ? 0 : std::stoull(match[2]) - std::stoull(match[1]) + 1;
  }
  uint64_t RangeStart(const std::string& label) const {
    std::smatch match;
    const std::regex pattern(std::regex_replace(label, std::regex(R"([*()])"), R"(\$&)") + R"(\s*(\d+) - (\d+))");
    if (!std::regex_search(text, match, pattern)) ADD_FAILURE() << "fsstat has no range '" << label << "'";
    return match.empty() ? 0 : std::stoull(match[1]);
  }
  int Count(const std::string& pattern) const {
    const std::regex re(pattern);
    return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
  }
};

Fsstat RunFsstat(const std::string& image, uint32_t sectorSize) {
  std::vector<std::string> argv{"fsstat"};
  if (sectorSize != 512) argv.insert(argv.end(), {"-b", std::to_string(sectorSize)});
  argv.push_back(image);
  const testing::CommandResult result = Run(argv);
  EXPECT_EQ(result.Status, 0) << result.Err;
  return Fsstat{result.Out};
}

class GeometryOracleTest : public ::testing::TestWithParam<std::tuple<const char*, uint32_t>> {
 protected:
  void SetUp() override { Geometry() = VolumeGeometry{}; }
  void TearDown() override { SetPlatform(nullptr); }
};

TEST_P(GeometryOracleTest, FatGeometryMatchesFsstat) {
  const auto [name, sectorSize] = GetParam();
  PosixPlatform platform(DriveTable::FromSources({SamplePath(name)}, sectorSize));
  SetPlatform(&platform);
  SelectDrive("C:");
  const VolumeGeometry& g = Geometry();
  const Fsstat fsstat = RunFsstat(SamplePath(name), sectorSize);

  EXPECT_EQ(static_cast<uint64_t>(g.BytesPerSector), fsstat.Number("Sector Size:"));
  EXPECT_EQ(static_cast<uint64_t>(g.BytesPerCluster), fsstat.Number("Cluster Size:"));
  EXPECT_EQ(g.TotalSectors, fsstat.RangeLength("Total Range:"));
  EXPECT_EQ(static_cast<uint64_t>(g.ReservedSectors), fsstat.RangeLength("* Reserved:"));
  EXPECT_EQ(static_cast<uint64_t>(g.FatSectors), fsstat.RangeLength("* FAT 0:"));
  EXPECT_EQ(g.FatCopies, fsstat.Count(R"(\* FAT \d+:)"));
  EXPECT_EQ(static_cast<uint64_t>(g.StartDataSector), fsstat.RangeStart("* Data Area:"));
  if (g.FileSystemKind == FileSystemKind::Fat) {
    EXPECT_EQ(static_cast<uint64_t>(g.RootSectors), fsstat.RangeLength("** Root Directory:"));
  } else {
    EXPECT_EQ(g.FileSystemKind, FileSystemKind::Fat32);
    EXPECT_EQ(g.RootSectors, g.SectorsPerCluster);
  }
}

INSTANTIATE_TEST_SUITE_P(Samples, GeometryOracleTest,
                         ::testing::Values(std::make_tuple("fat12.img", 512u), std::make_tuple("fat16.img", 512u),
                                           std::make_tuple("fat32.img", 512u),
                                           std::make_tuple("fat16-2k.img", 2048u),
                                           std::make_tuple("fat16-4k.img", 4096u)),
                         [](const auto& info) {
                           std::string name = std::get<0>(info.param);
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

TEST(NtfsGeometryOracle, MatchesFsstat) {
  for (const auto& [name, sectorSize] : {std::make_tuple("ntfs.img", 512u), std::make_tuple("ntfs-4k.img", 4096u)}) {
    Geometry() = VolumeGeometry{};
    PosixPlatform platform(DriveTable::FromSources({SamplePath(name)}, sectorSize));
    SetPlatform(&platform);
    SelectDrive("C:");
    const VolumeGeometry& g = Geometry();
    const Fsstat fsstat = RunFsstat(SamplePath(name), sectorSize);
    EXPECT_EQ(g.FileSystemKind, FileSystemKind::Ntfs);
    EXPECT_EQ(static_cast<uint64_t>(g.BytesPerSector), fsstat.Number("Sector Size:")) << name;
    EXPECT_EQ(static_cast<uint64_t>(g.BytesPerCluster), fsstat.Number("Cluster Size:")) << name;
    EXPECT_EQ(g.TotalSectors, fsstat.RangeLength("Total Sector Range:")) << name;
    EXPECT_EQ(g.MftStartCluster, fsstat.Number("First Cluster of MFT:")) << name;
    EXPECT_EQ(g.Clusters, g.TotalSectors / static_cast<uint32_t>(g.SectorsPerCluster));
    SetPlatform(nullptr);
  }
}

}  // namespace
}  // namespace korvalane
