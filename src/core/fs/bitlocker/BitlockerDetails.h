#pragma once

#include <string>

#include "core/fs/bitlocker/BitlockerHeader.h"
#include "core/model/ViewText.h"
#include "core/text/Json.h"

namespace korvalane::bitlocker {

// The "Details" report of a BitLocker volume: from `heading` + "BitLocker" on, the volume
// header's values, each FVE metadata block with its offsets checked against the volume
// header's, and the metadata header's identifier, method, time and descriptions, into
// `view`, the same as fields after "fileSystem" into `json` (either may be null).
void WriteDetails(const VolumeState& state, const std::u16string& heading, ViewText* view, Json* json);

// "BitLocker header not usable - " and why.
std::u16string NotUsableLine(const VolumeState& state);

}  // namespace korvalane::bitlocker
