// korvalane-cli's NTFS file record reports and details of the sample images, checked
// against The Sleuth Kit's fls, istat and fsstat on the same images.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "fixtures/SampleImage.h"

namespace korvalane {
namespace {

using testing::Lines;
using testing::Cli;
using testing::Image;
using testing::Number;
using testing::Tsk;

// The report istat's description of a record leads to: the last $FILE_NAME's name and
// parent, the last $DATA attribute's residence, size and clusters.
struct Expected {
  std::string kind;  // "File" or "Folder"
  std::string name;
  uint64_t parent = 0;
  bool resident = false;
  uint64_t size = 0;
  std::vector<uint64_t> clusters;  // istat's list: 0 where it shows none
  std::string created;             // as the C locale prints it: MM/DD/YY HH:MM:SS; empty when
                                   // istat cannot show it
};

Expected FromIstat(const std::string& stat) {
  Expected e;
  e.kind = stat.find("Type: $INDEX_ROOT") != std::string::npos ||
                   stat.find("Type: $INDEX_ALLOCATION") != std::string::npos
               ? "Folder"
               : "File";
  const size_t names = stat.rfind("$FILE_NAME Attribute Values:");
  EXPECT_NE(names, std::string::npos);
  const std::string lastName = stat.substr(names);
  std::smatch m;
  if (std::regex_search(lastName, m, std::regex(R"(Name: ([^\n]*))"))) e.name = m[1];
  e.parent = Number(lastName, R"(Parent MFT Entry: (\d+))");
  // istat converts through a 32-bit time_t: it shows the Unix epoch as 0000-00-00 and wraps
  // earlier times (mkntfs gives its system files the FILETIME 0, 1601) past 2038.
  const std::regex created(
      R"(\$STANDARD_INFORMATION Attribute Values:[\s\S]*?Created:\t(\d\d\d\d)-(\d\d)-(\d\d) (\d\d:\d\d:\d\d))");
  if (std::regex_search(stat, m, created)) {
    const int year = std::stoi(m[1]);
    if (year >= 1970 && year < 2038) e.created = m.str(2) + "/" + m.str(3) + "/" + m.str(1).substr(2) + " " + m.str(4);
  }
  const size_t data = stat.rfind("Type: $DATA (");
  if (data != std::string::npos) {
    const std::string attribute = stat.substr(data, stat.find("\nType: ", data + 1) - data);
    e.resident = attribute.find("   Resident") != std::string::npos;
    e.size = Number(attribute, R"(size: (\d+))");
    const std::string list = attribute.substr(attribute.find('\n') + 1);
    const std::regex number(R"(\d+)");
    for (auto it = std::sregex_iterator(list.begin(), list.end(), number); it != std::sregex_iterator(); ++it) {
      e.clusters.push_back(std::stoull(it->str()));
    }
  }
  return e;
}

class NtfsViewsOracleTest : public ::testing::TestWithParam<Image> {
 protected:
  void SetUp() override { setenv("LC_ALL", "C", 1); }
};

TEST_P(NtfsViewsOracleTest, FileRecordReportsMatchIstat) {
  const Image image = GetParam();
  const std::string fsstat = Tsk(image, "fsstat");
  const uint64_t clusterBytes = Number(fsstat, R"(Cluster Size: (\d+))");
  const uint64_t recordBytes = Number(fsstat, R"(Size of MFT Entries: (\d+))");
  const uint64_t mftSector = Number(fsstat, R"(First Cluster of MFT: (\d+))") * clusterBytes / image.sectorSize;

  // The records of the files and folders fls finds, the MFT's own and the root's.
  std::set<uint64_t> records{0, 5};
  const std::regex entry(R"(^[-rdvV]/[-rdvV] (\* )?(\d+)-128-\d+:\t([^$][^\n]*)$)");
  for (const std::string& line : Lines(Tsk(image, "fls", {"-r"}))) {
    std::smatch m;
    if (std::regex_match(line, m, entry)) records.insert(std::stoull(m[2]));
  }
  ASSERT_GE(records.size(), 6u);  // at least the four files ntfscp copied

  for (const uint64_t record : records) {
    SCOPED_TRACE("MFT record " + std::to_string(record));
    const Expected e = FromIstat(Tsk(image, "istat", {std::to_string(record)}));
    const std::vector<std::string> report =
        Cli(image, {"record", std::to_string(mftSector + record * recordBytes / image.sectorSize)});
    ASSERT_GE(report.size(), 5u);
    if (record == 0) {
      EXPECT_EQ(report[4], "Date/Time 01/01/01 00:00:00");  // FILETIME 0: 1601-01-01
    }

    std::vector<std::string> head{e.kind + " " + e.name, "MFT record " + std::to_string(record),
                                  "Parent MFT record " + std::to_string(e.parent)};
    if (e.resident) head.push_back("Resident");
    head.push_back("File size " + std::to_string(e.size) + " b");
    if (!e.created.empty()) head.push_back("Date/Time " + e.created);
    EXPECT_EQ(std::vector<std::string>(report.begin(), report.begin() + static_cast<std::ptrdiff_t>(head.size())),
              head);

    // The runs, expanded, against istat's cluster list (which shows 0 past the initialised
    // data); resident data and folders have none.
    std::vector<uint64_t> clusters;
    const std::regex run(R"(^(\d+) - (\d+)$)");
    bool inRuns = false;
    for (size_t i = 5; i < report.size(); ++i) {
      if (report[i] == "Start cluster - clusters count:") {
        inRuns = true;
        EXPECT_EQ(report[i - 1], "");
        continue;
      }
      std::smatch m;
      if (inRuns && std::regex_match(report[i], m, run)) {
        for (uint64_t c = 0; c < std::stoull(m[2]); ++c) clusters.push_back(std::stoull(m[1]) + c);
      }
    }
    if (e.resident || e.clusters.empty()) {
      EXPECT_FALSE(inRuns);
    } else {
      ASSERT_EQ(clusters.size(), e.clusters.size());
      for (size_t i = 0; i < clusters.size(); ++i) {
        if (e.clusters[i] != 0) {
          EXPECT_EQ(clusters[i], e.clusters[i]) << "cluster " << i;
        }
      }
    }
  }
}

TEST_P(NtfsViewsOracleTest, DetailsMatchFsstatAndTheMftsOwnRuns) {
  const Image image = GetParam();
  const std::string fsstat = Tsk(image, "fsstat");
  const uint64_t mftCluster = Number(fsstat, R"(First Cluster of MFT: (\d+))");
  const std::vector<std::string> mftClusters = [&] {
    const std::string stat = Tsk(image, "istat", {"0"});
    const size_t data = stat.find("Type: $DATA (");
    const std::string list = stat.substr(stat.find('\n', data) + 1, stat.find("\nType: ", data + 1) - stat.find('\n', data));
    std::vector<std::string> numbers;
    const std::regex number(R"(\d+)");
    for (auto it = std::sregex_iterator(list.begin(), list.end(), number); it != std::sregex_iterator(); ++it) {
      numbers.push_back(it->str());
    }
    return numbers;
  }();
  const uint64_t clusterBytes = Number(fsstat, R"(Cluster Size: (\d+))");

  const std::vector<std::string> expected{
      "Drive C:\\, NTFS",
      "Bytes per sector - " + std::to_string(image.sectorSize),
      "Bytes per cluster - " + std::to_string(clusterBytes),
      "Sectors per cluster - " + std::to_string(clusterBytes / image.sectorSize),
      "Sectors - " + std::to_string(Number(fsstat, R"(Total Sector Range: 0 - (\d+))") + 1),
      "Clusters - " + std::to_string(Number(fsstat, R"(Total Cluster Range: 0 - (\d+))") + 1),
      "Start MFT cluster - " + std::to_string(mftCluster),
      "MFT clusters - " + std::to_string(mftClusters.size()),
      "Bytes per record MFT - " + std::to_string(Number(fsstat, R"(Size of MFT Entries: (\d+))")),
      "MFT parts - 1",
      "",
      "MFT cluster - clusters count:",
      std::to_string(mftCluster) + " - " + std::to_string(mftClusters.size()),
  };
  EXPECT_EQ(Cli(image, {"details"}), expected);
  ASSERT_FALSE(mftClusters.empty());
  EXPECT_EQ(mftClusters.front(), std::to_string(mftCluster));
}

INSTANTIATE_TEST_SUITE_P(Samples, NtfsViewsOracleTest,
                         ::testing::Values(Image{"ntfs.img", 512}, Image{"ntfs-4k.img", 4096}),
                         [](const auto& info) { return info.param.sectorSize == 512 ? "ntfs" : "ntfs_4k"; });

}  // namespace
}  // namespace korvalane
