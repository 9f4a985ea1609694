// A fragmented $MFT, made from an mkntfs volume by moving the MFT's clusters and
// rewriting its records with their update sequence made anew: once with record 0's run
// list of three runs across byte 510, where the volume keeps the sequence number, and
// once with an $ATTRIBUTE_LIST in record 0 that moves the MFT's last clusters into an
// extension record. details, locate mft-record, record and owner agree with The Sleuth
// Kit's istat -r 0 and ifind -d on each.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "fixtures/Samples.h"

namespace korvalane {
namespace {

namespace fs = std::filesystem;
using testing::CommandResult;
using testing::Lines;

using testing::RunCli;

constexpr size_t kCluster = 4096;
constexpr size_t kRecord = 1024;
constexpr size_t kSector = 512;

// The image's bytes, with the little-endian reads and writes the surgery needs.
struct Volume {
  std::string Bytes;

  uint64_t Get(size_t at, size_t width) const {
    uint64_t value = 0;
    for (size_t i = width; i-- > 0;) value = value << 8 | static_cast<uint8_t>(Bytes.at(at + i));
    return value;
  }
  static void Set(std::string& bytes, size_t at, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) bytes.at(at + i) = static_cast<char>(value >> (8 * i));
  }
  std::string Cluster(uint64_t cluster) const { return Bytes.substr(cluster * kCluster, kCluster); }
  void PutCluster(uint64_t cluster, const std::string& bytes) { Bytes.replace(cluster * kCluster, kCluster, bytes); }
};

// A FILE record as it is meant (its strides' last two bytes back in place), and as it is
// written: those bytes saved in the update sequence array, the sequence number there.
std::string Unprotected(std::string record) {
  const size_t array = static_cast<uint8_t>(record[4]) | static_cast<uint8_t>(record[5]) << 8;
  for (size_t i = 1; i <= record.size() / kSector; ++i) {
    record[kSector * i - 2] = record[array + 2 * i];
    record[kSector * i - 1] = record[array + 2 * i + 1];
  }
  return record;
}
std::string Protected(std::string record) {
  const size_t array = static_cast<uint8_t>(record[4]) | static_cast<uint8_t>(record[5]) << 8;
  for (size_t i = 1; i <= record.size() / kSector; ++i) {
    record[array + 2 * i] = record[kSector * i - 2];
    record[array + 2 * i + 1] = record[kSector * i - 1];
    record[kSector * i - 2] = record[array];
    record[kSector * i - 1] = record[array + 1];
  }
  return record;
}

// A record's attributes, each as its bytes, in order.
std::vector<std::string> AttributesOf(const std::string& record) {
  std::vector<std::string> attributes;
  Volume v{record};
  for (size_t at = v.Get(20, 2); v.Get(at, 4) != 0xFFFFFFFF; at += v.Get(at + 4, 4)) {
    attributes.push_back(record.substr(at, v.Get(at + 4, 4)));
  }
  return attributes;
}

// The record with these attributes from the first attribute's place on, the end marker
// after them and the used size set.
std::string WithAttributes(std::string record, const std::vector<std::string>& attributes) {
  size_t at = Volume{record}.Get(20, 2);
  for (const std::string& attribute : attributes) {
    record.replace(at, attribute.size(), attribute);
    at += attribute.size();
  }
  Volume::Set(record, at, 0xFFFFFFFF, 4);
  Volume::Set(record, at + 4, 0, 4);
  Volume::Set(record, 24, at + 8, 4);
  std::fill(record.begin() + static_cast<std::ptrdiff_t>(at + 8), record.end(), '\0');
  return record;
}

// A non-resident attribute with its run list at `runsAt` (from the attribute's start):
// the 64 header bytes kept, the list after zeros, the length rounded up to 8.
std::string WithRuns(const std::string& attribute, size_t runsAt, const std::string& runs) {
  std::string result = attribute.substr(0, 64);
  result.resize(runsAt, '\0');
  result += runs;
  result.resize((result.size() + 7) / 8 * 8, '\0');
  Volume::Set(result, 4, result.size(), 4);
  Volume::Set(result, 32, runsAt, 2);
  return result;
}

uint32_t Type(const std::string& attribute) { return static_cast<uint32_t>(Volume{attribute}.Get(0, 4)); }

class NtfsMftLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LC_ALL", "C", 1);
    dir_ = fs::path(::testing::TempDir()) / ("korvalane-mft-layout-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    image_ = (dir_ / "ntfs.img").string();
    { std::ofstream create(image_); }
    fs::resize_file(image_, 16 << 20);
    const CommandResult made = testing::Run({"mkntfs", "-F", "-Q", "-q", "-T", "-c", "4096", "-L", "MFT", image_});
    ASSERT_EQ(made.Status, 0) << made.Err;
    std::ifstream in(image_, std::ios::binary);
    v_.Bytes.assign(std::istreambuf_iterator<char>(in), {});
    // mkntfs puts an MFT of 27 records in the 7 clusters from cluster 4, and $Bitmap in one.
    mft_ = v_.Get(48, 8);
    ASSERT_EQ(mft_, 4u);
    ASSERT_EQ(Runs("0"), (Extents{{4, 7}}));
    const Extents bitmap = Runs("6");
    ASSERT_EQ(bitmap.size(), 1u);
    bitmap_ = bitmap[0].first;
    const Extents records = Runs("0", "$BITMAP (176-");
    ASSERT_EQ(records.size(), 1u);
    mftBitmap_ = records[0].first;
  }
  void TearDown() override { fs::remove_all(dir_); }

