#pragma once

#include "core/fs/FileSystem.h"

namespace korvalane {

// ext2, ext3 and ext4 (kind Ext).
const FileSystem& ExtFileSystem();

}  // namespace korvalane
