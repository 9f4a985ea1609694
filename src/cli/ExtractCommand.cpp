// korvalane-cli extract: files and folders of a volume written out, with a report of
// where every byte came from.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "cli/Cli.h"
#include "core/export/SectorCopy.h"
#include "core/extract/Extraction.h"
#include "core/fs/FileSystem.h"
#include "core/rescue/Mapfile.h"
#include "core/text/SectorField.h"
#include "core/text/Utf.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::cli {
namespace {

// One thing to extract as the command line names it.
struct Wanted {
  std::string Text;  // as given, for messages
  enum class By { Path, Record, Sector } Kind = By::Path;
  std::string Path;
  uint64_t Number = 0;
};

// The words between SOURCE and DESTDIR: paths ("/DOCS"), "mft-record N", "inode N",
// "record N" (a directory entry's byte, FAT), "sector N" (the file that owns it).
std::optional<std::vector<Wanted>> ParseWanted(const std::vector<std::string>& words) {
  std::vector<Wanted> wanted;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "mft-record" || word == "inode" || word == "record" || word == "sector") {
      if (i + 1 >= words.size()) {
        UsageError(word + " needs a number");
        return std::nullopt;
      }
      const std::optional<uint64_t> number = ParseSectorIndex(words[i + 1]);
      if (!number) {
        UsageError(word + " needs a number, not '" + words[i + 1] + "'");
        return std::nullopt;
      }
      Wanted w;
      w.Text = word + " " + words[i + 1];
      w.Kind = word == "sector" ? Wanted::By::Sector : Wanted::By::Record;
      w.Number = *number;
      wanted.push_back(w);
      ++i;
      continue;
    }
    if (word.empty() || word.front() != '/') {
      UsageError("'" + word + "' is no path from the volume's root (/...), mft-record N, inode N, record N or sector N");
      return std::nullopt;
    }
    wanted.push_back(Wanted{word, Wanted::By::Path, word, 0});
  }
  return wanted;
}

// The progress line on a terminal: files, bytes, rate and time left.
class ProgressLine {
 public:
  void Show(const ExtractProgress& p) {
    const auto now = std::chrono::steady_clock::now();
    if (now - shown_ < std::chrono::milliseconds(200) && p.Bytes != p.TotalBytes) return;
    shown_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(p.Bytes) / seconds : 0;
    std::fprintf(stderr, "\r%llu of %llu files, %.1f of %.1f MiB, %.1f MiB/s",
                 static_cast<unsigned long long>(p.Files), static_cast<unsigned long long>(p.TotalFiles),
                 static_cast<double>(p.Bytes) / 1048576.0, static_cast<double>(p.TotalBytes) / 1048576.0,
                 rate / 1048576.0);
    if (rate > 0 && p.TotalBytes > p.Bytes) {
      std::fprintf(stderr, ", %.0f s left", static_cast<double>(p.TotalBytes - p.Bytes) / rate);
    }
    std::fputs("   ", stderr);
    std::fflush(stderr);
    used_ = true;
  }
  void Clear() {
    if (used_) std::fputs("\r\033[K", stderr);
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point shown_{};
  bool used_ = false;
};

std::string RangesText(const std::vector<FileByteRange>& ranges) {
  std::string text;
  for (const FileByteRange& r : ranges) {
    if (!text.empty()) text += ", ";
    text += std::to_string(r.First) + "-" + std::to_string(r.First + r.Length - 1);
  }
  return text;
}

}  // namespace

