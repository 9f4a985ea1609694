#include "core/extract/Extraction.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <system_error>

#include "core/Platform.h"
#include "core/export/SectorCopy.h"
#include "core/fs/FileSystem.h"
#include "core/hash/Digest.h"
#include "core/hash/DigestPipe.h"
#include "core/text/IsoTime.h"
#include "core/text/Utf.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

namespace fs = std::filesystem;

// Adds a range of a file's bytes to a list kept in order, joined to the last where they touch.
void AddRange(std::vector<FileByteRange>& ranges, uint64_t first, uint64_t length) {
  if (length == 0) return;
  if (!ranges.empty() && ranges.back().First + ranges.back().Length == first) {
    ranges.back().Length += length;
    return;
  }
  ranges.push_back(FileByteRange{first, length});
}

// One file or folder to be written, planned before anything is.
struct Planned {
  FileEntry Entry;
  fs::path Target;
  std::string Relative;
};

// The sectors files written so far have been read from, to name a second file that
// claims them (a cross-link, or a deleted file's clusters that a live one has now).
class SectorClaims {
 public:
  // The path of a file written before whose sectors overlap [first, end), if any; the
  // range is then taken for `path` where free.
  std::optional<std::string> Claim(uint64_t first, uint64_t end, const std::string& path) {
    std::optional<std::string> other;
    auto it = claims_.upper_bound(first);
    if (it != claims_.begin()) --it;
    for (; it != claims_.end() && it->first < end; ++it) {
      if (it->second.End > first) {
        other = it->second.Path;
        break;
      }
    }
    if (!other) claims_[first] = Claim_{end, path};
    return other;
  }

 private:
  struct Claim_ {
    uint64_t End;
    std::string Path;
  };
  std::map<uint64_t, Claim_> claims_;
};

class Extractor {
 public:
  Extractor(const OpenedFileSystem& volume, const fs::path& destination, const ExtractOptions& options)
      : volume_(volume), destination_(destination), options_(options) {
    report_.Destination = PathToUtf8(destination);
    const VolumeGeometry& g = Geometry();
    sectorBytes_ = g.BytesPerSector > 0 ? static_cast<uint32_t>(g.BytesPerSector) : 512;
    totalSectors_ = g.TotalSectors;
    if (options.Map != nullptr) {
      unfinished_ = UnfinishedWithin(*options.Map, options.DriveFirstByte, totalSectors_ * sectorBytes_);
    }
  }

