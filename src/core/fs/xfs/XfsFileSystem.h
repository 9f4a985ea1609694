#pragma once

#include "core/fs/FileSystem.h"
#include "core/fs/xfs/XfsVolume.h"

namespace korvalane {

// XFS v4 and v5 (kind Xfs).
const FileSystem& XfsFileSystem();

// What parsing `volume` found, when it is an XFS volume.
const xfs::VolumeState* XfsStateOf(const OpenedFileSystem* volume);

}  // namespace korvalane
