#pragma once

// The FAT directory listing lives with its file system; this name is kept for its callers.
#include "core/fs/fat/FatDirectory.h"
