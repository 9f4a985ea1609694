#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>

#include "core/hash/Digest.h"

namespace korvalane {

// Feeds a digest on a thread of its own, one block at a time, so that hashing what a copy
// writes overlaps the copy's next read instead of adding to it: SHA-256 of a mebibyte
// takes about as long as reading and writing it from the cache. The caller keeps each
// block it submits unchanged until the next Submit or Finish returns; two buffers used in
// turn are enough, since only one block is ever being hashed.
class DigestPipe {
 public:
  explicit DigestPipe(Digest& digest);
  ~DigestPipe();  // finishes the block in hand
  DigestPipe(const DigestPipe&) = delete;
  DigestPipe& operator=(const DigestPipe&) = delete;

  // Waits until the block submitted before is hashed, then hands this one over.
  void Submit(std::span<const uint8_t> block);
  // Waits until every block submitted is hashed.
  void Finish();

 private:
  void Run();

  Digest& digest_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::span<const uint8_t> block_;
  bool busy_ = false;
  bool closing_ = false;
  std::thread worker_;
};

}  // namespace korvalane
