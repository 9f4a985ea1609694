// korvalane-cli hash and verify against the system's own tools: the digests of a sector
// range equal md5sum, sha1sum and sha256sum of the bytes dd reads, on both sides of the
// one-read limit and through a partition; verify reads an EnCase image as ewfverify does,
// a sound one and one with a chunk whose bytes no longer match their checksum. Names that
// need escaping are written as sha256sum --tag writes them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "core/hash/Digest.h"
#include "fixtures/Samples.h"

namespace korvalane {
namespace {

namespace fs = std::filesystem;
using testing::CommandResult;
using testing::RunCli;
using testing::SamplePath;

// The digest the tool prints for dd's bytes of sectors [skip, skip + count).
std::string DdDigest(const std::string& tool, const std::string& image, uint64_t skip, uint64_t count) {
  const CommandResult result = testing::Run({"sh", "-c",
                                    "dd if='" + image + "' bs=512 skip=" + std::to_string(skip) +
                                        " count=" + std::to_string(count) + " status=none | " + tool});
  EXPECT_EQ(result.Status, 0) << result.Err;
  return result.Out.substr(0, result.Out.find(' '));
}

// The value of "NAME (...) = HEX" lines, by NAME.
std::string Digest(const std::string& out, const std::string& name) {
  std::smatch match;
  if (!std::regex_search(out, match, std::regex("^" + name + " \\([^\\n]*\\) = ([0-9a-f]+)$", std::regex::multiline))) return {};
  return match[1];
}

TEST(HashTest, DigestsEqualThoseOfDdsBytes) {
  struct Case {
    std::string Image;
    std::vector<std::string> Options;  // --partition
    uint64_t ImageSkip;                // where the drive's sector 0 lies in the image
    uint64_t Start;
    uint64_t End;
  };
  const std::vector<Case> cases = {
      {"fat32.img", {}, 0, 0, 1},              // one sector
      {"fat32.img", {}, 0, 17, 4113},          // one read, not on a chunk's edge
      {"disk-mbr.img", {}, 0, 0, 131072},      // past the one-read limit: 1 MiB chunks
      {"disk-mbr.img", {"--partition", "2"}, 34816, 1000, 32767},  // a partition's own sectors
      {"fat32.img", {}, 0, 5, 5},              // an empty range
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Image + " " + std::to_string(c.Start) + "-" + std::to_string(c.End));
    std::vector<std::string> args = {"hash", "--md5", "--sha1", "--sha256"};
    args.insert(args.end(), c.Options.begin(), c.Options.end());
    args.insert(args.end(), {SamplePath(c.Image), std::to_string(c.Start), std::to_string(c.End)});
    const CommandResult result = RunCli(args);
    ASSERT_EQ(result.Status, 0) << result.Err;
    EXPECT_EQ(result.Err, "");
    const uint64_t skip = c.ImageSkip + c.Start;
    const uint64_t count = c.End - c.Start;
    EXPECT_EQ(Digest(result.Out, "MD5"), DdDigest("md5sum", SamplePath(c.Image), skip, count));
    EXPECT_EQ(Digest(result.Out, "SHA1"), DdDigest("sha1sum", SamplePath(c.Image), skip, count));
    EXPECT_EQ(Digest(result.Out, "SHA256"), DdDigest("sha256sum", SamplePath(c.Image), skip, count));
  }
  // SHA-256 alone by default; the range checked as export checks it.
  const CommandResult plain = RunCli({"hash", SamplePath("fat12.img"), "0", "8"});
  EXPECT_EQ(plain.Out, "SHA256 (" + SamplePath("fat12.img") + ", sectors 0-8) = " +
                           DdDigest("sha256sum", SamplePath("fat12.img"), 0, 8) + "\n");
  // A partition's sectors count from its own first sector: the line names it.
  const CommandResult partition = RunCli({"hash", "--partition", "2", SamplePath("disk-mbr.img"), "0", "8"});
  EXPECT_EQ(partition.Out, "SHA256 (" + SamplePath("disk-mbr.img") + ", partition 2, sectors 0-8) = " +
                               DdDigest("sha256sum", SamplePath("disk-mbr.img"), 34816, 8) + "\n");
  EXPECT_EQ(RunCli({"hash", SamplePath("fat12.img"), "9", "8"}).Err, "korvalane-cli: Invalid sectors range!\n");
  EXPECT_EQ(RunCli({"hash", SamplePath("fat12.img"), "0", "99999999"}).Status, 2);
}

// A name with a backslash, a newline or a carriage return is escaped as md5sum, sha1sum
// and sha256sum --tag escape it (the tools are the oracle, byte for byte), and
// sha256sum -c reads an export's line back; hash names a source so too.
TEST(HashTest, NamesAreEscapedAsShaSumEscapesThem) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("korvalane-names-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::vector<std::pair<DigestKind, std::string>> tools = {
      {DigestKind::Md5, "md5sum"}, {DigestKind::Sha1, "sha1sum"}, {DigestKind::Sha256, "sha256sum"}};
  for (const std::string name : {"back\\slash.img", "new\nline.img", "cr\r and \\n.img", "plain (1).img"}) {
    SCOPED_TRACE(name);
    const std::string path = (dir / name).string();
    const CommandResult exported = RunCli({"export", "--sha256", SamplePath("fat12.img"), "0", "8", path});
    ASSERT_EQ(exported.Status, 0) << exported.Err;
    for (const auto& [kind, tool] : tools) {
      const CommandResult tagged = testing::Run({tool, "--tag", path});
      EXPECT_EQ(DigestLine(kind, path, DdDigest(tool, path, 0, 8)) + "\n", tagged.Out);
    }
    // The digest line, the last; the saved file's name above it is printed raw.
    const std::string line = exported.Out.substr(exported.Out.rfind('\n', exported.Out.rfind("SHA256 (")) + 1);
    std::ofstream(dir / "sums") << line;
    const CommandResult checked = testing::Run({"sha256sum", "-c", (dir / "sums").string()});
    EXPECT_EQ(checked.Status, 0) << line << checked.Out << checked.Err;
    EXPECT_EQ(RunCli({"hash", path, "0", "8"}).Out,
              DigestLine(DigestKind::Sha256, path + ", sectors 0-8", DdDigest("sha256sum", path, 0, 8)) + "\n");
  }
  fs::remove_all(dir);
}

class VerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / ("korvalane-verify-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // ewfverify's lines that korvalane-cli verify prints the same: the hashes, the verdict.
  static std::vector<std::string> HashLines(const std::string& out) {
    std::vector<std::string> lines;
    for (const std::string& line : testing::Lines(out)) {
      if (line.find(" hash ") != std::string::npos) lines.push_back(line);
      if (line.ends_with("SUCCESS") || line.ends_with("FAILURE")) lines.push_back(line.substr(line.find(": ") + 2));
    }
    return lines;
  }

  fs::path dir_;
};

TEST_F(VerifyTest, AgreesWithEwfverify) {
  const std::vector<std::string> segments = {"disk.E01", "disk.E02", "disk.E03", "disk.E04"};
  for (const std::string& segment : segments) fs::copy_file(SamplePath("containers/" + segment), dir_ / segment);
  const std::string image = (dir_ / "disk.E01").string();

  const CommandResult sound = RunCli({"verify", image});
  EXPECT_EQ(sound.Status, 0) << sound.Err;
  const CommandResult oracle = testing::Run({"ewfverify", "-q", image});
  EXPECT_EQ(HashLines(sound.Out), HashLines(oracle.Out));
  EXPECT_NE(sound.Out.find("verify: SUCCESS\n"), std::string::npos);

  // 64 bytes of one stored chunk changed (as in the containers' test): both tools name
  // the chunk's sectors, hash the bytes the chunk now holds, and fail.
  std::string bytes;
  {
    std::ifstream in(image, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  const size_t sectors = bytes.find(std::string("sectors") + std::string(9, '\0'));
  ASSERT_NE(sectors, std::string::npos);
  for (size_t i = 0; i < 64; ++i) bytes[sectors + 76 + 300000 + i] ^= 0x5A;
  std::ofstream(image, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const CommandResult damaged = RunCli({"verify", image});
  const CommandResult damagedOracle = testing::Run({"ewfverify", "-q", image});
  EXPECT_EQ(damaged.Status, 1);
  EXPECT_EQ(damagedOracle.Status, 1);
  EXPECT_EQ(HashLines(damaged.Out), HashLines(damagedOracle.Out));
  std::smatch oracleSectors;
  ASSERT_TRUE(std::regex_search(damagedOracle.Out, oracleSectors, std::regex(R"(at sector\(s\): (\d+) - (\d+))")))
      << damagedOracle.Out;
  EXPECT_NE(damaged.Out.find(" failed its checksum: sectors " + oracleSectors[1].str() + "-" + oracleSectors[2].str() + " "),
            std::string::npos)
      << damaged.Out;

  // An image that stores a SHA-1 too: both hashes compared.
  const std::string withSha1 = (dir_ / "sha1").string();
  ASSERT_EQ(testing::Run({"ewfacquire", "-u", "-q", "-t", withSha1, "-d", "sha1", "-c", "none", "-f", "encase6", "-C", "K",
                 "-D", "fat12", "-E", "1", "-e", "k", "-N", "n", SamplePath("fat12.img")})
                .Status,
            0);
  const CommandResult both = RunCli({"verify", withSha1 + ".E01"});
  EXPECT_EQ(both.Status, 0) << both.Out << both.Err;
  EXPECT_EQ(HashLines(both.Out), HashLines(testing::Run({"ewfverify", "-q", "-d", "sha1", withSha1 + ".E01"}).Out));
  EXPECT_NE(both.Out.find("SHA1 hash calculated over data:\t\t" + DdDigest("sha1sum", SamplePath("fat12.img"), 0, 8192)),
            std::string::npos)
      << both.Out;

  // Not an EnCase image.
  const CommandResult raw = RunCli({"verify", SamplePath("fat12.img")});
  EXPECT_EQ(raw.Status, 2);
  EXPECT_EQ(raw.Err, "korvalane-cli: verify: '" + SamplePath("fat12.img") + "' is not an EnCase image (E01)\n");
}

}  // namespace
}  // namespace korvalane
