#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "core/hash/Digest.h"

namespace korvalane {

// Feeds digests on threads of their own, one block at a time, so that hashing what a copy
// hands over overlaps the copy's next read instead of adding to it: SHA-256 of a mebibyte
// takes about as long as reading and writing it from the cache. Each digest has its own
// thread, so that several digests of one block are taken side by side on a processor
// with cores to spare, in about the time of the slowest. The caller keeps each block it
// submits unchanged until the next Submit or Finish returns; two buffers used in turn are
// enough, since only one block is ever being hashed.
class DigestPipe {
 public:
  explicit DigestPipe(std::span<Digest* const> digests);
  ~DigestPipe();  // finishes the block in hand
  DigestPipe(const DigestPipe&) = delete;
  DigestPipe& operator=(const DigestPipe&) = delete;

  // Waits until every digest has the block submitted before, then hands this one over.
  void Submit(std::span<const uint8_t> block);
  // Waits until every block submitted is hashed.
  void Finish();

 private:
  void Run(Digest& digest);
  void Close();

  std::vector<Digest*> digests_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::span<const uint8_t> block_;
  uint64_t handed_ = 0;  // blocks handed over so far; a thread hashes each new one
  size_t hashing_ = 0;   // threads still hashing the block in hand
  bool closing_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace korvalane