  using Extents = std::vector<std::pair<uint64_t, uint64_t>>;  // start cluster, clusters

  // The runs of an MFT entry's first attribute of a type (its unnamed $DATA unless told)
  // as istat -r lists them.
  Extents Runs(const std::string& entry, const std::string& type = "$DATA (128-") {
    const std::string stat = testing::Run({"istat", "-r", image_, entry}).Out;
    const size_t data = stat.find("Type: " + type);
    EXPECT_NE(data, std::string::npos) << stat;
    const std::string list = stat.substr(data, stat.find("\nType: ", data + 1) - data);
    Extents extents;
    const std::regex run(R"(Starting address: (\d+), length: (\d+))");
    for (auto it = std::sregex_iterator(list.begin(), list.end(), run); it != std::sregex_iterator(); ++it) {
      extents.emplace_back(std::stoull((*it)[1]), std::stoull((*it)[2]));
    }
    return extents;
  }

  size_t RecordAt(uint64_t number) const { return mft_ * kCluster + number * kRecord; }
  std::string Record(uint64_t number) const { return Unprotected(v_.Bytes.substr(RecordAt(number), kRecord)); }
  void PutRecord(uint64_t number, const std::string& record) {
    v_.Bytes.replace(RecordAt(number), kRecord, Protected(record));
    // $MFTMirr keeps a copy of the first four records.
    if (number < 4) v_.Bytes.replace(v_.Get(56, 8) * kCluster + number * kRecord, kRecord, Protected(record));
  }

  // Moves the MFT's virtual cluster `vcn` (in its first extent still) to a free cluster,
  // $Bitmap following: the old one is zeroed and freed, the new one taken.
  void MoveMftCluster(uint64_t vcn, uint64_t to) {
    const uint64_t from = mft_ + vcn;
    ASSERT_EQ(Bit(to), 0) << "cluster " << to << " is not free";
    v_.PutCluster(to, v_.Cluster(from));
    v_.PutCluster(from, std::string(kCluster, '\0'));
    SetBit(from, false);
    SetBit(to, true);
  }
  int Bit(uint64_t cluster) const { return v_.Bytes.at(bitmap_ * kCluster + cluster / 8) >> (cluster % 8) & 1; }
  void SetBit(uint64_t cluster, bool used) {
    char& byte = v_.Bytes.at(bitmap_ * kCluster + cluster / 8);
    byte = static_cast<char>(used ? byte | 1 << (cluster % 8) : byte & ~(1 << (cluster % 8)));
  }

  void Save() {
    std::ofstream(image_, std::ios::binary | std::ios::trunc).write(v_.Bytes.data(), static_cast<std::streamsize>(v_.Bytes.size()));
  }

  std::vector<std::string> Cli(const std::vector<std::string>& args) {
    std::vector<std::string> argv{args[0], image_};
    argv.insert(argv.end(), args.begin() + 1, args.end());
    const CommandResult result = RunCli(argv);
    EXPECT_EQ(result.Status, 0) << result.Err;
    EXPECT_EQ(result.Err, "");
    return Lines(result.Out);
  }

