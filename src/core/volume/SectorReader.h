#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace korvalane {

// Reads buffer.size() bytes at sector `sector` of the volume named by CurrentDrive, at
// BytesPerSector bytes a sector. Every byte the read does not deliver is zero: a volume
// that cannot be opened leaves the buffer all zero, a short read zeros after the bytes
// delivered. The platform keeps the volume open between reads; no bytes are cached.
bool ReadSectors(uint64_t sector, std::span<uint8_t> buffer);

// The same read past the system's cache (see Platform::ReadVolumeDirect): for retrying
// sector by sector where a larger read failed, so that exactly the bad sectors fail.
bool ReadSectorsDirect(uint64_t sector, std::span<uint8_t> buffer);

// Reads sector 0 at the lengths 512, 1024, ..., 4608 until one succeeds: a raw volume
// refuses reads that are not whole sectors, so the first length that reads is the
// device's sector size. When none reads through the cache, the lengths are tried again
// past it (ReadSectorsDirect): a cached read fails for the whole page around sector 0
// when any sector of it is bad. On success BytesPerSector holds the length and `buffer`
// that many bytes of sector 0; on failure (sector 0 itself unreadable, or sectors larger
// than 4608 bytes) BytesPerSector holds 4608, except on a partition of a disk or a disk
// in a container, whose sectors are its disk's (Platform::DiskSectorSize) whatever the
// first one holds.
bool ProbeBootSector(std::vector<uint8_t>& buffer);

// Reads out.size() bytes from byte `byte` of CurrentDrive, through the whole sectors
// that hold them. False when they cannot be read or BytesPerSector is not set.
bool ReadVolumeBytes(uint64_t byte, std::span<uint8_t> out);

}  // namespace korvalane
