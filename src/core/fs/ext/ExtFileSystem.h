#pragma once

#include "core/fs/FileSystem.h"
#include "core/fs/ext/ExtVolume.h"

namespace korvalane {

// ext2, ext3 and ext4 (kind Ext).
const FileSystem& ExtFileSystem();

// What parsing `volume` found, when it is an ext volume.
const ext::VolumeState* ExtStateOf(const OpenedFileSystem* volume);

}  // namespace korvalane
