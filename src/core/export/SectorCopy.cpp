#include "core/export/SectorCopy.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <optional>
#include <system_error>

#include "core/Platform.h"
#include "core/hash/DigestPipe.h"
#include "core/text/NumberFormat.h"
#include "core/text/Utf.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {

bool ExportBusy = false;

namespace {

// Sector-sized writes are gathered up to this many bytes before they go to the file ...
constexpr size_t kWriteBlock = size_t{1} << 20;
// ... and writes of this many bytes or more (chunks) go straight to it.
constexpr size_t kWriteThrough = size_t{64} << 10;

// The buffer of a one-read copy or of the chunks, given back when the copy is done. It
// starts on a page boundary: the system copies into and out of it a good deal faster
// than into memory a few bytes off (measured: about a tenth of a 200 MiB export's time),
// and a read past the cache can use it as it is.
class SectorBuffer {
 public:
  static constexpr size_t kAlignment = 4096;

  SectorBuffer(size_t size, std::pmr::memory_resource* memory)
      : memory_(memory != nullptr ? memory : std::pmr::new_delete_resource()),
        size_(size),
        data_(static_cast<uint8_t*>(memory_->allocate(size, kAlignment))) {}
  ~SectorBuffer() { memory_->deallocate(data_, size_, kAlignment); }
  SectorBuffer(const SectorBuffer&) = delete;
  SectorBuffer& operator=(const SectorBuffer&) = delete;

  std::span<uint8_t> Bytes() const { return {data_, size_}; }

 private:
  std::pmr::memory_resource* memory_;
  size_t size_;
  uint8_t* data_;
};

}  // namespace

bool IsDriveSource(const std::filesystem::path& file, std::string_view drive) {
  for (const std::string& source : CurrentPlatform().DriveFiles(drive)) {
    if (source.empty()) continue;
    // Only two things that exist can be the same; a new file cannot be anybody's source.
    // Any other spelling of the same file (a link, "./", another mount) is caught by
    // comparing the files themselves rather than their names.
    std::error_code error;
    if (std::filesystem::equivalent(file, PathFromUtf8(source), error) && !error) return true;
  }
  return false;
}

ExportFile::ExportFile() {
  // The stream itself stays unbuffered: this class gathers the writes, and a large block
  // (a whole one-read range) goes straight to the file without another copy.
  out_.rdbuf()->pubsetbuf(nullptr, 0);
}

bool ExportFile::Create(const std::filesystem::path& path) {
  Close();
  failed_ = false;
  written_ = 0;
  reason_.clear();
  std::error_code error;
  const std::filesystem::file_type type = std::filesystem::status(path, error).type();
  if (type == std::filesystem::file_type::fifo || type == std::filesystem::file_type::socket) {
    reason_ = "a FIFO or socket, not a file";
    return false;
  }
  out_.clear();
  errno = 0;
  out_.open(path, std::ios::binary | std::ios::out | std::ios::trunc);
  if (!out_.is_open()) NoteFailure();
  path_ = out_.is_open() ? path : std::filesystem::path();
  return out_.is_open();
}

VolumeCopy ExportFile::CopyFromVolume(std::string_view drive, uint64_t position, uint64_t length) {
  // The system writes the file through a descriptor of its own from the first byte on:
  // only a file that nothing has been written to yet (the stream's offset is 0 too) can
  // take that.
  if (failed_ || !out_.is_open() || written_ != 0 || !pending_.empty() || path_.empty()) return VolumeCopy::Refused;
  const VolumeCopy copy = CurrentPlatform().CopyVolumeToFile(drive, position, length, path_);
  if (copy == VolumeCopy::Copied) written_ += length;
  return copy;
}

// The stream is unbuffered, so a failed open, write or close is the system call's own,
// and errno still says why.
void ExportFile::NoteFailure() {
  failed_ = true;
  if (reason_.empty() && errno != 0) reason_ = std::generic_category().message(errno);
}

bool ExportFile::WriteThrough(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return true;
  errno = 0;
  out_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out_) NoteFailure();
  if (!failed_) written_ += bytes.size();
  return !failed_;
}

bool ExportFile::Flush() {
  const bool ok = WriteThrough(pending_);
  pending_.clear();
  return ok;
}

bool ExportFile::Write(std::span<const uint8_t> bytes) {
  if (failed_ || !out_.is_open()) {
    failed_ = true;
    return false;
  }
  if (bytes.size() >= kWriteThrough) return Flush() && WriteThrough(bytes);
  if (pending_.capacity() < kWriteBlock) pending_.reserve(kWriteBlock);
  if (pending_.size() + bytes.size() > kWriteBlock && !Flush()) return false;
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  return true;
}

bool ExportFile::Close() {
  if (!out_.is_open()) return !failed_;
  if (!failed_) Flush();
  errno = 0;
  out_.close();
  if (out_.fail()) NoteFailure();
  pending_.clear();
  pending_.shrink_to_fit();
  path_.clear();
  return !failed_;
}

int32_t CopyPercent(uint64_t done, uint64_t count) {
  if (count == 0) return 0;
  // The product is exact in 64 bits for any range below 2^57 sectors; beyond, floating
  // point is as near as the percentage can tell anyway.
  const double product = done <= UINT64_MAX / 100 ? static_cast<double>(done * 100) : static_cast<double>(done) * 100.0;
  return static_cast<int32_t>(RoundHalfEven(product / static_cast<double>(count)));
}

