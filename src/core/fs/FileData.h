#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalane {

// How sure the bytes of a file given back are to be the file's.
enum class DataGrade {
  Exact,        // a live file's own map, or a deleted one whose map still stands whole
  ChainIntact,  // a deleted file whose chain or runs are still there as they were
  FromJournal,  // a deleted file's map found again in an older copy kept by the journal
  Guessed,      // a deleted file's pieces chosen where more than one choice was possible
  Partial,      // only some of the file's bytes could be placed
};

// "exact", "chain intact", "from the journal", "guessed", "partial".
std::string_view GradeName(DataGrade grade);

// A time of a file, in nanoseconds since 1970-01-01 UTC.
using FileTime = int64_t;

struct FileTimes {
  std::optional<FileTime> Modified;
  std::optional<FileTime> Accessed;
  std::optional<FileTime> Created;
  std::optional<FileTime> Changed;  // of the record (ext's ctime, NTFS's MFT change time)
};

// One file or folder as its file system names it, live or deleted.
struct FileEntry {
  std::string Path;        // from the root, "/"-separated, UTF-8: "/DOCS/notes.txt"; "/" for the root
  std::string Name;        // the last part of the path as stored (empty for the root)
  uint64_t Record = 0;     // what the file system finds it again by: an inode, an MFT record, an entry's byte
  std::string RecordText;  // the same for the user: "inode 12", "MFT record 40", "entry at byte 16448"
  uint64_t Size = 0;
  FileTimes Times;
  std::string Attributes;  // as the file system shows them ("-rw-r--r-- uid 0 gid 0", "archive")
  bool Folder = false;
  bool Deleted = false;
  bool Symlink = false;    // its data is the link's target
};

// One piece of a file's data, in file order.
struct DataPiece {
  enum class Kind {
    Sectors,  // `Length` bytes from the first byte of sector `Sector` on
    Hole,     // `Length` zero bytes that the file system stores nowhere (sparse, uninitialised)
    Bytes,    // the bytes themselves, held in the record (resident, inline, a fast symlink)
  };
  Kind Type = Kind::Sectors;
  uint64_t Length = 0;
  uint64_t Sector = 0;
  std::vector<uint8_t> Bytes;
};

// A range of a file's bytes, [First, First + Length).
struct FileByteRange {
  uint64_t First = 0;
  uint64_t Length = 0;
};

// Where a file's bytes are, as its file system's map says, and how sure that is.
struct FileData {
  std::vector<DataPiece> Pieces;  // their lengths add up to the bytes that can be given
  DataGrade Grade = DataGrade::Exact;
  // File bytes that another file now owns (a deleted file's clusters taken since).
  std::vector<FileByteRange> Overwritten;
  std::vector<std::string> Problems;  // what was wrong with the map, one line each
};

// One run of a file's map: `Length` bytes from file byte `FileByte` on, at sector
// `Sector`, or zeros stored nowhere (sparse, uninitialised).
struct MappedRun {
  uint64_t FileByte = 0;
  uint64_t Length = 0;
  uint64_t Sector = 0;
  bool Zeros = false;
};

// The pieces of a file of `size` bytes from its runs (in any order): holes before,
// between and after them, nothing past the size; a run over bytes mapped already is
// named in the problems and left out.
void AddMappedPieces(std::vector<MappedRun> runs, uint64_t size, FileData& data);

// What to look for among a volume's files.
struct FileQuery {
  enum class By {
    Path,      // `Path`, from the root
    Record,    // `Record`, as FileEntry::Record numbers it
    Children,  // the entries of the folder `Record`, whose path is `Path`
  };
  By Kind = By::Path;
  std::string Path;
  uint64_t Record = 0;
  bool Deleted = false;  // deleted entries are found and listed too
};

struct FileLookup {
  std::vector<FileEntry> Entries;
  std::string Why;  // why nothing was found, where nothing was
};

// The last part of a "/"-separated path ("" for "/").
std::string LastPathPart(std::string_view path);

// `folder` + "/" + `name`, with one slash between them whatever `folder` ends in.
std::string JoinPath(std::string_view folder, std::string_view name);

// The parts of a "/"-separated path, empty parts left out.
std::vector<std::string> PathParts(std::string_view path);

}  // namespace korvalane
