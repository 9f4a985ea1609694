// Partition tables built by hand in memory: the MBR and its chain of logical partitions,
// GPT with its backup header, and the damaged and hostile tables a recovery tool meets.
// The tables sfdisk writes are read in tests/posix/disks_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/disk/Crc32.h"
#include "core/disk/PartitionTable.h"
#include "core/text/Utf.h"

namespace korvalane {
namespace {

void Put(std::vector<uint8_t>& b, size_t at, uint64_t v, size_t width) {
  for (size_t i = 0; i < width; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

// A disk in memory whose reads fail past its end, counting the sectors read.
struct Disk {
  uint32_t SectorSize = 512;
  std::vector<uint8_t> Bytes;
  uint64_t SectorsRead = 0;

  Disk(uint64_t sectors, uint32_t sectorSize = 512) : SectorSize(sectorSize), Bytes(sectors * sectorSize, 0) {}
  uint64_t Sectors() const { return Bytes.size() / SectorSize; }

  // An MBR-style table (sector 0 or an EBR) entry.
  void Entry(uint64_t sector, int index, uint8_t type, uint64_t first, uint64_t count, uint8_t boot = 0) {
    const size_t at = sector * SectorSize + 446 + 16 * static_cast<size_t>(index);
    Bytes.at(at) = boot;
    Bytes.at(at + 4) = type;
    Put(Bytes, at + 8, first, 4);
    Put(Bytes, at + 12, count, 4);
    Put(Bytes, sector * SectorSize + 510, 0xAA55, 2);
  }

  // A GPT header at `lba` with its entry array at `entries`; each entry is (type byte of
  // a made-up type GUID, first, last, name).
  struct GptEntry {
    uint8_t Type;
    uint64_t First;
    uint64_t Last;
    std::u16string Name;
  };
  void Gpt(uint64_t lba, uint64_t entries, const std::vector<GptEntry>& list, uint32_t count = 128) {
    std::vector<uint8_t> array(size_t{count} * 128, 0);
    for (size_t i = 0; i < list.size(); ++i) {
      const size_t at = i * 128;
      array[at] = list[i].Type;  // a type GUID of 16 bytes that are not all zero
      Put(array, at + 32, list[i].First, 8);
      Put(array, at + 40, list[i].Last, 8);
      for (size_t u = 0; u < list[i].Name.size(); ++u) Put(array, at + 56 + 2 * u, list[i].Name[u], 2);
    }
    std::copy(array.begin(), array.end(), Bytes.begin() + static_cast<std::ptrdiff_t>(entries * SectorSize));
    std::vector<uint8_t> header(SectorSize, 0);
    std::memcpy(header.data(), "EFI PART", 8);
    Put(header, 8, 0x00010000, 4);
    Put(header, 12, 92, 4);
    Put(header, 24, lba, 8);
    Put(header, 32, lba == 1 ? Sectors() - 1 : 1, 8);
    Put(header, 72, entries, 8);
    Put(header, 80, count, 4);
    Put(header, 84, 128, 4);
    Put(header, 88, Crc32(array), 4);
    Put(header, 16, Crc32(std::span<const uint8_t>(header).first(92)), 4);
    std::copy(header.begin(), header.end(), Bytes.begin() + static_cast<std::ptrdiff_t>(lba * SectorSize));
  }

  void Zero(uint64_t sector) {
    std::fill_n(Bytes.begin() + static_cast<std::ptrdiff_t>(sector * SectorSize), SectorSize, uint8_t{0});
  }

  PartitionTable Read() {
    return ReadPartitionTable(
        [this](uint64_t sector, std::span<uint8_t> buffer) {
          if (buffer.size() % SectorSize != 0 || sector > Sectors() ||
              buffer.size() / SectorSize > Sectors() - sector) {
            return false;
          }
          SectorsRead += buffer.size() / SectorSize;
          std::copy_n(Bytes.begin() + static_cast<std::ptrdiff_t>(sector * SectorSize), buffer.size(), buffer.begin());
          return true;
        },
        SectorSize, Sectors());
  }
};

// "number:first-last" for each partition, and the notes joined.
std::vector<std::string> Spans(const PartitionTable& table) {
  std::vector<std::string> spans;
  for (const Partition& p : table.Partitions) {
    spans.push_back(std::to_string(p.Number) + ":" + std::to_string(p.FirstSector) + "-" +
                    std::to_string(p.LastSector()));
  }
  return spans;
}

std::string Notes(const PartitionTable& table) {
  std::string text;
  for (const std::u16string& note : table.Notes) text += ToUtf8(note) + "\n";
  return text;
}

TEST(Crc32, IsTheIeeeChecksum) {
  const std::string text = "123456789";
  EXPECT_EQ(Crc32(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())), 0xCBF43926u);
  EXPECT_EQ(Crc32({}), 0u);
}

TEST(MbrTable, PrimaryAndLogicalPartitionsAreNumberedAsLinuxDoes) {
  Disk disk(4096);
  disk.Entry(0, 0, 0x06, 64, 512, 0x80);
  disk.Entry(0, 2, 0x0F, 1024, 3072);  // extended, in slot 3; slot 2 empty
  // First EBR at 1024: a logical at +64, the link to the next EBR at extended + 1536.
  disk.Entry(1024, 0, 0x07, 64, 448);
  disk.Entry(1024, 1, 0x05, 1536, 1024);
  // Second EBR at 2560: an empty first entry does not take a number.
  disk.Entry(2560, 1, 0x83, 32, 100);
  const PartitionTable table = disk.Read();
  EXPECT_EQ(table.Scheme, PartitionScheme::Mbr);
  EXPECT_EQ(Spans(table), (std::vector<std::string>{"1:64-575", "3:1024-4095", "5:1088-1535", "6:2592-2691"}));
  EXPECT_TRUE(table.Partitions[1].Extended);
  EXPECT_EQ(table.Partitions[2].TypeName, "NTFS/exFAT");
  EXPECT_EQ(ToUtf8(DescribePartition(table.Partitions[2], table.Scheme)), "sectors 1088-1535, NTFS/exFAT 0x07");
  EXPECT_EQ(Notes(table), "");
}

TEST(MbrTable, HostileChainsEndWithANote) {
  struct Case {
    const char* what;
    uint64_t link;  // where the first EBR's link points, relative to the extended start
    const char* note;
  };
  for (const Case& c : {Case{"a loop back to itself", 0, "loops back to sector 1024"},
                        Case{"a link outside the extended partition", 5000, "points outside the extended partition"},
                        Case{"a link past the disk", 0xFFFFFFFF, "points outside the extended partition"}}) {
    SCOPED_TRACE(c.what);
    Disk disk(4096);
    disk.Entry(0, 0, 0x05, 1024, 2048);
    disk.Entry(1024, 0, 0x83, 8, 8);
    disk.Entry(1024, 1, 0x05, c.link, 8);
    const PartitionTable table = disk.Read();
    EXPECT_EQ(Spans(table), (std::vector<std::string>{"1:1024-3071", "5:1032-1039"}));
    EXPECT_NE(Notes(table).find(c.note), std::string::npos) << Notes(table);
  }

  // A chain of a thousand and more links, each one sector on: the walk is bounded.
  Disk longChain(4096);
  longChain.Entry(0, 0, 0x05, 1, 4095);
  for (uint64_t at = 1; at < 4096; ++at) longChain.Entry(at, 1, 0x05, at, 1);
  const PartitionTable table = longChain.Read();
  EXPECT_LE(longChain.SectorsRead, 1100u);
  EXPECT_NE(Notes(table).find("longer than 1024 links"), std::string::npos) << Notes(table);
}

TEST(MbrTable, PartitionsPastTheDiskOrWithoutSectorsAreLeftOutWithANote) {
  Disk disk(1000);
  disk.Entry(0, 0, 0x83, 100, 900);  // ends exactly at the disk's end
  disk.Entry(0, 1, 0x83, 500, 600);  // past it
  disk.Entry(0, 2, 0x07, 0xFFFFFFFF, 0xFFFFFFFF);
  disk.Entry(0, 3, 0x0C, 10, 0);
  const PartitionTable table = disk.Read();
  EXPECT_EQ(Spans(table), (std::vector<std::string>{"1:100-999"}));
  EXPECT_EQ(Notes(table),
            "Partition 2 (sectors 500-1099) reaches past the disk's last sector, 999: it is not shown as a drive.\n"
            "Partition 3 (sectors 4294967295-8589934589) reaches past the disk's last sector, 999: it is not shown "
            "as a drive.\n"
            "Partition 4 has no sectors: it is not shown as a drive.\n");
}

TEST(MbrTable, VolumesAndBootCodeAreNotTables) {
  Disk fat(2048);
  fat.Entry(0, 0, 0x06, 64, 512);  // a table's shape, but sector 0 is a FAT boot sector
  fat.Bytes[0] = 0xEB;
  Put(fat.Bytes, 11, 512, 2);
  fat.Bytes[13] = 4;
  Put(fat.Bytes, 14, 1, 2);
  fat.Bytes[16] = 2;
  fat.Bytes[21] = 0xF8;
  EXPECT_EQ(fat.Read().Scheme, PartitionScheme::None);

  for (const char* oem : {"NTFS    ", "EXFAT   "}) {
    Disk volume(2048);
    volume.Entry(0, 0, 0x07, 64, 512);
    std::memcpy(volume.Bytes.data() + 3, oem, 8);
    Put(volume.Bytes, 11, 512, 2);
    volume.Bytes[13] = 8;
    EXPECT_EQ(volume.Read().Scheme, PartitionScheme::None) << oem;
  }

  Disk code(2048);
  code.Entry(0, 0, 0x83, 64, 512);
  code.Bytes[446] = 0x33;  // a boot indicator that is neither 0x00 nor 0x80
  EXPECT_EQ(code.Read().Scheme, PartitionScheme::None);

  Disk unsigned_(2048);
  unsigned_.Entry(0, 0, 0x83, 64, 512);
  unsigned_.Bytes[510] = 0;
  EXPECT_EQ(unsigned_.Read().Scheme, PartitionScheme::None);
}

TEST(GptTable, ReadsThePrimaryAndFallsBackOnTheBackup) {
  const std::vector<Disk::GptEntry> entries{{0x01, 40, 99, u"boot"}, {0x02, 100, 899, u""}};
  Disk disk(1000);
  disk.Entry(0, 0, 0xEE, 1, 999);
  disk.Gpt(1, 2, entries);
  disk.Gpt(999, 967, entries);
  PartitionTable table = disk.Read();
  EXPECT_EQ(table.Scheme, PartitionScheme::Gpt);
  EXPECT_EQ(Spans(table), (std::vector<std::string>{"1:40-99", "2:100-899"}));
  EXPECT_EQ(ToUtf8(table.Partitions[0].Name), "boot");
  EXPECT_EQ(table.Partitions[0].TypeGuid, "00000001-0000-0000-0000-000000000000");
  EXPECT_EQ(Notes(table), "");

  struct Damage {
    const char* what;
    uint64_t sector;
    size_t offset;  // the byte changed in that sector
    const char* note;
  };
  for (const Damage& d : {Damage{"zeroed header", 1, 0, "has no signature"},
                          Damage{"header checksum", 1, 40, "fails its checksum"},
                          Damage{"entry array checksum", 2, 33, "has an entry array that fails its checksum"}}) {
    SCOPED_TRACE(d.what);
    Disk damaged = disk;
    if (d.offset == 0) {
      damaged.Zero(d.sector);
    } else {
      damaged.Bytes[d.sector * 512 + d.offset] ^= 0x55;
    }
    table = damaged.Read();
    EXPECT_EQ(table.Scheme, PartitionScheme::Gpt);
    EXPECT_EQ(Spans(table), (std::vector<std::string>{"1:40-99", "2:100-899"}));
    EXPECT_EQ(Notes(table), "The primary GPT header at sector 1 " + std::string(d.note) +
                                "; the backup at sector 999 is used.\n");
  }

  // Both headers gone: the protective MBR's own entry is what is left.
  Disk lost = disk;
  lost.Zero(1);
  lost.Zero(999);
  table = lost.Read();
  EXPECT_EQ(table.Scheme, PartitionScheme::Mbr);
  EXPECT_EQ(Spans(table), (std::vector<std::string>{"1:1-999"}));
  EXPECT_NE(Notes(table).find("the MBR's entries are shown instead"), std::string::npos) << Notes(table);

  // The primary in use, the backup damaged: said, nothing else changes.
  Disk noBackup = disk;
  noBackup.Zero(999);
  table = noBackup.Read();
  EXPECT_EQ(Spans(table), (std::vector<std::string>{"1:40-99", "2:100-899"}));
  EXPECT_EQ(Notes(table), "The backup GPT header at sector 999 has no signature.\n");
}

TEST(GptTable, AHybridMbrGivesWayAndHostileHeadersAreRefused) {
  Disk hybrid(1000);
  hybrid.Entry(0, 0, 0x0C, 40, 60);
  hybrid.Entry(0, 1, 0xEE, 1, 39);
  hybrid.Gpt(1, 2, {{0x01, 40, 99, u""}, {0x03, 200, 2000, u"too far"}, {0x04, 300, 299, u""},
                    {0x05, 150, 250, u""}});
  PartitionTable table = hybrid.Read();
  EXPECT_EQ(table.Scheme, PartitionScheme::Gpt);
  EXPECT_EQ(Spans(table), (std::vector<std::string>{"1:40-99", "4:150-250"}));
  EXPECT_NE(Notes(table).find("Partition 2 (sectors 200-2000) reaches past"), std::string::npos);
  EXPECT_NE(Notes(table).find("Partition 3 ends (sector 299) before it starts (sector 300)"), std::string::npos);

  // An entry count no table has: refused before anything is read.
  Disk huge(1000);
  huge.Entry(0, 0, 0xEE, 1, 999);
  huge.Gpt(1, 2, {{0x01, 40, 99, u""}});
  Put(huge.Bytes, 512 + 80, 0xFFFFFFFF, 4);
  Put(huge.Bytes, 512 + 16, 0, 4);
  Put(huge.Bytes, 512 + 16, Crc32(std::span<const uint8_t>(huge.Bytes).subspan(512, 92)), 4);
  table = huge.Read();
  EXPECT_EQ(table.Scheme, PartitionScheme::Mbr);
  EXPECT_NE(Notes(table).find("gives 4294967295 entries"), std::string::npos) << Notes(table);
  EXPECT_LE(huge.SectorsRead, 4u);
}

TEST(GptTable, OverlapsAreSaid) {
  Disk disk(1000);
  disk.Entry(0, 0, 0xEE, 1, 999);
  disk.Gpt(1, 2, {{0x01, 40, 199, u""}, {0x02, 100, 299, u""}});
  disk.Gpt(999, 967, {{0x01, 40, 199, u""}, {0x02, 100, 299, u""}});
  EXPECT_EQ(Notes(disk.Read()), "Partitions 1 and 2 overlap.\n");
}

TEST(ImageSectorSize, FoundFromTheContent) {
  struct Case {
    const char* what;
    size_t gptAt;          // where "EFI PART" stands, 0 for nowhere
    const char* oem;       // a volume boot sector's OEM name, or null
    uint16_t bytesPerSector;
    uint8_t exfatShift;
    uint32_t expected;
  };
  const Case cases[] = {
      {"GPT at 512", 512, nullptr, 0, 0, 512},
      {"GPT at 4096", 4096, nullptr, 0, 0, 4096},
      {"NTFS of 4096-byte sectors", 0, "NTFS    ", 4096, 0, 4096},
      {"NTFS of 2048-byte sectors", 0, "NTFS    ", 2048, 0, 2048},
      {"FAT of 1024-byte sectors", 0, "MSWIN4.1", 1024, 0, 1024},
      {"exFAT of 4096-byte sectors", 0, "EXFAT   ", 0, 12, 4096},
      {"NTFS claiming 256-byte sectors", 0, "NTFS    ", 256, 0, 512},
      {"nothing known", 0, nullptr, 0, 0, 512},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> head(8192, 0);
    if (c.gptAt != 0) std::memcpy(head.data() + c.gptAt, "EFI PART", 8);
    if (c.oem != nullptr) {
      head[0] = 0xEB;
      std::memcpy(head.data() + 3, c.oem, 8);
      Put(head, 11, c.bytesPerSector, 2);
      head[13] = 1;
      Put(head, 14, 1, 2);
      head[16] = 2;
      head[21] = 0xF8;
      head[108] = c.exfatShift;
      Put(head, 510, 0xAA55, 2);
    }
    EXPECT_EQ(DetectImageSectorSize(head), c.expected) << c.what;
  }
  EXPECT_EQ(DetectImageSectorSize({}), 512u);
}

}  // namespace
}  // namespace korvalane
