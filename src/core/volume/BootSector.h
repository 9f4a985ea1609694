#pragma once

// The boot-sector parsers live with their file systems (ReadFatGeometry,
// ReadNtfsGeometry, ReadExfatGeometry, ExfatRootDirectorySector); this name gathers them
// for their callers.
#include "core/fs/exfat/ExfatGeometry.h"
#include "core/fs/fat/FatGeometry.h"
#include "core/fs/ntfs/NtfsGeometry.h"