int RunExtract(const Arguments& arguments) {
  if (arguments.Positional.size() < 3) return UsageError("extract needs SOURCE WHAT... DESTDIR (try --help)");
  const std::string& source = arguments.Positional.front();
  const std::string& destinationName = arguments.Positional.back();
  const std::optional<std::vector<Wanted>> wanted =
      ParseWanted({arguments.Positional.begin() + 1, arguments.Positional.end() - 1});
  if (!wanted) return kUsage;

  const std::unique_ptr<Platform> platform = UsePlatform({source}, arguments);
  const std::string drive = FirstDrive();
  if (drive.empty()) return UsageError(ToUtf8(kDriveNotFound));
  SelectDrive(drive);
  if (!CurrentPlatform().IsDriveAccessible(drive)) return CannotOpen(source, drive);
  // A sector is answered through the ownership walk, made first: selecting the drive for
  // it opens the volume anew.
  std::optional<OwnershipIndex> index;
  int status = kOk;
  for (const Wanted& w : *wanted) {
    if (w.Kind == Wanted::By::Sector && !index) {
      index = IndexOfSource(source, &status);
      if (!index) return status;
    }
  }
  const OpenedFileSystem* volume = CurrentFileSystem();
  if (volume == nullptr || !volume->Usable()) {
    return UsageError("cannot read the files of '" + source + "': no file system Korvalane reads is on it");
  }

  // The destination is a folder, made where it is not there yet; never a file a source is.
  const std::filesystem::path destination = PathFromUtf8(destinationName);
  std::error_code error;
  if (IsDriveSource(destination, drive)) return UsageError("'" + destinationName + "' is the source, not a folder");
  if (!std::filesystem::exists(destination, error)) std::filesystem::create_directories(destination, error);
  if (!std::filesystem::is_directory(destination, error)) {
    return UsageError("cannot make the folder '" + destinationName + "'" + (error ? ": " + error.message() : ""));
  }

  std::optional<Mapfile> map;
  ExtractOptions options;
  if (!arguments.MapFile.empty()) {
    std::string text;
    if (!ReadMap(arguments.MapFile, text)) return UsageError("cannot read the map '" + arguments.MapFile + "'");
    if (text.size() > kMaxMapBytes) return UsageError("the map '" + arguments.MapFile + "' is larger than any mapfile");
    std::string why;
    map = ParseMapfile(text, &why);
    if (!map) return UsageError("the map '" + arguments.MapFile + "': " + why);
    for (const std::string& problem : map->Problems) std::cerr << "korvalane-cli: map: " << problem << '\n';
    // A map no longer than the drive is the drive's own; a longer one the disk's it lies on.
    const uint64_t driveBytes = Geometry().TotalSectors * static_cast<uint32_t>(Geometry().BytesPerSector);
    options.DriveFirstByte = map->End > driveBytes ? PartitionFirstByte(drive) : 0;
    options.Map = &*map;
  }

  // What each word names, found before anything is written.
  std::vector<FileEntry> entries;
  for (const Wanted& w : *wanted) {
    FileQuery query;
    query.Deleted = arguments.Deleted;
    if (w.Kind == Wanted::By::Sector) {
      if (w.Number >= Geometry().TotalSectors) return UsageError("sector " + std::to_string(w.Number) + " is past the volume");
      const Owner* file = nullptr;
      for (const SectorUse& use : index->Lookup(w.Number)) {
        if (use.Of != nullptr && (use.Of->Kind == OwnerKind::File || use.Of->Kind == OwnerKind::Directory ||
                                  (use.Of->Kind == OwnerKind::Deleted && arguments.Deleted))) {
          file = use.Of;
          break;
        }
      }
      if (file == nullptr) {
        std::cerr << "korvalane-cli: no file uses sector " << w.Number
                  << (arguments.Deleted ? "" : " (a deleted one is looked for with --deleted)") << '\n';
        status = kFailure;
        continue;
      }
      query.Kind = FileQuery::By::Path;
      query.Path = file->Name;
      query.Deleted = query.Deleted || file->Kind == OwnerKind::Deleted;
    } else if (w.Kind == Wanted::By::Record) {
      query.Kind = FileQuery::By::Record;
      query.Record = w.Number;
    } else {
      query.Path = w.Path;
    }
    FileLookup found = volume->FindFiles(query);
    if (found.Entries.empty()) {
      std::cerr << "korvalane-cli: " << w.Text << ": " << (found.Why.empty() ? "not found" : found.Why) << '\n';
      status = kFailure;
      continue;
    }
    for (FileEntry& entry : found.Entries) entries.push_back(std::move(entry));
  }
  if (entries.empty()) return status == kOk ? kFailure : status;

  options.Deleted = arguments.Deleted;
  options.Tree = arguments.Tree;
  options.Force = arguments.Force;
  options.Stopped = [] { return InterruptRequested(); };
  ProgressLine progress;
  if (IsTerminal(stderr)) options.Progress = [&](const ExtractProgress& p) { progress.Show(p); };
  ExtractReport report;
  {
    const InterruptGuard guard;
    report = ExtractFiles(*volume, entries, destination, options);
  }
  progress.Clear();

  const Json json = ExtractReportJson(report);
  if (!arguments.Report.empty()) {
    std::ofstream out(PathFromUtf8(arguments.Report), std::ios::binary | std::ios::trunc);
    out << json.Dump() << '\n';
    out.close();
    if (!out) {
      std::cerr << "korvalane-cli: cannot write the report '" << arguments.Report << "'\n";
      status = kFailure;
    }
  }
  for (const RenamedEntry& r : report.Renamed) {
    std::cerr << "korvalane-cli: " << r.From << " written as " << r.To << ": " << r.Why << '\n';
  }
  for (const std::string& problem : report.Problems) std::cerr << "korvalane-cli: " << problem << '\n';
  for (const ExtractedFile& f : report.Files) {
    for (const std::string& problem : f.Problems) std::cerr << "korvalane-cli: " << f.Entry.Path << ": " << problem << '\n';
    if (!f.Failure.empty()) {
      std::cerr << "korvalane-cli: " << f.Entry.Path << " not written: " << f.Failure << '\n';
      status = kFailure;
    }
    if (!f.Unreadable.empty()) {
      std::cerr << "korvalane-cli: " << f.Written << ": unreadable bytes " << RangesText(f.Unreadable)
                << " written as zeros\n";
      status = kFailure;
    }
  }
  if (arguments.Json) {
    PrintJson(json.Dump());
  } else {
    for (const ExtractedFile& f : report.Files) {
      if (!f.Failure.empty()) continue;
      if (f.Entry.Folder) {
        std::cout << f.Written << "/\n";
        continue;
      }
      std::cout << f.Written << "  " << f.BytesWritten << " bytes, " << GradeName(f.Grade) << ", " << f.Entry.RecordText;
      if (!f.Sha256.empty()) std::cout << ", SHA256 " << f.Sha256;
      std::cout << '\n';
    }
    std::cout << report.FilesWritten << (report.FilesWritten == 1 ? " file, " : " files, ") << report.BytesWritten
              << " bytes written" << (report.Stopped ? " (stopped)" : "") << '\n';
  }
  std::cout.flush();
  if (report.Stopped) return kInterrupted;
  return status;
}

}  // namespace korvalane::cli
