// korvalane-cli extract on FAT and NTFS sample images: live files byte for byte as The
// Sleuth Kit's icat reads them and with istat's times; on FAT deleted files from their
// first cluster, hostile names kept inside the destination, a ddrescue map's bad bytes
// as zeros.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "core/fs/luks/LuksJson.h"
#include "fixtures/ExtractFiles.h"
#include "fixtures/SampleImage.h"

namespace korvalane {
namespace {

namespace fs = std::filesystem;
using luks::JsonValue;
using testing::CommandResult;
using testing::FreshFolder;
using testing::ReadAll;
using testing::Image;
using testing::Lines;
using testing::RunCli;
using testing::SamplePath;
using testing::Tsk;


// Runs extract with --report and gives the report's files by their source path.
struct Extracted {
  CommandResult Result;
  JsonValue Report;
  std::map<std::string, const JsonValue*> BySource;
};

void RunExtract(const std::vector<std::string>& args, const fs::path& destination, Extracted& out) {
  const fs::path report = destination.string() + ".json";
  std::vector<std::string> argv{"extract", "--report", report.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(destination.string());
  out.Result = RunCli(argv);
  const luks::JsonParse parsed = luks::ParseJson(ReadAll(report));
  ASSERT_TRUE(parsed.Value) << parsed.Problem << "\n" << out.Result.Err;
  out.Report = *parsed.Value;
  const JsonValue* files = out.Report.Find("files");
  ASSERT_NE(files, nullptr);
  for (const JsonValue& file : files->Items) out.BySource[*file.TextOf("source")] = &file;
}

// fls -r -p -u: every live file's path and inode (directories and virtual files left out).
std::map<std::string, std::string> LiveFiles(const Image& image) {
  std::map<std::string, std::string> files;
  const std::regex line(R"(^r/r (\d+(?:-\d+-\d+)?):\t(.*)$)");
  for (const std::string& text : Lines(Tsk(image, "fls", {"-r", "-p", "-u"}))) {
    std::smatch m;
    if (std::regex_match(text, m, line) && text.find("(Volume Label Entry)") == std::string::npos &&
        m[2].str().front() != '$') {
      files["/" + m[2].str()] = m[1];
    }
  }
  return files;
}

class ExtractLiveTest : public ::testing::TestWithParam<Image> {};

TEST_P(ExtractLiveTest, LiveFilesEqualIcatAndKeepIstatsTimes) {
  const Image image = GetParam();
  const fs::path out = FreshFolder(image.name);
  Extracted extracted;
  RunExtract({"--tree", SamplePath(image.name), "/"}, out, extracted);
  EXPECT_EQ(extracted.Result.Status, 0) << extracted.Result.Err;
  const std::map<std::string, std::string> live = LiveFiles(image);
  ASSERT_GE(live.size(), 4u);
  for (const auto& [path, inode] : live) {
    SCOPED_TRACE(path);
    const fs::path written = out / fs::path(path).relative_path();
    ASSERT_TRUE(fs::is_regular_file(written));
    EXPECT_EQ(ReadAll(written), Tsk(image, "icat", {inode}));
    const std::string istat = Tsk(image, "istat", {inode});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(istat, m, std::regex(R"((?:Written|File Modified):\t(\d{4}-\d\d-\d\d) (\d\d:\d\d:\d\d))")));
    struct stat st {};
    ASSERT_EQ(stat(written.c_str(), &st), 0);
    char shown[32];
    std::strftime(shown, sizeof shown, "%Y-%m-%d %H:%M:%S", gmtime(&st.st_mtime));
    EXPECT_EQ(shown, m[1].str() + " " + m[2].str());
    const JsonValue* file = extracted.BySource.at(path);
    EXPECT_EQ(*file->TextOf("grade"), "exact");
    EXPECT_EQ(file->Find("unreadable")->Items.size(), 0u);
    // The digest taken while writing is that of the file's bytes.
    const CommandResult sum = testing::Run({"sha256sum", written.string()});
    EXPECT_EQ(*file->TextOf("sha256"), sum.Out.substr(0, 64));
  }
  // The file that made the image, and a folder's file below it (on NTFS only where the
  // machine let make-samples mount the volume to make the folder).
  EXPECT_EQ(ReadAll(out / "BIG.DAT"), testing::Seq(150000));
  if (live.count("/DOCS/notes about disks.txt") != 0) {
    EXPECT_EQ(ReadAll(out / "DOCS" / "notes about disks.txt"), "Notes on raw sectors.\r\n");
  }
  // Deleted files stay behind without --deleted.
  EXPECT_FALSE(fs::exists(out / "deleted file.txt"));
  fs::remove_all(out);
}

INSTANTIATE_TEST_SUITE_P(Samples, ExtractLiveTest,
                         ::testing::Values(Image{"fat12.img", 512}, Image{"fat16.img", 512}, Image{"fat32.img", 512},
                                           Image{"fat16-4k.img", 4096}, Image{"ntfs.img", 512},
                                           Image{"ntfs-4k.img", 4096}),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           return std::regex_replace(name.substr(0, name.find('.')), std::regex("-"), "_");
                         });

TEST(ExtractFatDeleted, DeletedFilesFromTheirFirstCluster) {
  struct Case {
    const char* Image;
    const char* Path;
    std::string Original;
    const char* Grade;
    bool MustEqual;  // a guess may be wrong only where it says it is one
  };
  std::string pieces;
  for (int i = 1; pieces.size() < 3000; ++i) pieces += std::to_string(i) + "\n";
  pieces.resize(3000);
  const Case cases[] = {
      {"fat16.img", "/deleted file.txt", "gone\r\n", "exact", true},
      {"fat32.img", "/deleted file.txt", "gone\r\n", "exact", true},
      // The gap between its pieces is in use: skipping it gives the file back.
      {"fat-fragmented.img", "/deleted in two pieces.dat", pieces, "guessed", true},
      // The gap is free too: the guess reads it, and says so.
      {"fat-fragmented-freed.img", "/deleted in two pieces.dat", pieces, "guessed", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Image);
    const fs::path out = FreshFolder("deleted");
    Extracted extracted;
    RunExtract({"--deleted", SamplePath(c.Image), c.Path}, out, extracted);
    EXPECT_EQ(extracted.Result.Status, 0) << extracted.Result.Err;
    const fs::path written = out / fs::path(c.Path).filename();
    if (c.MustEqual) {
      EXPECT_EQ(ReadAll(written), c.Original);
    }
    EXPECT_EQ(fs::file_size(written), c.Original.size());
    const JsonValue* file = extracted.BySource.at(c.Path);
    EXPECT_EQ(*file->TextOf("grade"), c.Grade);
    EXPECT_EQ(file->Find("deleted")->Text, "true");
    fs::remove_all(out);
  }
  // A deleted NTFS record whose runs still stand, where make-samples could mount the
  // volume to delete a file on it (fls names it then).
  const Image ntfs{"ntfs.img", 512};
  if (Tsk(ntfs, "fls", {"-d"}).find("deleted file.txt") != std::string::npos) {
    const fs::path out = FreshFolder("ntfs-deleted");
    Extracted extracted;
    RunExtract({"--deleted", SamplePath("ntfs.img"), "/deleted file.txt"}, out, extracted);
    EXPECT_EQ(extracted.Result.Status, 0) << extracted.Result.Err;
    EXPECT_EQ(ReadAll(out / "deleted file.txt"), "gone\r\n");
    EXPECT_EQ(*extracted.BySource.at("/deleted file.txt")->TextOf("grade"), "chain intact");
    fs::remove_all(out);
  }
  // Without --deleted the deleted file is not found.
  const fs::path out = FreshFolder("not-deleted");
  const CommandResult plain = RunCli({"extract", SamplePath("fat16.img"), "/deleted file.txt", out.string()});
  EXPECT_EQ(plain.Status, 1);
  EXPECT_FALSE(fs::exists(out / "deleted file.txt"));
  fs::remove_all(out);
}

// Patches bytes of a copy of an image.
void Patch(const fs::path& image, uint64_t at, const std::string& bytes) {
  std::fstream f(image, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(at));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST(ExtractFatNames, HostileNamesStayInsideTheDestination) {
  const fs::path work = FreshFolder("names");
  fs::create_directories(work);
  const fs::path image = work / "hostile.img";
  fs::copy_file(SamplePath("fat16.img"), image);
  Extracted listed;
  RunExtract({image.string(), "/"}, work / "first", listed);
  const auto record = [&](const std::string& path) {
    return std::stoull(listed.BySource.at(path)->TextOf("record")->substr(24));
  };
  // README.TXT's short name (it has no long one) holds a "/".
  Patch(image, record("/README.TXT"), "A/B     TXT");
  // The long names' first parts (the slot just before the short entry): ".." and its end
  // mark; "/" and an escape character.
  Patch(image, record("/Quarterly report.txt") - 32 + 1, std::string(".\0.\0\0\0", 6));
  Patch(image, record("/Отчёт за май.txt") - 32 + 1, std::string("/\0\x1b\0", 4));
  const fs::path out = work / "out";
  Extracted extracted;
  RunExtract({image.string(), "/"}, out, extracted);
  EXPECT_EQ(extracted.Result.Status, 0) << extracted.Result.Err;
  EXPECT_EQ(ReadAll(out / "A%2FB.TXT"), "Korvalane sample volume.\r\n");
  EXPECT_EQ(fs::file_size(out / "%2E%2E"), 720u);
  EXPECT_EQ(ReadAll(out / "%2F%1Bчёт за май.txt"), "Кириллица в длинном имени.\r\n");
  // Nothing was written beside the destination.
  for (const auto& entry : fs::directory_iterator(work)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "hostile.img" || name == "first" || name == "first.json" || name == "out" ||
                name == "out.json")
        << name;
  }
  const JsonValue* renamed = extracted.Report.Find("renamed");
  ASSERT_EQ(renamed->Items.size(), 3u);
  EXPECT_NE(extracted.Result.Err.find("written as %2E%2E"), std::string::npos) << extracted.Result.Err;
  fs::remove_all(work);
}

TEST(ExtractFatOverwrite, AnExistingFileIsReplacedOnlyWithForce) {
  const fs::path out = FreshFolder("force");
  fs::create_directories(out);
  std::ofstream(out / "README.TXT") << "mine";
  const CommandResult refused = RunCli({"extract", SamplePath("fat16.img"), "/README.TXT", out.string()});
  EXPECT_EQ(refused.Status, 1);
  EXPECT_NE(refused.Err.find("--force"), std::string::npos) << refused.Err;
  EXPECT_EQ(ReadAll(out / "README.TXT"), "mine");
  const CommandResult forced = RunCli({"extract", "--force", SamplePath("fat16.img"), "/README.TXT", out.string()});
  EXPECT_EQ(forced.Status, 0) << forced.Err;
  EXPECT_EQ(ReadAll(out / "README.TXT"), "Korvalane sample volume.\r\n");
  // The image itself is never a destination's file.
  const CommandResult source = RunCli({"extract", SamplePath("fat16.img"), "/README.TXT", SamplePath("fat16.img")});
  EXPECT_EQ(source.Status, 2);
  fs::remove_all(out);
}

TEST(ExtractFatMap, BadSectorsOfAMapAreZerosAndListed) {
  const fs::path work = FreshFolder("map");
  fs::create_directories(work);
  Extracted listed;
  RunExtract({SamplePath("fat16.img"), "/"}, work / "first", listed);
  const auto firstSector = [&](const std::string& path) {
    return std::stoull(listed.BySource.at(path)->Find("runs")->Items.at(0).Find("firstSector")->Text);
  };
  // One bad sector in each of two files: BIG.DAT's third sector, the report's first.
  const uint64_t big = (firstSector("/BIG.DAT") + 2) * 512;
  const uint64_t quarterly = firstSector("/Quarterly report.txt") * 512;
  const uint64_t end = fs::file_size(SamplePath("fat16.img"));
  ASSERT_LT(quarterly, big);
  const fs::path map = work / "rescue.map";
  std::ofstream(map) << "# Mapfile\n0x0 + 1\n"
                     << "0x0 " << quarterly << " +\n"
                     << quarterly << " 512 -\n"
                     << quarterly + 512 << " " << big - quarterly - 512 << " +\n"
                     << big << " 512 *\n"
                     << big + 512 << " " << end - big - 512 << " +\n";
  const fs::path out = work / "out";
  Extracted extracted;
  RunExtract({"--map", map.string(), SamplePath("fat16.img"), "/"}, out, extracted);
  EXPECT_EQ(extracted.Result.Status, 1);
  std::string bigExpected = ReadAll(work / "first" / "BIG.DAT");
  std::fill_n(bigExpected.begin() + 1024, 512, '\0');
  EXPECT_EQ(ReadAll(out / "BIG.DAT"), bigExpected);
  EXPECT_EQ(ReadAll(out / "Quarterly report.txt"), std::string(512, '\0') + ReadAll(work / "first" / "Quarterly report.txt").substr(512));
  const auto unreadable = [&](const std::string& path) {
    const JsonValue& range = extracted.BySource.at(path)->Find("unreadable")->Items.at(0);
    return std::make_pair(uint64_t{std::stoull(range.Find("fileByte")->Text)},
                          uint64_t{std::stoull(range.Find("length")->Text)});
  };
  EXPECT_EQ(unreadable("/BIG.DAT"), std::make_pair(uint64_t{1024}, uint64_t{512}));
  EXPECT_EQ(unreadable("/Quarterly report.txt"), std::make_pair(uint64_t{0}, uint64_t{512}));
  EXPECT_EQ(extracted.BySource.at("/README.TXT")->Find("unreadable")->Items.size(), 0u);
  EXPECT_EQ(ReadAll(out / "README.TXT"), "Korvalane sample volume.\r\n");
  fs::remove_all(work);
}

}  // namespace
}  // namespace korvalane