  ExtractReport Run(const std::vector<FileEntry>& what) {
    std::vector<Planned> plan;
    for (const FileEntry& entry : what) {
      if (entry.Folder && entry.Path == "/") {
        // The root has no name of its own: its entries go straight into the destination.
        visited_.insert(entry.Record);
        PlanChildren(entry, destination_, "", plan);
      } else {
        Plan(entry, destination_, "", plan);
      }
    }
    progress_.TotalFiles = 0;
    for (const Planned& p : plan) {
      if (!p.Entry.Folder) {
        ++progress_.TotalFiles;
        progress_.TotalBytes += p.Entry.Size;
      }
    }
    std::vector<size_t> folders;
    for (const Planned& p : plan) {
      if (report_.Stopped) break;
      if (p.Entry.Folder) {
        folders.push_back(report_.Files.size());
        WriteFolder(p);
      } else {
        WriteFile(p);
      }
    }
    // A folder's times are set once everything in it is written, innermost first.
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
      ExtractedFile& folder = report_.Files[*it];
      if (folder.Complete) folder.TimesSet = SetTimes(destination_ / PathFromUtf8(folder.Written), folder.Entry);
    }
    return std::move(report_);
  }

 private:
  // The name `entry` gets in the folder `folder`, safe and not yet taken there.
  std::string NameIn(const fs::path& folder, const FileEntry& entry, const std::string& relative) {
    SafeName safe = MakeSafeName(entry.Name, options_.Rules);
    std::set<std::string>& used = used_[PathToUtf8(folder)];
    const auto key = [&](const std::string& name) {
      if (options_.Rules != NameRules::Windows) return name;
      std::string lower = name;
      for (char& c : lower) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
      return lower;
    };
    std::string name = safe.Name;
    for (unsigned n = 2; used.count(key(name)) != 0; ++n) {
      name = NumberedName(safe.Name, n);
      safe.Why = "another entry of the folder has the same name";
    }
    used.insert(key(name));
    if (!safe.Why.empty()) {
      report_.Renamed.push_back(RenamedEntry{entry.Path, relative.empty() ? name : relative + "/" + name, safe.Why});
    }
    return name;
  }

  void Plan(const FileEntry& entry, const fs::path& folder, const std::string& relative, std::vector<Planned>& plan) {
    const std::string name = NameIn(folder, entry, relative);
    Planned p{entry, folder / PathFromUtf8(name), relative.empty() ? name : relative + "/" + name};
    const fs::path target = p.Target;
    const std::string below = p.Relative;
    const bool folderEntry = entry.Folder;
    plan.push_back(std::move(p));
    if (!folderEntry) return;
    if (!visited_.insert(entry.Record).second) {
      report_.Problems.push_back("the folder " + entry.Path + " (" + entry.RecordText +
                                 ") was met before: a loop in the folders, not followed again");
      return;
    }
    PlanChildren(entry, target, below, plan);
  }

  void PlanChildren(const FileEntry& folder, const fs::path& target, const std::string& relative,
                    std::vector<Planned>& plan) {
    FileQuery query;
    query.Kind = FileQuery::By::Children;
    query.Record = folder.Record;
    query.Path = folder.Path;
    query.Deleted = options_.Deleted;
    const FileLookup children = volume_.FindFiles(query);
    if (children.Entries.empty() && !children.Why.empty()) {
      report_.Problems.push_back("the folder " + folder.Path + " cannot be listed: " + children.Why);
    }
    for (const FileEntry& child : children.Entries) {
      // Without --tree a folder brings its files, not what lies in its folders.
      if (child.Folder && !options_.Tree) continue;
      Plan(child, target, relative, plan);
    }
  }

  bool SetTimes(const fs::path& path, const FileEntry& entry) {
    if (!entry.Times.Modified && !entry.Times.Accessed) return false;
    return CurrentPlatform().SetFileTimes(path, entry.Times.Modified, entry.Times.Accessed);
  }

  // Why nothing may be written at `path`, if so.
  std::optional<std::string> Refusal(const fs::path& path, bool folder) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    if (error || status.type() == fs::file_type::not_found) return std::nullopt;
    if (status.type() == fs::file_type::symlink) return "a symbolic link stands there; it is not followed";
    if (IsDriveSource(path, Geometry().CurrentDrive)) return "the drive is read from it";
    if (folder) {
      if (status.type() == fs::file_type::directory) return std::nullopt;
      return "something that is not a folder stands there";
    }
    if (status.type() != fs::file_type::regular) return "something that is not a regular file stands there";
    if (!options_.Force) return "it exists already (use --force to replace it)";
    return std::nullopt;
  }

  void WriteFolder(const Planned& p) {
    ExtractedFile out;
    out.Entry = p.Entry;
    out.Written = p.Relative;
    if (const std::optional<std::string> why = Refusal(p.Target, true)) {
      out.Failure = *why;
    } else {
      std::error_code error;
      fs::create_directory(p.Target, error);
      if (error) out.Failure = error.message();
    }
    out.Complete = out.Failure.empty();
    report_.Files.push_back(std::move(out));
  }

  // Reads `sectors` sectors from `sector` into `buffer`; a sector that cannot be read is
  // zeros, its bytes (of those the file takes, `fileByte` on, `length` of them) listed.
  void ReadChunk(uint64_t sector, std::span<uint8_t> buffer, uint64_t fileByte, uint64_t length,
                 ExtractedFile& out) {
    const uint64_t sectors = buffer.size() / sectorBytes_;
    const auto unreadable = [&](uint64_t index) {
      const uint64_t from = index * sectorBytes_;
      if (from < length) AddRange(out.Unreadable, fileByte + from, std::min<uint64_t>(sectorBytes_, length - from));
    };
    uint64_t readable = 0;
    if (sector < totalSectors_) readable = std::min(sectors, totalSectors_ - sector);
    if (readable < sectors) {
      std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(readable * sectorBytes_), buffer.end(), uint8_t{0});
      if (!pastEnd_) out.Problems.push_back("its map points past the end of the volume; those bytes are zeros");
      pastEnd_ = true;
    }
    const std::span<uint8_t> inVolume = buffer.first(static_cast<size_t>(readable * sectorBytes_));
    if (readable != 0 && !ReadSectors(sector, inVolume)) {
      // Sector by sector past the cache, so that one bad sector spoils no neighbour.
      for (uint64_t i = 0; i < readable; ++i) {
        const std::span<uint8_t> one = inVolume.subspan(static_cast<size_t>(i * sectorBytes_), sectorBytes_);
        if (!ReadSectorsDirect(sector + i, one)) {
          std::fill(one.begin(), one.end(), uint8_t{0});
          unreadable(i);
        }
      }
    }
    for (uint64_t i = readable; i < sectors; ++i) unreadable(i);
    // What the rescue did not finish is not the disk's, whatever reads back there now.
    if (unfinished_.empty()) return;
    const uint64_t first = sector * sectorBytes_;
    const uint64_t end = first + length;
    auto it = std::lower_bound(unfinished_.begin(), unfinished_.end(), first,
                               [](const MapArea& a, uint64_t at) { return a.Position + a.Size <= at; });
    for (; it != unfinished_.end() && it->Position < end; ++it) {
      const uint64_t from = std::max(first, it->Position);
      const uint64_t to = std::min(end, it->Position + it->Size);
      std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(from - first),
                buffer.begin() + static_cast<std::ptrdiff_t>(to - first), uint8_t{0});
      AddMerged(out.Unreadable, FileByteRange{fileByte + (from - first), to - from});
    }
  }

  // Adds a range into a sorted list, merging overlaps (a read error inside an unfinished area).
  static void AddMerged(std::vector<FileByteRange>& ranges, FileByteRange range) {
    ranges.push_back(range);
    std::sort(ranges.begin(), ranges.end(), [](const FileByteRange& a, const FileByteRange& b) { return a.First < b.First; });
    std::vector<FileByteRange> merged;
    for (const FileByteRange& r : ranges) {
      if (!merged.empty() && merged.back().First + merged.back().Length >= r.First) {
        const uint64_t end = std::max(merged.back().First + merged.back().Length, r.First + r.Length);
        merged.back().Length = end - merged.back().First;
      } else {
        merged.push_back(r);
      }
    }
    ranges = std::move(merged);
  }

  void WriteFile(const Planned& p) {
    ExtractedFile out;
    out.Entry = p.Entry;
    out.Written = p.Relative;
    const FileData data = volume_.ReadFileData(p.Entry);
    out.Grade = data.Grade;
    out.Overwritten = data.Overwritten;
    out.Problems = data.Problems;
    if (const std::optional<std::string> why = Refusal(p.Target, false)) {
      out.Failure = *why;
      report_.Files.push_back(std::move(out));
      return;
    }
    ExportFile file;
    if (!file.Create(p.Target)) {
      out.Failure = file.FailureReason().empty() ? "cannot be created" : file.FailureReason();
      report_.Files.push_back(std::move(out));
      return;
    }

    std::optional<Digest> sha256;
    std::optional<DigestPipe> pipe;
    if (DigestsAvailable()) {
      sha256.emplace(DigestKind::Sha256);
      Digest* digests[] = {&*sha256};
      pipe.emplace(digests);
    }
    // Two buffers in turn: one is hashed while the next chunk is read into the other.
    std::vector<uint8_t>& buffers = Buffers();
    size_t turn = 0;
    bool failed = false;
    uint64_t fileByte = 0;
    for (const DataPiece& piece : data.Pieces) {
      if (failed || report_.Stopped) break;
      out.Pieces.push_back(WrittenPiece{fileByte, piece.Length, piece.Type, piece.Sector});
      if (piece.Type == DataPiece::Kind::Sectors && piece.Length != 0) {
        const uint64_t sectors = (piece.Length + sectorBytes_ - 1) / sectorBytes_;
        if (const std::optional<std::string> other = claims_.Claim(piece.Sector, piece.Sector + sectors, p.Entry.Path)) {
          out.Problems.push_back("sectors from " + std::to_string(piece.Sector) + " are " + *other +
                                 "'s too (a cross-link, or taken again since)");
        }
      }
      for (uint64_t done = 0; done < piece.Length && !failed;) {
        if (options_.Stopped && options_.Stopped()) {
          report_.Stopped = true;
          break;
        }
        const std::span<uint8_t> chunk(buffers.data() + turn * kExtractChunkBytes, kExtractChunkBytes);
        turn ^= 1;
        const uint64_t length = std::min<uint64_t>(piece.Length - done, kExtractChunkBytes);
        std::span<uint8_t> bytes = chunk.first(static_cast<size_t>(length));
        switch (piece.Type) {
          case DataPiece::Kind::Sectors: {
            const uint64_t sectors = (length + sectorBytes_ - 1) / sectorBytes_;
            ReadChunk(piece.Sector + done / sectorBytes_, chunk.first(static_cast<size_t>(sectors * sectorBytes_)),
                      fileByte, length, out);
            break;
          }
          case DataPiece::Kind::Hole:
            std::fill(bytes.begin(), bytes.end(), uint8_t{0});
            break;
          case DataPiece::Kind::Bytes: {
            const uint64_t have = piece.Bytes.size() > done ? piece.Bytes.size() - done : 0;
            const size_t copied = static_cast<size_t>(std::min(have, length));
            std::copy_n(piece.Bytes.begin() + static_cast<std::ptrdiff_t>(done), copied, bytes.begin());
            std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(copied), bytes.end(), uint8_t{0});
            break;
          }
        }
        if (pipe) pipe->Submit(bytes);
        if (!file.Write(bytes)) failed = true;
        done += length;
        fileByte += length;
        progress_.Bytes += length;
        if (options_.Progress) options_.Progress(progress_);
      }
    }
    if (pipe) pipe->Finish();
    const bool closed = file.Close();
    out.BytesWritten = file.BytesWritten();
    if (failed || !closed) {
      out.Failure = file.FailureReason().empty() ? "a write failed" : file.FailureReason();
    } else if (report_.Stopped) {
      out.Failure = "stopped";
    }
    out.Complete = out.Failure.empty() && fileByte == p.Entry.Size;
    if (out.Failure.empty() && fileByte < p.Entry.Size) out.Grade = DataGrade::Partial;
    if (sha256 && out.Failure.empty()) out.Sha256 = sha256->Hex();
    if (out.Failure.empty()) {
      out.TimesSet = SetTimes(p.Target, p.Entry);
      ++report_.FilesWritten;
      ++progress_.Files;
    }
    report_.BytesWritten += out.BytesWritten;
    if (options_.Progress) options_.Progress(progress_);
    pastEnd_ = false;
    report_.Files.push_back(std::move(out));
  }

  std::vector<uint8_t>& Buffers() {
    if (buffers_.empty()) buffers_.resize(2 * kExtractChunkBytes);
    return buffers_;
  }

  const OpenedFileSystem& volume_;
  fs::path destination_;
  const ExtractOptions& options_;
  ExtractReport report_;
  ExtractProgress progress_;
  uint32_t sectorBytes_ = 512;
  uint64_t totalSectors_ = 0;
  std::vector<MapArea> unfinished_;
  std::set<uint64_t> visited_;
  std::map<std::string, std::set<std::string>> used_;
  SectorClaims claims_;
  std::vector<uint8_t> buffers_;
  bool pastEnd_ = false;
};

