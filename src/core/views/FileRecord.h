#pragma once

#include <cstdint>

#include "core/views/ViewText.h"

namespace korvalane {

// The "File record" view on NTFS volumes: reads MftRecordBytes bytes from `sector` and
// reports the FILE record there.
void ShowFileRecord(uint64_t sector, ViewText& view, const MessagePump& pump);

}  // namespace korvalane
