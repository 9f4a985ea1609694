#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/model/Structure.h"

namespace korvalane {

// The LVM2 structures `fields` decodes: the label ("LABELONE", in one of sectors 0-3),
// the PV header after it in the same sector, a metadata area's header and the metadata
// text (as many sectors as LvmStructureSpan reads).
Structure DecodeLvmLabelStructure(const StructureInput& input);
Structure DecodeLvmPvHeaderStructure(const StructureInput& input);
Structure DecodeLvmMetadataHeaderStructure(const StructureInput& input);
Structure DecodeLvmMetadataTextStructure(const StructureInput& input);
uint64_t LvmStructureSpan(std::string_view id, uint32_t sectorSize, size_t offset);

// Which LVM2 structure sector `sector` of CurrentDrive holds, when the drive is a PV: its
// label sector, its metadata area headers, the first sector of its metadata text.
std::optional<StructureChoice> LvmStructureAt(uint64_t sector);

}  // namespace korvalane
