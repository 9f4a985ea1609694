#pragma once

#include "core/fs/FileSystem.h"

namespace korvalane {

// exFAT (kind Exfat).
const FileSystem& ExfatFileSystem();

}  // namespace korvalane
