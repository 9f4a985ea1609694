#pragma once

#include <string>

#include "core/fs/xfs/XfsVolume.h"
#include "core/model/ViewText.h"
#include "core/text/Json.h"

namespace korvalane::xfs {

// The "Details" report of the XFS volume ReadXfsGeometry has just read: its geometry,
// name, UUID, log, features and superblock checksum, then one line per allocation group
// from its AGF and AGI. Read once for both outputs (either may be null).
void WriteDetails(const VolumeState& state, const std::u16string& heading, ViewText* view, Json* json,
                  const MessagePump& pump);

// "Superblock not usable - " and why: the one line of a volume whose superblock failed.
std::u16string NotUsableLine(const VolumeState& state);

// "0x1234ABCD, verified" or "mismatch: stored 0x..., computed 0x...".
std::u16string ChecksumText(const Checksum& c);
Json ChecksumJson(const Checksum& c);

}  // namespace korvalane::xfs
