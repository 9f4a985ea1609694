#include "platform/posix/EwfVerify.h"

#include <libewf.h>

#include <algorithm>
#include <array>
#include <map>
#include <memory>

#include "core/hash/Digest.h"

namespace korvalane {
namespace {

// The media is read in blocks of whole chunks: libewf checks a chunk's checksum as it
// reads it, and a block of whole chunks never reads one twice.
constexpr size_t kBlockBytes = size_t{1} << 20;

std::string TakeError(libewf_error_t*& error) {
  if (error == nullptr) return "libewf gave no reason";
  std::array<char, 512> text{};
  const int length = libewf_error_sprint(error, text.data(), text.size());
  libewf_error_free(&error);
  return length > 0 ? std::string(text.data()) : "libewf gave no reason";
}

// The handle and the names libewf's glob made, released however the verification ends.
struct Image {
  libewf_handle_t* Handle = nullptr;
  char** Names = nullptr;
  int Count = 0;
  ~Image() {
    if (Handle != nullptr) {
      libewf_handle_close(Handle, nullptr);
      libewf_handle_free(&Handle, nullptr);
    }
    if (Names != nullptr) libewf_glob_free(Names, Count, nullptr);
  }
};

}  // namespace

bool EwfVerification::Verified() const {
  if (!Error.empty() || !BadChunks.empty()) return false;
  if (!StoredMd5.empty() && StoredMd5 != Md5) return false;
  return StoredSha1.empty() || StoredSha1 == Sha1;
}

EwfVerification VerifyEwfImage(const std::string& path, const std::function<void(uint64_t, uint64_t)>& progress) {
  EwfVerification result;
  if (!DigestsAvailable()) {
    result.Error = "this build has no digest library (Nettle)";
    return result;
  }
  Image image;
  libewf_error_t* error = nullptr;
  if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &image.Names, &image.Count, &error) != 1 ||
      image.Count <= 0) {
    result.Error = TakeError(error);
    return result;
  }
  if (libewf_handle_initialize(&image.Handle, &error) != 1 ||
      libewf_handle_open(image.Handle, image.Names, image.Count, LIBEWF_OPEN_READ, &error) != 1) {
    result.Error = TakeError(error);
    return result;
  }
  libewf_handle_t* handle = image.Handle;
  size64_t mediaBytes = 0;
  if (libewf_handle_get_media_size(handle, &mediaBytes, &error) != 1 ||
      libewf_handle_get_bytes_per_sector(handle, &result.BytesPerSector, &error) != 1 ||
      libewf_handle_get_sectors_per_chunk(handle, &result.SectorsPerChunk, &error) != 1) {
    result.Error = TakeError(error);
    return result;
  }
  result.MediaBytes = mediaBytes;
  // A chunk that fails its checksum is hashed with the bytes it holds, not as zeros, as
  // ewfverify hashes it by default: the calculated hash then tells the same story.
  if (libewf_handle_set_read_zero_chunk_on_error(handle, 0, &error) != 1) libewf_error_free(&error);

  std::array<uint8_t, 16> md5{};
  if (libewf_handle_get_md5_hash(handle, md5.data(), md5.size(), &error) == 1) result.StoredMd5 = HexBytes(md5);
  if (error != nullptr) libewf_error_free(&error);
  std::array<uint8_t, 20> sha1{};
  if (libewf_handle_get_sha1_hash(handle, sha1.data(), sha1.size(), &error) == 1) result.StoredSha1 = HexBytes(sha1);
  if (error != nullptr) libewf_error_free(&error);

  Digest md5Digest(DigestKind::Md5);
  Digest sha1Digest(DigestKind::Sha1);
  const bool wantSha1 = !result.StoredSha1.empty();
  const uint64_t chunkBytes = uint64_t{result.SectorsPerChunk} * result.BytesPerSector;
  const size_t blockBytes =
      chunkBytes == 0 || chunkBytes > kBlockBytes ? kBlockBytes : static_cast<size_t>(kBlockBytes / chunkBytes * chunkBytes);
  std::unique_ptr<uint8_t[]> block(new uint8_t[blockBytes]);
  uint64_t done = 0;
  while (done < result.MediaBytes) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(blockBytes, result.MediaBytes - done));
    const ssize_t got = libewf_handle_read_random(handle, block.get(), want, static_cast<off64_t>(done), &error);
    if (got <= 0) {
      // A read that fails outright (a segment file gone unreadable) ends the check.
      result.Error = "reading byte " + std::to_string(done) + " of the media failed: " + TakeError(error);
      return result;
    }
    const std::span<const uint8_t> bytes(block.get(), static_cast<size_t>(got));
    md5Digest.Update(bytes);
    if (wantSha1) sha1Digest.Update(bytes);
    done += static_cast<uint64_t>(got);
    if (progress) progress(done, result.MediaBytes);
  }
  result.Md5 = md5Digest.Hex();
  if (wantSha1) result.Sha1 = sha1Digest.Hex();

  // libewf notes every chunk it found damaged as a range of sectors; merged into whole
  // chunks here, each named once.
  uint32_t count = 0;
  if (libewf_handle_get_number_of_checksum_errors(handle, &count, &error) != 1) {
    result.Error = TakeError(error);
    return result;
  }
  std::map<uint64_t, uint64_t> sectorsByStart;
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t first = 0;
    uint64_t sectors = 0;
    if (libewf_handle_get_checksum_error(handle, i, &first, &sectors, &error) != 1) {
      libewf_error_free(&error);
      continue;
    }
    uint64_t& known = sectorsByStart[first];
    known = std::max(known, sectors);
  }
  for (const auto& [first, sectors] : sectorsByStart) {
    const uint64_t chunk = result.SectorsPerChunk != 0 ? first / result.SectorsPerChunk : 0;
    result.BadChunks.push_back({chunk, first, sectors});
  }
  return result;
}

}  // namespace korvalane