  // details, locate, record and owner against istat -r 0 and ifind -d; `recordRuns` is
  // the run lines the record view shows for record 0 (its own $DATA).
  void ExpectAgreement(const Extents& recordRuns) {
    const Extents mft = Runs("0");
    ASSERT_GT(mft.size(), 1u);
    const std::vector<std::string> details = Cli({"details"});
    std::vector<std::string> lines;
    uint64_t clusters = 0;
    for (const auto& [start, count] : mft) {
      lines.push_back(std::to_string(start) + " - " + std::to_string(count));
      clusters += count;
    }
    std::vector<std::string> expected{"MFT clusters - " + std::to_string(clusters), "Bytes per record MFT - 1024",
                                      "MFT parts - " + std::to_string(mft.size()), "", "MFT cluster - clusters count:"};
    expected.insert(expected.end(), lines.begin(), lines.end());
    ASSERT_GE(details.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(details.begin() + 7, details.end()), expected);

    // Every record the MFT holds, through the runs in the MFT's order, and one past them.
    uint64_t vcn = 0;
    for (const auto& [start, count] : mft) {
      for (uint64_t c = 0; c < count; ++c, ++vcn) {
        for (uint64_t r = 0; r < kCluster / kRecord; ++r) {
          const uint64_t record = vcn * (kCluster / kRecord) + r;
          EXPECT_EQ(Cli({"locate", "mft-record", std::to_string(record)}),
                    std::vector<std::string>{std::to_string(((start + c) * kCluster + r * kRecord) / kSector)})
              << "MFT record " << record;
        }
        // Each of the MFT's clusters is $MFT's, for ifind and for owner.
        const std::string sector = std::to_string((start + c) * kCluster / kSector);
        EXPECT_EQ(testing::Run({"ifind", "-d", std::to_string(start + c), image_}).Out, "0-128-1\n") << "cluster " << start + c;
        const std::vector<std::string> owner = Cli({"owner", sector});
        ASSERT_EQ(owner.size(), 1u);
        EXPECT_TRUE(owner[0].starts_with(sector + "  file-system metadata: $MFT  (MFT record 0, byte " +
                                         std::to_string(vcn * kCluster) + " of the file)"))
            << owner[0];
      }
    }
    const uint64_t records = vcn * (kCluster / kRecord);
    const CommandResult beyond = RunCli({"locate", image_, "mft-record", std::to_string(records)});
    EXPECT_EQ(beyond.Status, 2);
    EXPECT_EQ(beyond.Err, "korvalane-cli: MFT record " + std::to_string(records) + " lies beyond the MFT (it holds " +
                              std::to_string(records) + " records)\n");

    const std::vector<std::string> record0 = Cli({"record", std::to_string(mft_ * kCluster / kSector)});
    std::vector<std::string> runs;
    for (const auto& [start, count] : recordRuns) runs.push_back(std::to_string(start) + " - " + std::to_string(count));
    ASSERT_GE(record0.size(), runs.size());
    EXPECT_EQ(std::vector<std::string>(record0.end() - static_cast<std::ptrdiff_t>(runs.size()), record0.end()), runs);
    EXPECT_EQ(record0[0], "File $MFT");
  }

  fs::path dir_;
  std::string image_;
  Volume v_;
  uint64_t mft_ = 0;
  uint64_t bitmap_ = 0;     // $Bitmap's cluster
  uint64_t mftBitmap_ = 0;  // that of $MFT's own bitmap of records in use
};

TEST_F(NtfsMftLayoutTest, RunListAcrossTheEndOfTheFirstStride) {
  // The MFT's clusters 3 and 4 to 100 and 101, 5 and 6 back to 50 and 51: three runs,
  // the last one's offset negative.
  for (const auto& [vcn, to] : {std::pair{3, 100}, {4, 101}, {5, 50}, {6, 51}}) MoveMftCluster(vcn, to);
  // The list stands at 504 of the record, so the third run's header is at byte 510: on
  // disk the update sequence number is there.
  const std::string runs{0x11, 0x03, 0x04, 0x11, 0x02, 0x60, 0x11, 0x02, static_cast<char>(0xCE), 0x00};
  std::vector<std::string> attributes = AttributesOf(Record(0));
  size_t at = Volume{Record(0)}.Get(20, 2);
  for (std::string& attribute : attributes) {
    if (Type(attribute) == 0x80) attribute = WithRuns(attribute, 504 - at, runs);
    at += attribute.size();
  }
  PutRecord(0, WithAttributes(Record(0), attributes));
  Save();
  ASSERT_EQ(testing::Run({"istat", "-r", image_, "0"}).Status, 0);
  ASSERT_EQ(static_cast<uint8_t>(v_.Bytes[RecordAt(0) + 510]), v_.Get(RecordAt(0) + v_.Get(RecordAt(0) + 4, 2), 1));
  ASSERT_EQ(Runs("0"), (Extents{{4, 3}, {100, 2}, {50, 2}}));
  ExpectAgreement({{4, 3}, {100, 2}, {50, 2}});
}

