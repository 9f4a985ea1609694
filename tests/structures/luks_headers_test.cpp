// LUKS1 and LUKS2 volumes that cryptsetup luksFormat made (scripts/make-samples-luks):
// details, fields and --compare-backup against cryptsetup luksDump and its JSON metadata,
// the checksums against sha256sum, and a LUKS2 whose primary header was damaged.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "fixtures/Samples.h"

namespace korvalane::testing {
namespace {

namespace fs = std::filesystem;

std::string Trim(std::string text) {
  const size_t first = text.find_first_not_of(" \t");
  const size_t last = text.find_last_not_of(" \t");
  return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// cryptsetup repairs a damaged LUKS2 header from the other one when it opens a volume it
// can write, so it only ever reads copies of the samples.
std::string CopyForCryptsetup(const std::string& image) {
  const fs::path copy = fs::temp_directory_path() / ("korvalane-luks-dump-" + std::to_string(::getpid()) + ".img");
  fs::copy_file(image, copy, fs::copy_options::overwrite_existing);
  return copy.string();
}

CommandResult Cryptsetup(std::vector<std::string> argv, const std::string& image) {
  const std::string copy = CopyForCryptsetup(image);
  argv.insert(argv.begin(), "cryptsetup");
  argv.push_back(copy);
  CommandResult result = Run(argv);
  fs::remove(copy);
  return result;
}

// luksDump's "Name: value" lines, a value continued on the lines after it (salts and
// digests) joined with one blank; a key slot's lines keyed "Key Slot N/Name".
std::map<std::string, std::string> LuksDump(const std::string& image) {
  const CommandResult dump = Cryptsetup({"luksDump"}, image);
  EXPECT_EQ(dump.Status, 0) << dump.Err;
  std::map<std::string, std::string> values;
  std::string slot;
  std::string last;
  for (const std::string& line : Lines(dump.Out)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) {
      if (!last.empty() && !Trim(line).empty()) values[last] += " " + Trim(line);
      continue;
    }
    const std::string name = Trim(line.substr(0, colon));
    const std::string value = Trim(line.substr(colon + 1));
    if (name.starts_with("Key Slot ")) {
      slot = name;
      values[name] = value;
      last.clear();
      continue;
    }
    last = (line[0] == '\t' && !slot.empty() ? slot + "/" : "") + name;
    values[last] = value;
  }
  return values;
}

// The details report's "Label - value" lines.
std::map<std::string, std::string> Details(const std::string& image) {
  const CommandResult result = RunCli({"details", image});
  EXPECT_EQ(result.Status, 0) << result.Err;
  std::map<std::string, std::string> values;
  for (const std::string& line : Lines(result.Out)) {
    const size_t dash = line.find(" - ");
    if (dash != std::string::npos) values[line.substr(0, dash)] = line.substr(dash + 3);
  }
  return values;
}

std::string Jq(const std::string& json, const std::string& filter, const fs::path& dir) {
  const fs::path file = dir / "input.json";
  std::ofstream(file) << json;
  const CommandResult jq = testing::Run({"jq", "-cS", filter, file.string()});
  EXPECT_EQ(jq.Status, 0) << jq.Err;
  return jq.Out;
}

class LuksHeadersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("korvalane-luks-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(LuksHeadersTest, DrivesNameTheVersion) {
  for (const char* image : {"luks1.img", "luks2.img", "luks2-32k.img", "luks2-damaged.img"}) {
    const CommandResult result = RunCli({"drives", SamplePath(image)});
    ASSERT_EQ(result.Status, 0) << result.Err;
    const std::string expected = std::string(image).starts_with("luks1") ? "C: LUKS1, 4 Mb,8192 sectors" : "C: LUKS2, 4 Mb,8192 sectors";
    EXPECT_TRUE(result.Out.starts_with(expected)) << image << ": " << result.Out;
  }
}

TEST_F(LuksHeadersTest, Luks1HeaderAndKeySlotsAsLuksDumpReadsThem) {
  const std::string image = SamplePath("luks1.img");
  std::map<std::string, std::string> dump = LuksDump(image);
  std::map<std::string, std::string> details = Details(image);
  EXPECT_EQ(details["Version"], dump["Version"]);
  EXPECT_EQ(details["UUID"], dump["UUID"]);
  EXPECT_EQ(details["Cipher"], dump["Cipher name"]);
  EXPECT_EQ(details["Cipher mode"], dump["Cipher mode"]);
  EXPECT_EQ(details["Hash"], dump["Hash spec"]);
  EXPECT_EQ(details["Key size"], dump["MK bits"] + " bits");
  EXPECT_EQ(details["Payload offset"], dump["Payload offset"] + " sectors (" +
                                           std::to_string(std::stoull(dump["Payload offset"]) * 512) + " bytes)");
  EXPECT_EQ(details["Master key digest"], dump["MK digest"]);
  EXPECT_EQ(details["Master key salt"], dump["MK salt"]);
  EXPECT_EQ(details["Master key iterations"], dump["MK iterations"]);
  int enabled = 0;
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE("key slot " + std::to_string(i));
    const std::string slot = "Key Slot " + std::to_string(i);
    const std::string line = details["Key slot " + std::to_string(i)];
    if (dump[slot] == "DISABLED") {
      EXPECT_TRUE(line.starts_with("disabled, key material at sector ")) << line;
      continue;
    }
    ++enabled;
    EXPECT_EQ(dump[slot], "ENABLED");
    EXPECT_EQ(line, "enabled, iterations " + dump[slot + "/Iterations"] + ", salt " + dump[slot + "/Salt"] +
                        ", key material at sector " + dump[slot + "/Key material offset"] + ", stripes " +
                        dump[slot + "/AF stripes"]);
  }
  EXPECT_EQ(enabled, 2);  // slots 0 and 3

