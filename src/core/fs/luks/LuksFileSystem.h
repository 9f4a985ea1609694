#pragma once

#include "core/fs/FileSystem.h"
#include "core/fs/luks/LuksHeader.h"

namespace korvalane {

// LUKS1 and LUKS2 encrypted volumes (kind Luks): their headers named and decoded, nothing
// decrypted.
const FileSystem& LuksFileSystem();

// What parsing `volume` found, when it is a LUKS volume.
const luks::VolumeState* LuksStateOf(const OpenedFileSystem* volume);

}  // namespace korvalane
