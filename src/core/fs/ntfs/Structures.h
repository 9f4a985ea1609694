#pragma once

#include "core/structures/Structure.h"

namespace korvalane {

// The NTFS boot sector (sector 0, backup at the volume's last sector).
Structure DecodeNtfsBootSector(const StructureInput& input);

// An MFT FILE record (input.Bytes: the whole record): the header with its update sequence
// checked against the last two bytes of every 512-byte stride, then each attribute's header,
// the contents of $STANDARD_INFORMATION and $FILE_NAME, and the run list of a non-resident
// attribute run by run. The contents are read with the update sequence applied.
Structure DecodeMftRecord(const StructureInput& input);

}  // namespace korvalane
