#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/posix/containers/ContainerSource.h"

namespace korvalane {

// Where the tables of one QCOW image put a cluster of its disk, read from the image's own
// file: libqcow is only asked for clusters that its file holds whole.
struct QcowClusterMap {
  enum class Place {
    InFile,       // held whole in the file, or compressed (libqcow bounds what it reads)
    Unallocated,  // not in this image: its backing file's, or zeros
    Zeros,        // marked as reading as zeros (version 3), whatever it points at
    CutOff,       // the file ends before the cluster (or its level 2 table) does
  };

  // The header's geometry; false for a header that makes no sense (then every cluster
  // is cut off).
  bool Read(int fd, uint64_t fileSize);
  Place Locate(uint64_t position) const;
  uint64_t ClusterBytes() const { return uint64_t{1} << clusterBits_; }
  // Damage, when the tables point past the file's end (a copy cut short): read within
  // `budget` bytes of level 2 tables, the level 1 table and its entries always (up to the
  // budget). Empty when none was seen.
  std::string FindDamage(uint64_t budget) const;

  int fd_ = -1;  // the image's file, read-only
  uint64_t fileSize_ = 0;
  uint32_t version_ = 0;
  uint32_t clusterBits_ = 9;
  uint32_t level2Bits_ = 0;
  uint64_t level1Offset_ = 0;
  uint64_t level1Entries_ = 0;
  bool valid_ = false;

 private:
  uint64_t Level2Bytes() const { return uint64_t{8} << level2Bits_; }
  // Where a level 1 entry puts its level 2 table: 0 for none; nothing when the file does
  // not hold it whole or it is not where a table can be.
  std::optional<uint64_t> Level2Table(uint64_t level1Entry) const;
  bool IsCompressed(uint64_t level2Entry) const;
  // What a level 2 entry says of its cluster.
  Place Classify(uint64_t level2Entry) const;
};

// A QEMU copy-on-write image (QCOW version 1, QCOW2 and its version 3), read through
// libqcow, with its chain of backing files.
class QcowSource final : public ContainerSource {
 public:
  QcowSource(const std::string& path, uint32_t imageSectorSize);
  ~QcowSource() override;
  QcowSource(const QcowSource&) = delete;
  QcowSource& operator=(const QcowSource&) = delete;

 protected:
  int64_t ReadMedia(uint64_t position, std::span<uint8_t> buffer) override;

 private:
  bool OpenImage(const std::string& path, size_t depth);
  // Where the chain's files hold the cluster at `position` of the disk: the first image
  // that has it says (Unallocated when none has it).
  QcowClusterMap::Place Locate(uint64_t position) const;

  std::vector<void*> chain_;  // libqcow_file_t: the image named, then its backing files
  std::vector<std::string> paths_;  // their files
  std::vector<QcowClusterMap> maps_;  // their tables, as their files hold them
  uint64_t clusterBytes_ = uint64_t{1} << 21;
};

}  // namespace korvalane
