#include "platform/windows/WindowsPlatform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // GetDateFormatEx and GetTimeFormatEx need Vista or later
#endif
#include <windows.h>
#include <shellapi.h>
#include <winioctl.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "core/disk/PartitionTable.h"
#include "core/text/Utf.h"
#include "platform/SystemPlatform.h"

namespace korvalane {
namespace {

// The file-system name buffer handed to GetVolumeInformationW, in UTF-16 characters.
constexpr DWORD kFileSystemNameChars = 260;

std::wstring Wide(std::string_view utf8) {
  const std::u16string text = FromUtf8(utf8);
  return std::wstring(text.begin(), text.end());
}

std::u16string FromWide(const wchar_t* text, size_t length) {
  std::u16string result;
  result.reserve(length);
  for (size_t i = 0; i < length; ++i) result.push_back(static_cast<char16_t>(text[i]));
  return result;
}

char UpperLetter(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

uint32_t LetterBit(char letter) { return uint32_t{1} << static_cast<uint32_t>(letter - 'A'); }

// "\\.\C:": the raw device path of a mounted volume.
std::wstring VolumePath(char letter) { return std::wstring(L"\\\\.\\") + static_cast<wchar_t>(letter) + L":"; }

std::wstring RootPath(char letter) { return std::wstring(1, static_cast<wchar_t>(letter)) + L":\\"; }

// A handle closed when it goes out of scope.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

// The path a drive is opened by: its raw volume, or its image file or disk.
std::wstring DrivePath(const WindowsDrive& drive) {
  return drive.ImagePath.empty() ? VolumePath(drive.Letter) : Wide(drive.ImagePath);
}

bool IsPhysicalDrivePath(std::string_view source);

// True for a drive read from an image file (not a volume, not a physical disk).
bool IsImageFile(const WindowsDrive& drive) {
  return !drive.ImagePath.empty() && !IsPhysicalDrivePath(drive.ImagePath);
}

// Opens a volume or an image file for reading only, letting others go on reading and
// writing it. An image file may also be deleted or renamed over while it is open, as
// it is kept open while its drive is shown; a read then finds it gone (IsGone).
HANDLE OpenPath(const std::wstring& path, bool imageFile) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (imageFile ? FILE_SHARE_DELETE : 0);
  return CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

// True when the file behind an image file's handle has been deleted, or replaced by
// another file renamed over its name, since it was opened: its name now stands for
// another file or none.
bool IsGone(HANDLE handle) {
  FILE_STANDARD_INFO info{};
  return GetFileInformationByHandleEx(handle, FileStandardInfo, &info, sizeof info) != FALSE &&
         (info.DeletePending != FALSE || info.NumberOfLinks == 0);
}

Handle OpenForReading(const WindowsDrive& drive) { return Handle(OpenPath(DrivePath(drive), IsImageFile(drive))); }

int64_t FileSize(HANDLE handle) {
  LARGE_INTEGER size{};
  if (GetFileSizeEx(handle, &size) == FALSE || size.QuadPart < 0) return -1;
  return static_cast<int64_t>(size.QuadPart);
}

// The size of an image file or a disk device: a disk answers the length query, a file the
// file-size one.
int64_t SourceSize(HANDLE handle) {
  GET_LENGTH_INFORMATION length{};
  DWORD returned = 0;
  if (DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &returned, nullptr) !=
          FALSE &&
      length.Length.QuadPart > 0) {
    return static_cast<int64_t>(length.Length.QuadPart);
  }
  return FileSize(handle);
}

// An image file (or a partition of it) refuses what a raw volume would: reads off its
// sector boundaries and reads past its end.
bool ImageAllows(HANDLE handle, const WindowsDrive& drive, uint64_t position, uint64_t length) {
  const uint32_t sectorSize = drive.SectorSize;
  if (sectorSize == 0 || position % sectorSize != 0 || length % sectorSize != 0) return false;
  if (drive.Bytes && (position > *drive.Bytes || length > *drive.Bytes - position)) return false;
  const int64_t size = SourceSize(handle);
  if (size < 0 || position > UINT64_MAX - drive.FirstByte) return false;
  const uint64_t end = static_cast<uint64_t>(size);
  const uint64_t at = drive.FirstByte + position;
  return at <= end && length <= end - at;
}

// Reads exactly buffer.size() bytes at `position` of an open source.
bool ReadAt(HANDLE handle, uint64_t position, std::span<uint8_t> buffer) {
  if (buffer.size() > MAXDWORD) return false;
  // The handle is not opened for overlapped work: the OVERLAPPED record only carries the
  // 64-bit position, and the call completes before it returns.
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(position >> 32);
  DWORD delivered = 0;
  if (ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), &delivered, &at) == FALSE) return false;
  if (delivered < buffer.size()) std::fill(buffer.begin() + delivered, buffer.end(), uint8_t{0});
  return true;
}

