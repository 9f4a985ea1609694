#include "core/hash/DigestPipe.h"

#include <system_error>

namespace korvalane {

DigestPipe::DigestPipe(std::span<Digest* const> digests) : digests_(digests.begin(), digests.end()) {
  // Where the system gives too few threads, the blocks are hashed as they are submitted.
  try {
    for (Digest* digest : digests_) workers_.emplace_back([this, digest] { Run(*digest); });
  } catch (const std::system_error&) {
    Close();
  }
}

DigestPipe::~DigestPipe() { Close(); }

void DigestPipe::Close() {
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return hashing_ == 0; });
    closing_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

void DigestPipe::Submit(std::span<const uint8_t> block) {
  if (block.empty()) return;
  if (workers_.empty()) {
    for (Digest* digest : digests_) digest->Update(block);
    return;
  }
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return hashing_ == 0; });
    block_ = block;
    hashing_ = workers_.size();
    ++handed_;
  }
  changed_.notify_all();
}

void DigestPipe::Finish() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return hashing_ == 0; });
}

void DigestPipe::Run(Digest& digest) {
  uint64_t taken = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return handed_ != taken || closing_; });
    if (handed_ == taken) return;  // closing, nothing in hand
    taken = handed_;
    const std::span<const uint8_t> block = block_;
    lock.unlock();
    digest.Update(block);
    lock.lock();
    if (--hashing_ == 0) changed_.notify_all();
  }
}

}  // namespace korvalane