  // The fields name each slot's state by its magic number.
  const CommandResult fields = RunCli({"fields", image, "0"});
  ASSERT_EQ(fields.Status, 0) << fields.Err;
  EXPECT_NE(fields.Out.find("0x0D0  4  Active  0x00AC71F3 (enabled)"), std::string::npos) << fields.Out;
  EXPECT_NE(fields.Out.find("0x100  4  Active  0x0000DEAD (disabled)"), std::string::npos);
  EXPECT_NE(fields.Out.find("0x160  4  Active  0x00AC71F3 (enabled)"), std::string::npos);
  EXPECT_NE(fields.Out.find("Magic: holds"), std::string::npos);
}

TEST_F(LuksHeadersTest, Luks2MetadataAsLuksDumpReadsIt) {
  struct Case {
    const char* Image;
    const char* Label;
    const char* Subsystem;
    const char* Secondary;
  };
  const Case cases[] = {
      {"luks2.img", "KORVALANE", "korvalane", "at byte 16384, checksum verified"},
      {"luks2-32k.img", "", "", "at byte 32768, checksum verified"},
      // cryptsetup reads the damaged volume through its secondary header too.
      {"luks2-damaged.img", "KORVALANE", "korvalane", "at byte 16384, checksum verified"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Image);
    const std::string image = SamplePath(c.Image);
    std::map<std::string, std::string> dump = LuksDump(image);
    std::map<std::string, std::string> details = Details(image);
    EXPECT_EQ(details["Version"], dump["Version"]);
    EXPECT_EQ(details["UUID"], dump["UUID"]);
    EXPECT_EQ(details["Label"], dump["Label"] == "(no label)" ? "" : dump["Label"]);
    EXPECT_EQ(details["Label"], c.Label);
    EXPECT_EQ(details["Subsystem"], dump["Subsystem"] == "(no subsystem)" ? "" : dump["Subsystem"]);
    EXPECT_EQ(details["Subsystem"], c.Subsystem);
    EXPECT_EQ(details["Sequence id"], dump["Epoch"]);
    EXPECT_EQ(details["Header size"], dump["Metadata area"].substr(0, dump["Metadata area"].find(" [")) + " bytes");
    EXPECT_EQ(details["Secondary header"], c.Secondary);
    EXPECT_EQ(details["Cipher"] + "-" + details["Cipher mode"], dump["cipher"]);

    // Each section of the JSON area as cryptsetup gives it.
    const CommandResult json = RunCli({"details", "--json", image});
    ASSERT_EQ(json.Status, 0) << json.Err;
    const CommandResult metadata = Cryptsetup({"luksDump", "--dump-json-metadata"}, image);
    ASSERT_EQ(metadata.Status, 0) << metadata.Err;
    for (const char* section : {".keyslots", ".segments", ".digests", ".tokens", ".config"}) {
      EXPECT_EQ(Jq(json.Out, section, dir_), Jq(metadata.Out, section, dir_)) << section;
    }
  }
}

TEST_F(LuksHeadersTest, Luks2ChecksumsAsSha256sumComputesThem) {
  // The checksum covers the header's 16384 bytes with the checksum field as zeros.
  const std::string image = SamplePath("luks2.img");
  std::ifstream in(image, std::ios::binary);
  for (const uint64_t at : {uint64_t{0}, uint64_t{16384}}) {
    SCOPED_TRACE("header at byte " + std::to_string(at));
    std::string header(16384, '\0');
    in.seekg(static_cast<std::streamoff>(at));
    in.read(header.data(), static_cast<std::streamsize>(header.size()));
    std::fill_n(header.begin() + 448, 64, '\0');
    const fs::path copy = dir_ / "header";
    std::ofstream(copy, std::ios::binary) << header;
    const CommandResult sum = testing::Run({"sha256sum", copy.string()});
    ASSERT_EQ(sum.Status, 0);
    const std::string digest = sum.Out.substr(0, 64);
    const CommandResult fields = RunCli({"fields", image, std::to_string(at / 512)});
    ASSERT_EQ(fields.Status, 0) << fields.Err;
    EXPECT_NE(fields.Out.find("Header checksum (sha256): holds (stored " + digest + ", computed " + digest + ")"),
              std::string::npos)
        << fields.Out;
  }
}

TEST_F(LuksHeadersTest, Luks2FieldsPointAtTheJsonText) {
  // Every value of the JSON area is a field whose bytes in the image are its text; a
  // string's value for scripts is its text.
  const std::string image = SamplePath("luks2.img");
  const CommandResult fields = RunCli({"fields", "--json", image, "0"});
  ASSERT_EQ(fields.Status, 0) << fields.Err;
  const std::string rows = Jq(fields.Out, "[.fields[] | select(.offset >= 4096) | [.offset, .size, .value]]", dir_);
  const fs::path file = dir_ / "rows.json";
  std::ofstream(file) << rows;
  const CommandResult lines = testing::Run({"jq", "-r", ".[] | \"\\(.[0]) \\(.[1]) \\(.[2])\"", file.string()});
  ASSERT_EQ(lines.Status, 0) << lines.Err;
  std::ifstream in(image, std::ios::binary);
  size_t checked = 0;
  for (const std::string& line : Lines(lines.Out)) {
    const size_t first = line.find(' ');
    const size_t second = line.find(' ', first + 1);
    const uint64_t offset = std::stoull(line.substr(0, first));
    const size_t size = std::stoull(line.substr(first + 1, second - first - 1));
    std::string bytes(size, '\0');
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(bytes.data(), static_cast<std::streamsize>(size));
    // A string's value is its text without the quotes (cryptsetup writes no escapes).
    const std::string value = line.substr(second + 1);
    EXPECT_EQ(bytes, bytes.starts_with('"') ? '"' + value + '"' : value) << "at " << offset;
    ++checked;
  }
  EXPECT_GT(checked, 40u);
  const CommandResult metadata = Cryptsetup({"luksDump", "--dump-json-metadata"}, image);
  EXPECT_EQ(Jq(fields.Out, "[.fields[] | select(.group == \"keyslots.1.kdf\" and .name == \"salt\") | .value][0]", dir_),
            Jq(metadata.Out, ".keyslots.\"1\".kdf.salt", dir_));
  EXPECT_EQ(Jq(fields.Out, "[.fields[] | select(.group == \"digests.0\" and .name == \"keyslots[1]\") | .value][0]", dir_),
            "\"1\"\n");
}

TEST_F(LuksHeadersTest, SoundBackupAgreesAndADamagedPrimaryIsNamed) {
  const CommandResult sound = RunCli({"fields", "--compare-backup", SamplePath("luks2.img")});
  ASSERT_EQ(sound.Status, 0) << sound.Err;
  const std::vector<std::string> lines = Lines(sound.Out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "LUKS2 header: sector 0 and its backup at sector 32");
  EXPECT_EQ(lines[1], "The backup agrees; these fields differ by design:");

  const std::string damaged = SamplePath("luks2-damaged.img");
  std::map<std::string, std::string> details = Details(damaged);
  EXPECT_TRUE(details["Primary header"].starts_with("at byte 0, checksum mismatch: stored ")) << details["Primary header"];
  EXPECT_EQ(details["Header in use"], "secondary (the primary: its checksum fails)");
  const CommandResult compared = RunCli({"fields", "--compare-backup", damaged});
  ASSERT_EQ(compared.Status, 0) << compared.Err;
  const std::vector<std::string> damage = Lines(compared.Out);
  ASSERT_GE(damage.size(), 3u);
  EXPECT_TRUE(damage[1].starts_with("0x018  48  Label  \"KORVALXNE.")) << damage[1];
  EXPECT_TRUE(damage[1].ends_with("(1 byte differs, at 0x01E)")) << damage[1];
  EXPECT_TRUE(damage[2].starts_with("0x1C0  64  Checksum")) << damage[2];
  EXPECT_TRUE(damage[2].ends_with("(differs by design only where each copy's Header checksum holds; here it does not)"));
  const CommandResult fields = RunCli({"fields", damaged, "0"});
  EXPECT_NE(fields.Out.find("Header checksum (sha256): fails"), std::string::npos);
}

}  // namespace
}  // namespace korvalane::testing
