#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvalane {

// What reading an EnCase image end to end found: the hashes it stores, those of its media
// as read now, and the chunks whose bytes no longer match their checksums.
struct EwfVerification {
  std::string Error;             // why the image could not be opened or read; empty when it could
  uint64_t MediaBytes = 0;
  uint32_t BytesPerSector = 0;
  uint32_t SectorsPerChunk = 0;
  std::string StoredMd5;         // hex; empty when the image stores none
  std::string StoredSha1;
  std::string Md5;               // of the media as libewf gives it, damaged chunks included
  std::string Sha1;              // computed only when the image stores a SHA-1
  struct BadChunk {
    uint64_t Chunk;
    uint64_t FirstSector;
    uint64_t Sectors;
  };
  std::vector<BadChunk> BadChunks;  // in media order

  // Each stored hash equals the one computed (an image that stores none has nothing to
  // differ from, as for ewfverify), and no chunk failed its checksum.
  bool Verified() const;
};

// Opens the image (the segment files that follow `path` are found as libewf finds them),
// reads all its media and compares, as ewfverify does. `progress` (may be empty) is
// called with the bytes read so far.
EwfVerification VerifyEwfImage(const std::string& path, const std::function<void(uint64_t done, uint64_t total)>& progress);

}  // namespace korvalane
