#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/Platform.h"
#include "core/export/ExportRange.h"
#include "core/export/RescueMap.h"
#include "core/hash/Digest.h"

namespace korvalane {

// True while a copy runs. Set just before a copy starts, cleared when it ends, and cleared
// by a confirmed Stop from inside the copy's pump: the running copy and the Stop command
// talk through nothing else. There is one user-interface thread, so a plain flag serves.
extern bool ExportBusy;

// The largest range copied with a single read (50 MiB); anything longer goes in chunks,
// so a copy never holds more sector data than this.
inline constexpr uint64_t kOneReadLimit = 52428800;

// The most a chunk reads at once (whole sectors of it). Chunks begin at multiples of their
// sector count on the volume, so that a chunk covers whole pages of the system's cache and
// a bad sector spoils the read of one chunk only.
inline constexpr uint64_t kChunkBytes = 1048576;

// True when `file` is the very file or device the drive's bytes come from: exporting a
// volume into its own image would overwrite what is being read.
bool IsDriveSource(const std::filesystem::path& file, std::string_view drive);

// The output file of an export: raw sector bytes, no header, no trailer. Writes are
// gathered into large blocks, so a copy of one small sector at a time does not cost a
// system call per sector. A failed write or close is remembered and reported by Close.
class ExportFile {
 public:
  ExportFile();
  ExportFile(const ExportFile&) = delete;
  ExportFile& operator=(const ExportFile&) = delete;

  // Creates the file, or empties an existing one. An existing file is only touched when
  // it can be opened for writing, so a failed create leaves it as it was. A FIFO or a
  // socket is refused: opening one for writing waits for a reader that may never come.
  bool Create(const std::filesystem::path& path);

  // Appends bytes; false once any write has failed (the bytes are then dropped).
  bool Write(std::span<const uint8_t> bytes);

  // Has the system copy `length` bytes at byte `position` of the drive into the file
  // (Platform::CopyVolumeToFile), without them passing through this program. Only a file
  // that is open and still empty is given to the system; anything else is Refused. A
  // Failed copy leaves nothing in the file that a later Write does not overwrite.
  VolumeCopy CopyFromVolume(std::string_view drive, uint64_t position, uint64_t length);

  // Writes what is gathered and closes the file; false when that or any earlier write
  // failed. Closing a file that is not open answers true.
  bool Close();

  bool IsOpen() const { return out_.is_open(); }
  bool Failed() const { return failed_; }
  // The bytes the system has taken so far; a failed write counts for nothing, whatever
  // part of it reached the file.
  uint64_t BytesWritten() const { return written_; }
  // Why the create, a write or the close failed, in the system's words ("No space left on
  // device"); empty when nothing failed or the system did not say.
  const std::string& FailureReason() const { return reason_; }

 private:
  bool Flush();
  bool WriteThrough(std::span<const uint8_t> bytes);
  void NoteFailure();

  std::ofstream out_;
  std::filesystem::path path_;
  std::vector<uint8_t> pending_;  // reserved once; never grows past its capacity
  uint64_t written_ = 0;
  bool failed_ = false;
  std::string reason_;
};

// How a copy called back into its caller while it ran.
struct CopyHooks {
  // Run before every chunk, and before every further sector of a chunk that is copied
  // sector by sector. The user interface handles its events here; a confirmed Stop clears
  // ExportBusy inside it. May be empty.
  std::function<void()> Pump;
  // Shows the progress: called with an even percentage whenever the shown one would
  // change (an odd percentage leaves the last one in place). May be empty.
  std::function<void(int32_t percent)> ShowPercent;
  // Where the copy's buffer (the one read's, or the chunks') comes from, 4096-aligned;
  // the default heap when null. A caller that can hand out memory backed by large pages
  // spares the system a page fault for every 4 KiB of a 50 MiB buffer.
  std::pmr::memory_resource* BufferMemory = nullptr;
  // False: the range goes in chunks whatever its length, never in one read. For a hash,
  // which writes no file: its chunks are read while the last one is hashed, where one
  // read would have the digest wait for the whole range before it starts.
  bool OneRead = true;
  // Takes the copy's bytes, in order, instead of the file when set (a hash of the range
  // reads exactly what an export would write); false refuses them as a failed write does.
  std::function<bool(std::span<const uint8_t> bytes)> Sink;
  // Also given every byte handed to the file (or the sink), in order, zeros of unreadable
  // sectors included, each on a thread of its own while the copy reads on; complete when
  // the copy returns. Only a copy that ends Complete has handed over the whole range.
  std::vector<Digest*> Digests;
};

enum class CopyEnd {
  Complete,     // every sector of the range was written
  Stopped,      // ExportBusy was cleared: the sectors before the stop are written
  WriteFailed,  // the output refused a write; the copy gave up at once
};

struct CopyOutcome {
  CopyEnd End = CopyEnd::Complete;
  bool OneRead = false;             // the whole range came in with a single read
  uint64_t SectorsWritten = 0;      // sectors handed to the file, unreadable ones included
  UnreadableSectors Unreadable;     // written as zeros because they could not be read
};

// The percentage shown before copying sector `start + done` of `count`: done x 100 / count
// in floating point, rounded to the nearest integer with halves to the even neighbour.
int32_t CopyPercent(uint64_t done, uint64_t count);

// Copies the sectors of `range` of CurrentDrive, at BytesPerSector bytes a sector, into
// `file`. A range of up to kOneReadLimit bytes is first tried with a single read and a
// single write (no pump, no progress); where nothing but the file takes the bytes (no
// sink, no digest), the system is asked first to copy the range into the file by itself
// (ExportFile::CopyFromVolume), which spares the program a 50 MiB buffer and a copy
// through it; where it refuses, the range is read into the buffer as said. A copy of the
// system's that fails is a failed one read. When that is not possible or the read fails, the
// range goes in chunks of up to kChunkBytes, in ascending order, one read each; before
// each chunk the pump runs, a cleared ExportBusy ends the copy, and the progress is shown.
// Only a chunk that cannot be read is read again sector by sector, past the system's
// cache (so that a bad sector spoils no neighbour that shares its page), with the pump,
// the stop and the progress before each further sector. An unreadable sector is written as
// zeros so that every later sector keeps its offset ((s - start) x BytesPerSector): the
// file holds exactly what a copy of one sector at a time would. With digests the
// chunks are read into two buffers in turn, so that one is hashed while the other is
// read and written. The file is left open; the caller closes it.
CopyOutcome CopySectorRange(SectorRange range, ExportFile& file, const CopyHooks& hooks);

}  // namespace korvalane