bool IsPhysicalDrivePath(std::string_view source) {
  constexpr std::string_view kPrefix = "\\\\.\\physicaldrive";
  if (source.size() <= kPrefix.size()) return false;
  for (size_t i = 0; i < kPrefix.size(); ++i) {
    const char c = source[i] >= 'A' && source[i] <= 'Z' ? static_cast<char>(source[i] - 'A' + 'a') : source[i];
    if (c != kPrefix[i]) return false;
  }
  return true;
}

// The sector size an image or disk is presented with: a disk's own, the one asked for,
// or the one an image's content declares.
uint32_t PresentedSectorSize(const std::string& source, uint32_t asked) {
  const Handle handle(CreateFileW(Wide(source).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  if (IsPhysicalDrivePath(source)) {
    DISK_GEOMETRY_EX geometry{};
    DWORD returned = 0;
    if (handle && DeviceIoControl(handle.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry,
                                  sizeof geometry, &returned, nullptr) != FALSE &&
        geometry.Geometry.BytesPerSector >= 512) {
      return geometry.Geometry.BytesPerSector;
    }
    return 512;
  }
  if (asked == 512 || asked == 1024 || asked == 2048 || asked == 4096) return asked;
  std::vector<uint8_t> head(kSectorSizeProbeBytes, 0);
  if (!handle || !ReadAt(handle.get(), 0, head)) {
    // A file shorter than the probe is read as far as it goes.
    const int64_t size = handle ? FileSize(handle.get()) : -1;
    if (size <= 0 || static_cast<uint64_t>(size) >= head.size()) return 512;
    head.resize(static_cast<size_t>(size));
    if (!ReadAt(handle.get(), 0, head)) return 512;
  }
  return DetectImageSectorSize(head);
}

PartitionTable ReadSourceTable(const std::string& source, uint32_t sectorSize) {
  const Handle handle(CreateFileW(Wide(source).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  if (!handle) return {};
  const int64_t size = SourceSize(handle.get());
  if (size <= 0) return {};
  return ReadPartitionTable(
      [&](uint64_t sector, std::span<uint8_t> buffer) { return ReadAt(handle.get(), sector * sectorSize, buffer); },
      sectorSize, static_cast<uint64_t>(size) / sectorSize);
}

std::string PartitionTitle(const std::string& source, const Partition& partition, PartitionScheme scheme) {
  return source + ", partition " + std::to_string(partition.Number) + " (" +
         ToUtf8(DescribePartition(partition, scheme)) + ")";
}

WindowsDrive PartitionDrive(const std::string& source, uint32_t sectorSize, const Partition& partition,
                            PartitionScheme scheme) {
  WindowsDrive drive;
  drive.ImagePath = source;
  drive.SectorSize = sectorSize;
  drive.FirstByte = partition.FirstSector * sectorSize;
  drive.Bytes = partition.SectorCount * sectorSize;
  drive.IsPartition = true;
  drive.Description = PartitionTitle(source, partition, scheme);
  return drive;
}

// Runs a GetDateFormatEx/GetTimeFormatEx style call twice: once for the length, once for
// the text. Empty when it fails.
template <typename Call>
std::u16string Formatted(Call call) {
  const int length = call(nullptr, 0);
  if (length <= 0) return {};
  std::wstring text(static_cast<size_t>(length), L'\0');
  const int written = call(text.data(), length);
  if (written <= 0) return {};
  // The count includes the terminating NUL.
  return FromWide(text.data(), static_cast<size_t>(written - 1));
}

}  // namespace

WindowsPlatform::WindowsPlatform(std::vector<WindowsDrive> drives) : restricted_(true), drives_(std::move(drives)) {}

std::optional<char> WindowsPlatform::DriveNameLetter(std::string_view source) {
  constexpr std::string_view kDevicePrefix = "\\\\.\\";
  if (source.substr(0, kDevicePrefix.size()) == kDevicePrefix) {
    source.remove_prefix(kDevicePrefix.size());
    if (source.size() != 2) return std::nullopt;
  }
  if (source.size() == 3 && (source[2] == '\\' || source[2] == '/')) source.remove_suffix(1);
  if (source.size() != 2 || source[1] != ':') return std::nullopt;
  const char letter = UpperLetter(source[0]);
  if (letter < 'A' || letter > 'Z') return std::nullopt;
  return letter;
}

WindowsPlatform WindowsPlatform::FromSources(const std::vector<std::string>& sources, const SourceOptions& options,
                                             std::string* error) {
  std::vector<WindowsDrive> drives;
  uint32_t taken = 0;
  // Named drives first: they keep their letters, and image files fill the others.
  for (const std::string& source : sources) {
    const std::optional<char> letter = DriveNameLetter(source);
    if (!letter || (taken & LetterBit(*letter)) != 0) continue;
    taken |= LetterBit(*letter);
    WindowsDrive drive;
    drive.Letter = *letter;
    drives.push_back(drive);
  }
  PlaceImages(sources, options, taken, drives, error);
  return WindowsPlatform(std::move(drives));
}

std::vector<char> WindowsPlatform::PlaceImages(const std::vector<std::string>& sources, const SourceOptions& options,
                                               uint32_t& taken, std::vector<WindowsDrive>& drives, std::string* error) {
  std::vector<char> placed;
  char next = 'C';
  const auto place = [&](WindowsDrive drive) {
    while (next <= 'Z' && (taken & LetterBit(next)) != 0) ++next;
    if (next > 'Z') return false;
    taken |= LetterBit(next);
    drive.Letter = next;
    placed.push_back(next);
    drives.push_back(std::move(drive));
    return true;
  };
  for (const std::string& source : sources) {
    if (DriveNameLetter(source)) continue;
    const uint32_t sectorSize = PresentedSectorSize(source, options.ImageSectorSize);
    const PartitionTable table = ReadSourceTable(source, sectorSize);
    if (options.Partition) {
      const auto found = std::find_if(table.Partitions.begin(), table.Partitions.end(),
                                      [&](const Partition& p) { return p.Number == *options.Partition; });
      if (found == table.Partitions.end()) {
        if (error != nullptr && error->empty()) {
          *error = source + (table.Scheme == PartitionScheme::None
                                 ? " has no partition table"
                                 : " has no partition " + std::to_string(*options.Partition));
        }
        continue;
      }
      if (!place(PartitionDrive(source, sectorSize, *found, table.Scheme))) break;
      continue;
    }
    WindowsDrive disk;
    disk.ImagePath = source;
    disk.SectorSize = sectorSize;
    if (!place(disk)) break;
    bool full = false;
    for (const Partition& p : table.Partitions) {
      if (!place(PartitionDrive(source, sectorSize, p, table.Scheme))) {
        full = true;
        break;
      }
    }
    if (full) break;
  }
  return placed;
}

std::vector<std::string> WindowsPlatform::AddSources(const std::vector<std::string>& sources) {
  // Images take letters that neither the system's volumes nor the drives there are use.
  uint32_t taken = static_cast<uint32_t>(GetLogicalDrives());
  for (const WindowsDrive& drive : drives_) taken |= LetterBit(drive.Letter);
  std::vector<std::string> names;
  for (const char letter : PlaceImages(sources, {}, taken, drives_, nullptr)) names.push_back(std::string(1, letter) + ":");
  return names;
}

std::optional<WindowsDrive> WindowsPlatform::Find(std::string_view drive) const {
  if (drive.size() < 2 || drive[1] != ':') return std::nullopt;
  const char letter = UpperLetter(drive[0]);
  if (letter < 'A' || letter > 'Z') return std::nullopt;
  for (const WindowsDrive& entry : drives_) {
    if (entry.Letter == letter) return entry;
  }
  if (!restricted_) {
    WindowsDrive volume;
    volume.Letter = letter;
    return volume;
  }
  return std::nullopt;
}

struct WindowsPlatform::KeptHandle {
  KeptHandle(std::wstring path, HANDLE handle) : Path(std::move(path)), Value(handle) {}
  ~KeptHandle() { CloseHandle(Value); }
  KeptHandle(const KeptHandle&) = delete;
  KeptHandle& operator=(const KeptHandle&) = delete;
  const std::wstring Path;
  const HANDLE Value;
};

std::shared_ptr<WindowsPlatform::KeptHandle> WindowsPlatform::Open(const WindowsDrive& drive) {
  std::wstring path = DrivePath(drive);
  const bool imageFile = IsImageFile(drive);
  {
    const std::lock_guard lock(kept_->Mutex);
    // Partitions of one image or disk share its handle.
    if (kept_->Handle && kept_->Handle->Path == path && !(imageFile && IsGone(kept_->Handle->Value))) {
      return kept_->Handle;
    }
  }
  const HANDLE handle = OpenPath(path, imageFile);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  auto opened = std::make_shared<KeptHandle>(std::move(path), handle);
  std::shared_ptr<KeptHandle> previous;
  {
    const std::lock_guard lock(kept_->Mutex);
    previous = std::exchange(kept_->Handle, opened);
  }
  return opened;  // the previous one closes as its last reader lets go
}

void WindowsPlatform::Forget(const std::shared_ptr<KeptHandle>& handle) {
  const std::lock_guard lock(kept_->Mutex);
  if (kept_->Handle == handle) kept_->Handle.reset();
}

void WindowsPlatform::ReleaseVolumes() {
  std::shared_ptr<KeptHandle> previous;  // closed after the lock is let go
  const std::lock_guard lock(kept_->Mutex);
  previous.swap(kept_->Handle);
}

bool WindowsPlatform::ReadVolume(std::string_view drive, uint64_t position, std::span<uint8_t> buffer) {
  const auto refuse = [&] {
    std::fill(buffer.begin(), buffer.end(), uint8_t{0});
    return false;
  };
  const std::optional<WindowsDrive> entry = Find(drive);
  if (!entry || buffer.size() > MAXDWORD) return refuse();
  const std::shared_ptr<KeptHandle> volume = Open(*entry);
  if (!volume) return refuse();
  if (!entry->ImagePath.empty() && !ImageAllows(volume->Value, *entry, position, buffer.size())) return refuse();
  // A read reported as done counts as complete; bytes it did not deliver are zero. A
  // failed one lets go of the handle (a medium taken out, a volume dismounted, leave a
  // handle that fails for good; the next read opens what is there now), unless it was
  // only refused as off the sector boundaries, as the sector-size probe's reads are.
  if (!ReadAt(volume->Value, entry->FirstByte + position, buffer)) {
    if (GetLastError() != ERROR_INVALID_PARAMETER) Forget(volume);
    return refuse();
  }
  return true;
}

std::optional<std::string> WindowsPlatform::FileSystemName(std::string_view rootPath) {
  const std::optional<WindowsDrive> entry = Find(rootPath);
  // An image file is mounted nowhere: detection reads its boot sector instead.
  if (!entry || !entry->ImagePath.empty()) return std::nullopt;
  wchar_t name[kFileSystemNameChars] = {};
  const std::wstring root = Wide(rootPath);
  if (GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, name, kFileSystemNameChars) ==
      FALSE) {
    return std::nullopt;
  }
  size_t length = 0;
  while (length < kFileSystemNameChars && name[length] != L'\0') ++length;
  return ToUtf8(FromWide(name, length));
}

uint32_t WindowsPlatform::LogicalDrives() {
  const uint32_t present = static_cast<uint32_t>(GetLogicalDrives());
  uint32_t mask = restricted_ ? 0 : present;
  for (const WindowsDrive& entry : drives_) {
    const uint32_t bit = LetterBit(entry.Letter);
    if (!entry.ImagePath.empty() || (present & bit) != 0) mask |= bit;
  }
  return mask;
}

int64_t WindowsPlatform::VolumeTotalBytes(std::string_view drive) {
  const std::optional<WindowsDrive> entry = Find(drive);
  if (!entry) return -1;
  const Handle volume = OpenForReading(*entry);
  if (!entry->ImagePath.empty()) {
    if (!volume) return -1;
    if (entry->Bytes) return static_cast<int64_t>(*entry->Bytes);
    return SourceSize(volume.get());
  }
  if (volume) {
    GET_LENGTH_INFORMATION length{};
    DWORD returned = 0;
    if (DeviceIoControl(volume.get(), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &returned,
                        nullptr) != FALSE &&
        length.Length.QuadPart > 0) {
      return static_cast<int64_t>(length.Length.QuadPart);
    }
    // Some drivers (and Wine's file-backed devices) answer only the file-size query.
    const int64_t size = FileSize(volume.get());
    if (size > 0) return size;
  }
  // Without the right to open the volume raw, the file system's own size is the best
  // there is.
  ULARGE_INTEGER total{};
  if (GetDiskFreeSpaceExW(RootPath(entry->Letter).c_str(), nullptr, &total, nullptr) != FALSE) {
    return static_cast<int64_t>(total.QuadPart);
  }
  return -1;
}

bool WindowsPlatform::IsDriveAccessible(std::string_view drive) {
  const std::optional<WindowsDrive> entry = Find(drive);
  if (!entry) return false;
  if (!entry->ImagePath.empty()) {
    const DWORD attributes = GetFileAttributesW(Wide(entry->ImagePath).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }
  // A drive without a medium has no root directory.
  return GetFileAttributesW(RootPath(entry->Letter).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string WindowsPlatform::DriveSource(std::string_view drive) {
  const std::optional<WindowsDrive> entry = Find(drive);
  if (!entry) return {};
  if (!entry->ImagePath.empty()) return entry->ImagePath;
  return std::string("\\\\.\\") + entry->Letter + ":";
}

std::string WindowsPlatform::DriveDescription(std::string_view drive) {
  const std::optional<WindowsDrive> entry = Find(drive);
  if (!entry) return {};
  return entry->Description.empty() ? DriveSource(drive) : entry->Description;
}

bool WindowsPlatform::DriveIsPartition(std::string_view drive) {
  const std::optional<WindowsDrive> entry = Find(drive);
  return entry && entry->IsPartition;
}

uint32_t WindowsPlatform::DiskSectorSize(std::string_view drive) {
  const std::optional<WindowsDrive> entry = Find(drive);
  return entry && entry->IsPartition ? entry->SectorSize : 0;
}

std::string WindowsPlatform::OpenError(std::string_view drive) {
  const std::optional<WindowsDrive> entry = Find(drive);
  if (!entry) return "no such drive";
  const Handle volume = OpenForReading(*entry);
  if (volume) return {};
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string message = text != nullptr ? FromWide(text, length) : std::u16string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == u'\r' || message.back() == u'\n' || message.back() == u' ')) {
    message.pop_back();
  }
  std::string reason = message.empty() ? "error " + std::to_string(code) : ToUtf8(message);
  if (code == ERROR_ACCESS_DENIED && (entry->ImagePath.empty() || IsPhysicalDrivePath(entry->ImagePath))) {
    reason += " (reading a disk or volume raw needs an administrator)";
  }
  return reason;
}

std::optional<CivilTime> WindowsPlatform::FileTimeToLocal(uint64_t fileTime) {
  // FileTimeToSystemTime takes values below 2^63 only.
  if (fileTime >= (uint64_t{1} << 63)) return std::nullopt;
  FILETIME utc{};
  utc.dwLowDateTime = static_cast<DWORD>(fileTime & 0xFFFFFFFFu);
  utc.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
  FILETIME local{};
  SYSTEMTIME civil{};
  if (FileTimeToLocalFileTime(&utc, &local) == FALSE || FileTimeToSystemTime(&local, &civil) == FALSE) {
    return std::nullopt;
  }
  CivilTime result;
  result.Year = civil.wYear;
  result.Month = civil.wMonth;
  result.Day = civil.wDay;
  result.Hour = civil.wHour;
  result.Minute = civil.wMinute;
  result.Second = civil.wSecond;
  result.Millisecond = civil.wMilliseconds;
  return result;
}

std::u16string WindowsPlatform::FormatDateTime(const CivilTime& time) {
  SYSTEMTIME civil{};
  civil.wYear = static_cast<WORD>(time.Year);
  civil.wMonth = static_cast<WORD>(time.Month);
  civil.wDay = static_cast<WORD>(time.Day);
  civil.wHour = static_cast<WORD>(time.Hour);
  civil.wMinute = static_cast<WORD>(time.Minute);
  civil.wSecond = static_cast<WORD>(time.Second);
  civil.wMilliseconds = static_cast<WORD>(time.Millisecond);
  const std::u16string date = Formatted([&](wchar_t* text, int size) {
    return GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &civil, nullptr, text, size, nullptr);
  });
  const std::u16string clock = Formatted([&](wchar_t* text, int size) {
    return GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &civil, nullptr, text, size);
  });
  if (!date.empty() && !clock.empty()) return date + u" " + clock;
  // A date the user's formats refuse is still shown, in numbers.
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", time.Year, time.Month, time.Day, time.Hour,
                time.Minute, time.Second);
  return FromUtf8(text);
}

