#pragma once

#include "core/fs/FileData.h"

namespace korvalane {

// The files of the FAT12, FAT16 or FAT32 volume of CurrentDrive that `query` names.
// Entries are numbered by the volume byte of their short entry; the root is record 0.
FileLookup FindFatFiles(const FileQuery& query);

// Where the bytes of `file` are: a live file's cluster chain as far as its size reaches;
// a deleted one's clusters from its first, free ones in order.
FileData ReadFatFileData(const FileEntry& file);

}  // namespace korvalane
