#pragma once

#include <cstdint>

#include "core/views/ViewText.h"

namespace korvalane {

// The "File record" view on exFAT volumes: reads one cluster from `sector` and, when it
// is the root directory's first cluster or begins with a file's entry set, appends one
// line per file or folder (deleted ones too) and one for the volume label.
void ListExfatDirectory(uint64_t sector, ViewText& view, const MessagePump& pump);

}  // namespace korvalane
