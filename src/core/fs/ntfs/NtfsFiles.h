#pragma once

#include "core/fs/FileData.h"

namespace korvalane {

// The files of the NTFS volume of CurrentDrive that `query` names, numbered by their MFT
// records; a folder's entries are the records whose $FILE_NAME names it as their parent.
FileLookup FindNtfsFiles(const FileQuery& query);

// Where the unnamed $DATA of `file` is: in its record (resident), or its runs with sparse
// runs as holes. Compressed, encrypted and listed data are named and not read.
FileData ReadNtfsFileData(const FileEntry& file);

}  // namespace korvalane
