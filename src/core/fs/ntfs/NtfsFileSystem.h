#pragma once

#include <span>

#include "core/fs/FileSystem.h"
#include "core/fs/ntfs/DataRuns.h"

namespace korvalane {

// NTFS (kind Ntfs).
const FileSystem& NtfsFileSystem();

// The MFT's own extents as the last details request on `volume` found them; none for a
// volume of another file system.
std::span<const DataRun> MftExtentsOf(const OpenedFileSystem* volume);

}  // namespace korvalane
