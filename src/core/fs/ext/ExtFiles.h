#pragma once

#include "core/fs/FileData.h"
#include "core/fs/ext/ExtVolume.h"

namespace korvalane::ext {

// The files of the ext2/3/4 volume that `query` names; entries are numbered by inode.
FileLookup FindExtFiles(const VolumeState& state, const FileQuery& query);

// Where the bytes of `file` are, through its inode's extents or block map (holes and
// uninitialised extents as zeros), or in the inode itself (inline data, a fast symlink).
FileData ReadExtFileData(const VolumeState& state, const FileEntry& file);

}  // namespace korvalane::ext