std::string_view PieceKindName(DataPiece::Kind kind) {
  switch (kind) {
    case DataPiece::Kind::Sectors: return "sectors";
    case DataPiece::Kind::Hole: return "hole";
    case DataPiece::Kind::Bytes: return "in record";
  }
  return "sectors";
}

Json RangesJson(const std::vector<FileByteRange>& ranges, const char* what) {
  Json list = Json::Array();
  for (const FileByteRange& r : ranges) {
    Json range = Json::Object();
    range.Set("fileByte", r.First);
    range.Set("length", r.Length);
    if (what != nullptr) range.Set("writtenAs", what);
    list.Push(std::move(range));
  }
  return list;
}

Json TimeJson(const std::optional<FileTime>& time) {
  if (!time) return Json();
  int64_t seconds = *time / 1000000000;
  int64_t nanoseconds = *time % 1000000000;
  if (nanoseconds < 0) {
    nanoseconds += 1000000000;
    --seconds;
  }
  return Json(UnixTimeIso8601(seconds, {static_cast<uint32_t>(nanoseconds), 9}));
}

Json StringsJson(const std::vector<std::string>& lines) {
  Json list = Json::Array();
  for (const std::string& line : lines) list.Push(line);
  return list;
}

}  // namespace

ExtractReport ExtractFiles(const OpenedFileSystem& volume, const std::vector<FileEntry>& what,
                           const std::filesystem::path& destination, const ExtractOptions& options) {
  Extractor extractor(volume, destination, options);
  return extractor.Run(what);
}

