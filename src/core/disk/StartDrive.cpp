#include "core/disk/StartDrive.h"

#include <set>

#include "core/Platform.h"
#include "core/volume/Detection.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {

namespace {

bool Opens(const std::string& drive) { return CurrentPlatform().OpenError(drive).empty(); }

bool HoldsVolume(const std::string& drive) {
  return Opens(drive) && DetectFileSystem(drive) != FileSystemKind::Unknown;
}

}  // namespace

std::string FirstVolumeDrive(const std::vector<std::string>& drives) {
  if (drives.empty()) return {};
  // Detection writes the drive and its sector size into the shared record.
  const VolumeGeometry before = Geometry();

  // Each source is one drive that is not a partition and the partitions after it.
  std::vector<std::vector<std::string>> sources;
  for (const std::string& drive : drives) {
    if (sources.empty() || !CurrentPlatform().DriveIsPartition(drive)) sources.emplace_back();
    sources.back().push_back(drive);
  }

  std::string chosen;
  for (const std::vector<std::string>& source : sources) {
    // A partition's volume first; a disk whose first sector is itself a boot sector (a
    // "superfloppy") or a bare volume has its volume in its own drive.
    for (size_t i = 1; i < source.size() && chosen.empty(); ++i) {
      if (HoldsVolume(source[i])) chosen = source[i];
    }
    if (chosen.empty() && HoldsVolume(source.front())) chosen = source.front();
    if (!chosen.empty()) break;
  }
  for (size_t i = 0; i < sources.size() && chosen.empty(); ++i) {
    if (Opens(sources[i].front())) chosen = sources[i].front();
  }
  if (chosen.empty()) chosen = drives.front();

  Geometry() = before;
  return chosen;
}

std::vector<std::string> UnreadableSources(const std::vector<std::string>& drives) {
  std::vector<std::string> lines;
  std::set<std::string> named;
  for (const std::string& drive : drives) {
    const std::string why = CurrentPlatform().OpenError(drive);
    if (why.empty() || CurrentPlatform().AwaitsAuthorization(drive)) continue;
    const std::string source = CurrentPlatform().DriveSource(drive);
    if (named.insert(source).second) lines.push_back("cannot open '" + source + "': " + why);
  }
  return lines;
}

}  // namespace korvalane
