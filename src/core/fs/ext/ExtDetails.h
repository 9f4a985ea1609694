#pragma once

#include <string>

#include "core/fs/ext/ExtVolume.h"
#include "core/model/ViewText.h"
#include "core/text/Json.h"

namespace korvalane::ext {

// The "Details" report of the ext volume ReadExtGeometry has just read: its geometry,
// names, state, times, features and checksum, then one line per block group. Read once
// for both outputs: the lines from `heading` + "ext4" on into `view`, the fields after
// "fileSystem" into `json` (either may be null).
void WriteDetails(const VolumeState& state, const std::u16string& heading, ViewText* view, Json* json, const MessagePump& pump);

// "Superblock not usable - " and why: the one line of a volume whose superblock failed.
std::u16string NotUsableLine(const VolumeState& state);

}  // namespace korvalane::ext