bool WindowsPlatform::OpenLink(std::string_view url) {
  const std::wstring target = Wide(url);
  const HINSTANCE result = ShellExecuteW(nullptr, L"open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  // ShellExecuteW reports success as a value above 32.
  return reinterpret_cast<INT_PTR>(result) > 32;
}

std::string SourceRefusal(const std::string& path, uint32_t imageSectorSize) {
  // A drive name ("D:") is one of the system's volumes, whose reason its open gives.
  if (path.size() == 2 && path[1] == ':') return {};
  std::error_code error;
  const std::filesystem::path file = PathFromUtf8(path);
  const std::filesystem::file_status status = std::filesystem::status(file, error);
  if (!std::filesystem::exists(status)) return "No such file or directory";
  if (std::filesystem::is_directory(status)) return "Is a directory";
  if (!std::filesystem::is_regular_file(status)) return {};
  const uint64_t sector = std::max<uint32_t>(imageSectorSize, 512);
  const uintmax_t bytes = std::filesystem::file_size(file, error);
  if (error || bytes >= sector) return {};
  return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes") + ", not one whole sector of " +
         std::to_string(sector);
}

std::unique_ptr<Platform> MakeSystemPlatform(const std::vector<std::string>& sources, const SourceOptions& options,
                                             std::string* error) {
  if (sources.empty()) return std::make_unique<WindowsPlatform>();
  std::string why;
  auto platform = std::make_unique<WindowsPlatform>(WindowsPlatform::FromSources(sources, options, &why));
  if (!why.empty()) {
    if (error != nullptr) *error = why;
    return nullptr;
  }
  return platform;
}

}  // namespace korvalane
