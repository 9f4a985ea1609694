#pragma once

#include <string>

namespace korvalane {

// How a read-only descriptor of a block device is asked for from UDisks2, whose polkit
// actions (org.freedesktop.udisks2.open-device, and ...open-device-system for the
// machine's own disks) decide.
enum class UDisksPrompt {
  None,     // auth.no_user_interaction: refused rather than asked (a script, a second descriptor)
  Desktop,  // the session's authentication agent (the desktop's password dialog)
  Terminal, // polkit's text agent on this terminal (pkttyagent) for the time of the call
};

// A descriptor UDisks2 gave, checked to be the very device asked for and read-only, or
// why there is none. The caller owns and closes it.
struct UDisksDescriptor {
  int Fd = -1;
  std::string Error;
};

// Whether the system bus has org.freedesktop.UDisks2 or can start it; asked once.
bool UDisksOffered();

// Asks UDisks2 to open block device `path` read-only (Block.OpenDevice "r"; never
// OpenForBackup, whose O_EXCL fails on a mounted disk), with `flags` (O_DIRECT, or 0)
// added. Each answer of the bus is awaited a few seconds; a password being typed, longer.
UDisksDescriptor OpenThroughUDisks(const std::string& path, int flags, UDisksPrompt prompt);

}  // namespace korvalane