Json ExtractReportJson(const ExtractReport& report) {
  Json json = Json::Object();
  json.Set("destination", report.Destination);
  json.Set("filesWritten", report.FilesWritten);
  json.Set("bytesWritten", report.BytesWritten);
  json.Set("stopped", report.Stopped);
  Json files = Json::Array();
  for (const ExtractedFile& f : report.Files) {
    Json file = Json::Object();
    file.Set("path", f.Written);
    file.Set("source", f.Entry.Path);
    file.Set("record", f.Entry.RecordText);
    file.Set("folder", f.Entry.Folder);
    file.Set("deleted", f.Entry.Deleted);
    if (!f.Entry.Folder) {
      file.Set("size", f.Entry.Size);
      file.Set("grade", std::string(GradeName(f.Grade)));
      file.Set("bytesWritten", f.BytesWritten);
      Json pieces = Json::Array();
      for (const WrittenPiece& p : f.Pieces) {
        Json piece = Json::Object();
        piece.Set("fileByte", p.FileByte);
        piece.Set("length", p.Length);
        piece.Set("kind", std::string(PieceKindName(p.Type)));
        if (p.Type == DataPiece::Kind::Sectors) piece.Set("firstSector", p.Sector);
        pieces.Push(std::move(piece));
      }
      file.Set("runs", std::move(pieces));
      file.Set("unreadable", RangesJson(f.Unreadable, "zeros"));
      file.Set("overwritten", RangesJson(f.Overwritten, nullptr));
      file.Set("sha256", f.Sha256.empty() ? Json() : Json(f.Sha256));
    }
    Json times = Json::Object();
    times.Set("modified", TimeJson(f.Entry.Times.Modified));
    times.Set("accessed", TimeJson(f.Entry.Times.Accessed));
    times.Set("created", TimeJson(f.Entry.Times.Created));
    times.Set("changed", TimeJson(f.Entry.Times.Changed));
    file.Set("times", std::move(times));
    file.Set("timesSet", f.TimesSet);
    file.Set("attributes", f.Entry.Attributes);
    file.Set("complete", f.Complete);
    file.Set("failure", f.Failure.empty() ? Json() : Json(f.Failure));
    file.Set("problems", StringsJson(f.Problems));
    files.Push(std::move(file));
  }
  json.Set("files", std::move(files));
  Json renamed = Json::Array();
  for (const RenamedEntry& r : report.Renamed) {
    Json entry = Json::Object();
    entry.Set("from", r.From);
    entry.Set("to", r.To);
    entry.Set("why", r.Why);
    renamed.Push(std::move(entry));
  }
  json.Set("renamed", std::move(renamed));
  json.Set("problems", StringsJson(report.Problems));
  return json;
}

}  // namespace korvalane