CopyOutcome CopySectorRange(SectorRange range, ExportFile& file, const CopyHooks& hooks) {
  CopyOutcome outcome;
  const int32_t bytesPerSector = Geometry().BytesPerSector;
  const uint64_t bytes = RangeBytes(range, bytesPerSector);
  if (bytes == 0) return outcome;  // an empty range (or no sector size): an empty file
  const size_t sectorBytes = static_cast<uint32_t>(bytesPerSector);
  const uint64_t count = range.Count();

  std::optional<SectorBuffer> whole;
  std::optional<SectorBuffer> chunks;
  // Declared after the buffers, so that it has finished with them before they go.
  std::optional<DigestPipe> pipe;
  if (!hooks.Digests.empty()) pipe.emplace(hooks.Digests);
  // The digest reads a block while the file takes it: both only read the buffer.
  const auto put = [&](std::span<const uint8_t> bytes) {
    if (pipe) pipe->Submit(bytes);
    return hooks.Sink ? hooks.Sink(bytes) : file.Write(bytes);
  };

  bool oneReadFailed = false;
  if (hooks.OneRead && bytes <= kOneReadLimit && !pipe && !hooks.Sink && range.Start <= UINT64_MAX / sectorBytes) {
    // The range as a whole, by the system itself: no buffer here, no copy through it.
    switch (file.CopyFromVolume(Geometry().CurrentDrive, range.Start * sectorBytes, bytes)) {
      case VolumeCopy::Copied:
        outcome.OneRead = true;
        outcome.SectorsWritten = count;
        return outcome;
      case VolumeCopy::Failed:
        // As a failed one read: nothing kept, and the chunks copy what can be read.
        oneReadFailed = true;
        break;
      case VolumeCopy::Refused:
        break;
    }
  }
  if (hooks.OneRead && bytes <= kOneReadLimit && !oneReadFailed) {
    // ReadSectors zero-fills the buffer itself, so it is not cleared here a second time.
    whole.emplace(static_cast<size_t>(bytes), hooks.BufferMemory);
    if (ReadSectors(range.Start, whole->Bytes())) {
      outcome.OneRead = true;
      if (!put(whole->Bytes())) {
        outcome.End = CopyEnd::WriteFailed;
        return outcome;
      }
      outcome.SectorsWritten = count;
      return outcome;
    }
    // The one read failed and nothing was written: go in chunks, so that every sector
    // that can be read still is.
    oneReadFailed = true;
  }

  // A sector larger than a chunk still makes a chunk of one sector.
  const uint64_t chunkSectors = std::max<uint64_t>(1, kChunkBytes / sectorBytes);
  // The one-read buffer, when there is one, holds the chunks too: no second allocation.
  // A digest needs two chunk buffers, read in turn: one is hashed while the next chunk
  // comes into the other.
  const size_t chunkBufferBytes = static_cast<size_t>(chunkSectors) * sectorBytes;
  const size_t buffersWanted = pipe ? 2 : 1;
  if (!whole || whole->Bytes().size() < buffersWanted * chunkBufferBytes) {
    whole.reset();
    chunks.emplace(buffersWanted * chunkBufferBytes, hooks.BufferMemory);
  }
  const std::span<uint8_t> buffers = whole ? whole->Bytes() : chunks->Bytes();
  size_t turn = 0;

  int32_t shown = -1;
  const auto showProgress = [&](uint64_t done) {
    const int32_t percent = CopyPercent(done, count);
    if (percent % 2 == 0 && percent != shown) {
      shown = percent;
      if (hooks.ShowPercent) hooks.ShowPercent(percent);
    }
  };
  const auto stopped = [&] {
    if (hooks.Pump) hooks.Pump();
    return !ExportBusy;
  };
  // Hands the first `sectors` sectors of the chunk to the file.
  const auto write = [&](std::span<const uint8_t> chunk, uint64_t sectors) {
    if (!put(chunk.first(static_cast<size_t>(sectors) * sectorBytes))) {
      outcome.End = CopyEnd::WriteFailed;
      return false;
    }
    outcome.SectorsWritten += sectors;
    return true;
  };

  uint64_t s = range.Start;
  while (s < range.End) {
    const uint64_t sectors = std::min(chunkSectors - s % chunkSectors, range.End - s);
    if (stopped()) {
      outcome.End = CopyEnd::Stopped;
      return outcome;
    }
    showProgress(s - range.Start);
    const std::span<uint8_t> chunk =
        buffers.subspan(turn * chunkBufferBytes, static_cast<size_t>(sectors) * sectorBytes);
    turn = (turn + 1) % buffersWanted;
    // A chunk that is the whole range has just failed as the one read.
    const bool failedAlready = oneReadFailed && sectors == count;
    if (!failedAlready && ReadSectors(s, chunk)) {
      if (!write(chunk, sectors)) return outcome;
      s += sectors;
      continue;
    }

    // Sector by sector, each read past the cache: a cached read of one sector fetches
    // (and fails for) the whole page around a bad neighbour.
    for (uint64_t i = 0; i < sectors; ++i) {
      if (i != 0) {
        if (stopped()) {
          outcome.End = CopyEnd::Stopped;
          write(chunk, i);
          return outcome;
        }
        showProgress(s + i - range.Start);
      }
      const std::span<uint8_t> sector = chunk.subspan(static_cast<size_t>(i) * sectorBytes, sectorBytes);
      if (!ReadSectorsDirect(s + i, sector)) {
        // A failed read may have left part of a sector behind: the file gets zeros.
        std::fill(sector.begin(), sector.end(), uint8_t{0});
        outcome.Unreadable.Add(s + i);
      }
    }
    if (!write(chunk, sectors)) return outcome;
    s += sectors;
  }
  return outcome;
}

}  // namespace korvalane
