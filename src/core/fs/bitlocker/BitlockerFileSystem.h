#pragma once

#include "core/fs/FileSystem.h"
#include "core/fs/bitlocker/BitlockerHeader.h"

namespace korvalane {

// BitLocker encrypted volumes (kind Bitlocker): the volume header and the three FVE
// metadata blocks named and decoded, nothing decrypted.
const FileSystem& BitlockerFileSystem();

// What parsing `volume` found, when it is a BitLocker volume.
const bitlocker::VolumeState* BitlockerStateOf(const OpenedFileSystem* volume);

}  // namespace korvalane
