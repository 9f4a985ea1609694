#pragma once

#include <cstdint>
#include <fstream>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/Source.h"

namespace korvalane {

// A source whose bytes only a library can give: an EWF, VMDK, VHD/VHDX or QCOW image, or
// a split raw set. The media it presents is the disk inside, not the container's own file.
//
// A container is opened once, when the drive table is built, and kept open for the
// program's life: opening one parses its tables (an E01 of a large disk holds tens of
// thousands of chunk offsets), which costs far more than one sector read, and every view
// reads sector by sector. Nothing is ever written: every library is given read access
// only. Reads may come from several threads (a search or an export beside the window):
// one read at a time goes to the library and the block read ahead.
//
// A container that cannot be opened (a missing segment, extent or parent, a damaged
// header) is still a source: its OpenError says why, naming the file, and it has no size.
class ContainerSource : public Source {
 public:
  const std::string& Name() const override { return name_; }
  // Reads exactly buffer.size() bytes within the media; false when any of them cannot be
  // had. There is no page cache to bypass, so `direct` changes nothing.
  bool Read(uint64_t position, std::span<uint8_t> buffer, bool direct) override;
  int64_t Size() override { return error_.empty() ? mediaSize_ : -1; }
  std::string OpenError() override { return error_; }
  uint32_t SectorSize() const override { return sectorSize_; }
  std::string FormatDescription() const override { return format_; }
  std::string Damage() const override { return damage_; }
  std::vector<std::string> Files() const override;
  void Release() override;

 protected:
  ContainerSource(std::string name, std::string format) : format_(std::move(format)), name_(std::move(name)) {}

  // Reads up to buffer.size() bytes at `position` of the media (within it); the count
  // read, or -1 when the library cannot give them.
  virtual int64_t ReadMedia(uint64_t position, std::span<uint8_t> buffer) = 0;

  // The container is open with a media of `mediaSize` bytes. The sector size: the one
  // asked for (`imageSectorSize`, when supported), else the one the format stores
  // (`storedSectorSize`, 0 when it stores none), else the one the media's content
  // declares, as for a raw image.
  void Opened(uint64_t mediaSize, uint32_t storedSectorSize, uint32_t imageSectorSize);
  // The container cannot be opened: why, in one line for the user.
  void Failed(std::string why) { error_ = why.empty() ? std::string("cannot be opened") : std::move(why); }
  bool IsOpen() const { return error_.empty(); }
  // Whether the next file of a chain of parents (or backing files) can be opened: the
  // chain no longer than 16, the file there. Otherwise Failed says why: `what` in front,
  // `chain` and `file` naming them ("parent disks", "parent file").
  bool CanFollow(const std::string& next, size_t depth, const std::string& what, const char* chain, const char* file);

  // Lets go of files a read keeps open beside the library's handle (none but a split
  // set's segment). Called with the read lock held.
  virtual void ReleaseFiles() {}

  // Reads exactly buffer.size() bytes of the media through ReadMedia.
  bool ReadExactly(uint64_t position, std::span<uint8_t> buffer);

  std::string format_;  // FormatDescription, set as the container is opened
  std::string damage_;  // Damage, set as the container is opened
  bool readAhead_ = true;  // small reads are served from a block read ahead
  std::vector<std::string> files_;  // the container's files, as far as they were found

 private:
  std::mutex mutex_;  // one read at a time, of the library and of the block below
  std::string name_;
  std::string error_ = "not opened";
  int64_t mediaSize_ = -1;
  uint32_t sectorSize_ = 512;
  // The last block read ahead: small reads (a sector at a time, as an export of a long
  // range reads) are served from it, as every library call costs far more than a copy.
  // The container is never written while it is open, and its tables are held from the
  // open anyway, so keeping its bytes adds nothing that could go stale.
  std::vector<uint8_t> block_;
  uint64_t blockStart_ = 0;
  bool blockValid_ = false;
  std::optional<uint64_t> failedBlock_;  // the last block that could not be read whole
};

// How much of its tables a container's check for damage reads at most, beyond the
// directory that points to them, so that listing the drives stays fast on a large one.
// The tables are read from the file's end backward: a copy cut short loses its last
// ones, which point the farthest.
constexpr uint64_t kDamageCheckBytes = 1 << 20;

// The damage of tables that point past the file's end, as the drive list says it.
std::string PointsPastEnd(uint64_t fileSize);

// Whether `bytes` bytes at `at` reach past the end of a file of `fileSize` bytes.
inline bool PastEnd(uint64_t fileSize, uint64_t at, uint64_t bytes) { return at > fileSize || bytes > fileSize - at; }

// A big-endian field of `width` bytes at `at` (QCOW's and VHD's); the bytes past the
// buffer's end count for nothing.
uint64_t ReadBe(std::span<const uint8_t> bytes, size_t at, size_t width);

// A container's file, read on its own to check the tables the library was given: what
// the library keeps to itself (where its tables point) is read here from the file.
class TableFile {
 public:
  explicit TableFile(const std::string& path);
  bool IsOpen() const { return static_cast<bool>(in_); }
  uint64_t Size() const { return size_; }
  // Whether the file holds all `bytes` bytes at `at`.
  bool Holds(uint64_t at, uint64_t bytes) const { return !PastEnd(size_, at, bytes); }
  // Exactly buffer.size() bytes at `position`; false when the file does not hold them.
  bool Read(uint64_t position, std::span<uint8_t> buffer);

 private:
  std::ifstream in_;
  uint64_t size_ = 0;
};

// The text before the first NUL: libyal libraries hand out names with room to spare.
std::string UpToNul(std::string text);

// The folder part of a path ("." for a bare name), and a path joined to it.
std::string FolderOf(const std::string& path);
std::string InFolder(const std::string& folder, const std::string& name);
bool FileExists(const std::string& path);

// The one-line reason a libyal library gives in its error backtrace: the innermost
// message (the most specific), without the function name in front of it.
std::string LibraryReason(const std::string& backtrace);

// The reason in a libyal error (all of them share this shape), and the error freed.
template <typename Error>
std::string TakeReason(Error*& error, int (*backtrace)(Error*, char*, size_t), void (*free)(Error**)) {
  if (error == nullptr) return {};
  std::string text(4096, '\0');
  if (backtrace(error, text.data(), text.size()) <= 0) text.clear();
  free(&error);
  return LibraryReason(UpToNul(std::move(text)));
}

}  // namespace korvalane