TEST_F(NtfsMftLayoutTest, DataRunsInAnExtensionRecordOfRecordZero) {
  // The MFT's last two clusters move to 300 and 301, and their runs into record 17, an
  // extension of record 0 that lies in the MFT's first extent; record 0's attribute list
  // names it.
  constexpr uint64_t kExtension = 17;
  for (const auto& [vcn, to] : {std::pair{5, 300}, {6, 301}}) MoveMftCluster(vcn, to);
  std::string record0 = Record(0);
  const uint64_t reference0 = 0 | Volume{record0}.Get(16, 2) << 48;
  std::vector<std::string> attributes = AttributesOf(record0);
  std::string extensionData;
  for (std::string& attribute : attributes) {
    if (Type(attribute) != 0x80) continue;
    extensionData = WithRuns(attribute, 64, std::string{0x21, 0x02, 0x2C, 0x01, 0x00});
    Volume::Set(extensionData, 14, 0, 2);   // attribute ID 0 in its record
    Volume::Set(extensionData, 16, 5, 8);   // virtual clusters 5 and 6
    Volume::Set(extensionData, 24, 6, 8);
    for (size_t size = 40; size < 64; size += 8) Volume::Set(extensionData, size, 0, 8);  // sizes: the first extent's
    attribute = WithRuns(attribute, 64, std::string{0x11, 0x05, 0x04, 0x00});
    Volume::Set(attribute, 24, 4, 8);  // the last virtual cluster in record 0
  }
  // The attribute list: an entry for every other attribute of record 0, and one for the
  // extent in record 17, in the order of their types and first virtual clusters.
  const uint64_t reference17 = kExtension | Volume{Record(kExtension)}.Get(16, 2) << 48;
  std::string list;
  const auto entry = [&](uint32_t type, uint64_t vcn, uint64_t reference, uint16_t id) {
    std::string e(32, '\0');
    Volume::Set(e, 0, type, 4);
    Volume::Set(e, 4, 32, 2);
    Volume::Set(e, 7, 26, 1);
    Volume::Set(e, 8, vcn, 8);
    Volume::Set(e, 16, reference, 8);
    Volume::Set(e, 24, id, 2);
    list += e;
  };
  const uint16_t listId = static_cast<uint16_t>(Volume{record0}.Get(40, 2));
  for (const std::string& attribute : attributes) {
    entry(Type(attribute), 0, reference0, static_cast<uint16_t>(Volume{attribute}.Get(14, 2)));
    if (Type(attribute) == 0x80) entry(0x80, 5, reference17, 0);
  }
  std::string listAttribute(24, '\0');
  Volume::Set(listAttribute, 0, 0x20, 4);
  Volume::Set(listAttribute, 4, 24 + list.size(), 4);
  Volume::Set(listAttribute, 10, 24, 2);
  Volume::Set(listAttribute, 14, listId, 2);
  Volume::Set(listAttribute, 16, list.size(), 4);
  Volume::Set(listAttribute, 20, 24, 2);
  listAttribute += list;
  attributes.insert(attributes.begin() + 1, listAttribute);
  Volume::Set(record0, 40, listId + 1, 2);
  PutRecord(0, WithAttributes(record0, attributes));

  // Record 17: in use, an extension of record 0 holding the one extent.
  std::string extension = Record(kExtension);
  Volume::Set(extension, 22, 1, 2);
  Volume::Set(extension, 32, reference0, 8);
  Volume::Set(extension, 40, 1, 2);
  PutRecord(kExtension, WithAttributes(extension, {extensionData}));
  // $MFT's own bitmap (record 0's $BITMAP, one cluster) takes record 17.
  v_.Bytes.at(mftBitmap_ * kCluster + kExtension / 8) =
      static_cast<char>(v_.Bytes.at(mftBitmap_ * kCluster + kExtension / 8) | 1 << (kExtension % 8));
  Save();

  ASSERT_EQ(Runs("0"), (Extents{{4, 5}, {300, 2}}));
  ExpectAgreement({{4, 5}});
  // The attribute list names its extension record soundly: the walk finds no fault.
  const CommandResult owner = RunCli({"owner", image_, std::to_string(300 * kCluster / kSector)});
  EXPECT_EQ(owner.Err, "");
}

}  // namespace
}  // namespace korvalane
