#include "core/hash/DigestPipe.h"

#include <system_error>

namespace korvalane {

DigestPipe::DigestPipe(Digest& digest) : digest_(digest) {
  // Where the system gives no thread, the blocks are hashed as they are submitted.
  try {
    worker_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
  }
}

DigestPipe::~DigestPipe() {
  if (!worker_.joinable()) return;
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
    closing_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void DigestPipe::Submit(std::span<const uint8_t> block) {
  if (block.empty()) return;
  if (!worker_.joinable()) {
    digest_.Update(block);
    return;
  }
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
    block_ = block;
    busy_ = true;
  }
  changed_.notify_all();
}

void DigestPipe::Finish() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !busy_; });
}

void DigestPipe::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return busy_ || closing_; });
    if (!busy_) return;  // closing, nothing in hand
    const std::span<const uint8_t> block = block_;
    lock.unlock();
    digest_.Update(block);
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace korvalane
