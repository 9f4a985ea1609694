#pragma once

#include "core/disk/PartitionTable.h"
#include "core/model/ViewText.h"
#include "core/text/Json.h"

namespace korvalane {

// The partition table of CurrentDrive, read through ReadSectors at BytesPerSector bytes a
// sector over the drive's whole size.
PartitionTable ReadCurrentPartitionTable();

// The "Details" report of a whole disk: the table's scheme, the disk's sector size and
// count, one line per partition (number, first and last sector, sector count, type code,
// type name and, on GPT, the name), then what was found damaged. Nothing is appended for
// a drive that carries no partition table, or that is itself a partition.
void ReportPartitionTable(ViewText& view, const MessagePump& pump);

// The same report read once, as lines into `view` and as JSON into `json` ("drive",
// "scheme", the sector size and count, "partitions", "notes"), each when given; both are
// left alone where the report shows nothing.
void ReportPartitionTable(ViewText* view, Json* json, const MessagePump& pump);

}  // namespace korvalane
