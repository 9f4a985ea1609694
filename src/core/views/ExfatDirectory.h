#pragma once

// The exFAT directory listing lives with its file system; this name is kept for its callers.
#include "core/fs/exfat/ExfatDirectory.h"
