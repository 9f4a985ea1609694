#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/Platform.h"

namespace korvalane {

// Where a drive's bytes come from: an image file, a block device, or a container read
// through the library made for it. A source answers its size and reads bytes at a
// position; the drive table cuts it into drives (the whole disk, each partition), and a
// view never learns which kind of source it reads.
class Source {
 public:
  virtual ~Source() = default;

  // The name the user gave it (a path), as shown to the user.
  virtual const std::string& Name() const = 0;

  // Reads exactly buffer.size() bytes at byte `position`. False when any of them cannot
  // be had (an error, the end of the source); the buffer is then of no use. `direct`
  // asks for a read past the system's cache where the source has one.
  virtual bool Read(uint64_t position, std::span<uint8_t> buffer, bool direct) = 0;

  // Copies `length` bytes at byte `position` into `out` (a descriptor open for writing,
  // at its offset 0, on an empty file) inside the system (see CopyInKernel). Refused by a
  // source whose bytes only its library gives, and by one that has no descriptor to
  // copy from.
  virtual VolumeCopy CopyInto(uint64_t /*position*/, uint64_t /*length*/, int /*out*/) { return VolumeCopy::Refused; }

  // Lets go of what reading keeps open (a raw image's or a device's descriptor); the next
  // read opens it again. A container's library handle stays open, as opening it anew
  // would parse its tables again.
  virtual void Release() {}

  // The size in bytes, or -1 when it cannot be had.
  virtual int64_t Size() = 0;

  // Why the source cannot be opened for reading, for the user; empty when it can be.
  virtual std::string OpenError() = 0;

  // The logical sector size reads of it are aligned to.
  virtual uint32_t SectorSize() const = 0;

  // The container format and its parts, for the user ("EWF, 2 segments"); empty for a
  // raw image or a device.
  virtual std::string FormatDescription() const { return {}; }

  // What is wrong with a container that opens all the same, in one line for the user
  // ("damaged or cut short: its tables point past its end at byte 2000000"); empty when
  // nothing was seen. Found once, as it is opened, from its own tables: its bytes there
  // read as unreadable sectors.
  virtual std::string Damage() const { return {}; }

  // A path the system's own tools can open to read these very bytes (a raw image or a
  // device); empty for a container, whose bytes only its library can give.
  virtual std::string RawPath() const { return {}; }

  // Every file its bytes come from (a container's segments, extents, parents), none of
  // which may be written while it is read.
  virtual std::vector<std::string> Files() const { return {Name()}; }
};

}  // namespace korvalane
