#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Platform.h"

namespace korvalane {

// When a block device the user may not open is asked for through UDisks2 and polkit (on
// Linux; elsewhere the system's own rights decide).
enum class DeviceAuthorization {
  WhenSelected,      // the window: when the drive is chosen, never while the list is made
  NowWithPrompt,     // the command line on a terminal: at once, polkit asking there
  NowWithoutPrompt,  // a script, or --no-prompt: at once, refused rather than asked
};

// How named sources are presented.
struct SourceOptions {
  // A sector size alone says all there is to say for most callers.
  SourceOptions(uint32_t imageSectorSize = 0) : ImageSectorSize(imageSectorSize) {}  // NOLINT: implicit on purpose

  // The sector size image files are presented with (512, 1024, 2048 or 4096); 0: the size
  // the image's content declares. Block devices always have their own.
  uint32_t ImageSectorSize = 0;
  // Only partition N of each source, as the source's one drive.
  std::optional<uint32_t> Partition;
  // Only the logical volume of this name ("vg0/root", as lvs names it) of all the
  // sources' VGs, as drive C:; the sources' own drives and partitions are not drives then.
  std::optional<std::string> Volume;
  // A container that cannot be opened (a missing segment, extent or parent, a damaged
  // header) makes the whole table fail with its reason, as a command line wants; without,
  // it is a drive that says why it cannot be opened, as the window shows it.
  bool ContainersMustOpen = false;
  // A device asked for at once that cannot be had fails the table as a container does.
  DeviceAuthorization Authorization = DeviceAuthorization::WhenSelected;
};

// Why the named source can never be read as a disk, whatever the user's rights, in words
// for the user: it does not exist, is a directory ("Is a directory"), a FIFO, a socket or
// a device that is not a disk, or holds no whole sector ("1 byte, not one whole sector of
// 512"; the sector is `imageSectorSize` for an image file where it is set, a device's
// own for a disk). Empty when it may be read. A drive of such a source gives the same
// reason as its OpenError, so the window's tooltip and the command line say the same.
std::string SourceRefusal(const std::string& path, uint32_t imageSectorSize = 0);

// The platform of the system the program runs on. With sources named (image files or
// devices; on Windows also drive names such as "D:"), the drives are exactly those, from
// C: in the order given, a partitioned disk as the whole disk and then each partition;
// without, the machine's own volumes. Nothing, with `error` saying why, when the options
// ask for what a source does not have (a partition it lacks).
std::unique_ptr<Platform> MakeSystemPlatform(const std::vector<std::string>& sources,
                                             const SourceOptions& options = {}, std::string* error = nullptr);


}  // namespace korvalane
