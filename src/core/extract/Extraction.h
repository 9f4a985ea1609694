#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/extract/SafeName.h"
#include "core/fs/FileData.h"
#include "core/rescue/Mapfile.h"
#include "core/text/Json.h"

namespace korvalane {

class OpenedFileSystem;

// The most bytes of a file held in memory at once while it is written, whatever its size.
inline constexpr size_t kExtractChunkBytes = size_t{1} << 20;

struct ExtractProgress {
  uint64_t Files = 0;       // files written so far
  uint64_t TotalFiles = 0;
  uint64_t Bytes = 0;       // bytes written so far
  uint64_t TotalBytes = 0;
};

struct ExtractOptions {
  bool Deleted = false;  // deleted entries below a folder are written too
  bool Tree = false;     // a folder is written with everything below it (else its own entries)
  bool Force = false;    // an existing file in the destination is replaced
  NameRules Rules = HostNameRules();
  // A ddrescue map of the source the drive is read from: bytes in areas it does not mark
  // finished are written as zeros and listed. Its positions are the source's, the drive's
  // first byte at `DriveFirstByte`.
  const Mapfile* Map = nullptr;
  uint64_t DriveFirstByte = 0;
  // Asked before every chunk: true stops the extraction there (the file in hand is listed
  // as stopped).
  std::function<bool()> Stopped;
  // Told after every chunk.
  std::function<void(const ExtractProgress&)> Progress;
};

// A piece of a written file as the report lists it.
struct WrittenPiece {
  uint64_t FileByte = 0;
  uint64_t Length = 0;
  DataPiece::Kind Type = DataPiece::Kind::Sectors;
  uint64_t Sector = 0;  // the first, for Sectors
};

struct ExtractedFile {
  FileEntry Entry;
  std::string Written;  // its path below the destination, "/"-separated (UTF-8)
  DataGrade Grade = DataGrade::Exact;
  std::vector<WrittenPiece> Pieces;
  std::vector<FileByteRange> Unreadable;   // written as zeros: read errors, or not finished in the map
  std::vector<FileByteRange> Overwritten;  // owned by another file since
  std::vector<std::string> Problems;
  std::string Sha256;                      // of the bytes written, empty where none was taken
  uint64_t BytesWritten = 0;
  bool Complete = false;                   // every byte of it is in the destination
  bool TimesSet = false;
  std::string Failure;                     // why it was not written (whole), empty when it was
};

struct RenamedEntry {
  std::string From;  // the path on the volume
  std::string To;    // below the destination
  std::string Why;
};

struct ExtractReport {
  std::string Destination;
  std::vector<ExtractedFile> Files;  // folders too, in the order they were written
  std::vector<RenamedEntry> Renamed;
  std::vector<std::string> Problems;  // loops, shared sectors, folders that could not be made
  bool Stopped = false;
  uint64_t FilesWritten = 0;
  uint64_t BytesWritten = 0;
};

// Writes `what` (files and folders of `volume`, as its FindFiles gave them) under
// `destination`, each at its own name; a folder with its entries, with `Tree` with all
// below them. Never writes into a file the current drive is read from, nor replaces a
// file without `Force`, nor follows a folder or a sector met before a second time.
ExtractReport ExtractFiles(const OpenedFileSystem& volume, const std::vector<FileEntry>& what,
                           const std::filesystem::path& destination, const ExtractOptions& options);

// The report as JSON: the destination, every file with its source, grade, pieces,
// unreadable and overwritten ranges and SHA-256, the names changed, the problems.
Json ExtractReportJson(const ExtractReport& report);

}  // namespace korvalane
