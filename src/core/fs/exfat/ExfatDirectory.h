#pragma once

#include <cstdint>
#include <optional>

#include "core/fs/fatfamily/FatFamily.h"
#include "core/model/ViewText.h"

namespace korvalane {

// Reads one cluster from `sector` and, when it is a directory's start, its entries (the
// volume label as an entry whose note is "volume label"). Nothing when the cluster cannot
// be read or the pump says the work is superseded.
std::optional<Listing> ReadExfatDirectory(uint64_t sector, const MessagePump& pump);

// The "File record" view on exFAT volumes: reads one cluster from `sector` and, when it
// is the root directory's first cluster or begins with a file's entry set, appends one
// line per file or folder (deleted ones too) and one for the volume label.
void ListExfatDirectory(uint64_t sector, ViewText& view, const MessagePump& pump);

}  // namespace korvalane
