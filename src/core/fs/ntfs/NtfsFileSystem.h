#pragma once

#include "core/fs/FileSystem.h"

namespace korvalane {

// NTFS (kind Ntfs).
const FileSystem& NtfsFileSystem();

}  // namespace korvalane
