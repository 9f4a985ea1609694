#pragma once

// The NTFS file record report lives with its file system; this name is kept for its callers.
#include "core/fs/ntfs/FileRecord.h"
