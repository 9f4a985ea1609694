#pragma once

#include <string>

#include "core/fs/FileSystem.h"

namespace korvalane {

// What LUKS and BitLocker volumes share: nothing of them is decrypted, so they show no
// records and have no clusters of their own; each sector stands for a cluster, and the
// whole volume can be browsed.
class EncryptedVolume : public OpenedFileSystem {
 public:
  // `scheme` names the encryption in refusals ("LUKS").
  EncryptedVolume(const FileSystem& type, const char* scheme) : OpenedFileSystem(type), scheme_(scheme) {}

  void Record(uint64_t, ViewText*, Json*, const RecordOptions&, const MessagePump&) const override {}
  Location LocateCluster(uint64_t) const override;

 protected:
  // Probes the sector size and fills VolumeGeometry with every sector of the volume, each
  // one cluster. False, with `problem`, when the volume cannot be read.
  static bool ReadEncryptedGeometry(std::string& problem);

 private:
  const char* scheme_;
};

}  // namespace korvalane