namespace korvalane {
namespace {

TEST(ExtractFatWhat, ByASectorItUsesAndByItsDirectoryEntry) {
  const fs::path work = FreshFolder("what");
  Extracted listed;
  RunExtract({SamplePath("fat16.img"), "/"}, work / "first", listed);
  const JsonValue* big = listed.BySource.at("/BIG.DAT");
  // A sector inside BIG.DAT, as owner names it, and README.TXT's entry as the report numbers it.
  const std::string sector = std::to_string(std::stoull(big->Find("runs")->Items.at(0).Find("firstSector")->Text) + 5);
  const std::string readme = listed.BySource.at("/README.TXT")->TextOf("record")->substr(24);
  const CommandResult owner = RunCli({"owner", SamplePath("fat16.img"), sector});
  EXPECT_NE(owner.Out.find("/BIG.DAT"), std::string::npos) << owner.Out;
  const CommandResult result =
      RunCli({"extract", SamplePath("fat16.img"), "sector", sector, "record", readme, (work / "out").string()});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_EQ(ReadAll(work / "out" / "BIG.DAT"), ReadAll(work / "first" / "BIG.DAT"));
  EXPECT_EQ(ReadAll(work / "out" / "README.TXT"), "Korvalane sample volume.\r\n");
  // A record where no entry starts is refused, and so is a word that names nothing.
  EXPECT_EQ(RunCli({"extract", SamplePath("fat16.img"), "record", "7", (work / "none").string()}).Status, 1);
  EXPECT_EQ(RunCli({"extract", SamplePath("fat16.img"), "README.TXT", (work / "none").string()}).Status, 2);
  fs::remove_all(work);
}

}  // namespace
}  // namespace korvalane
