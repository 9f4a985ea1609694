// A hostile container read whole through libvhdi: the input is a VHD (fixed or dynamic) or a VHDX,
// kept in memory, opened as a source and read sector by sector and in large reads. A
// failed open or read is fine; a read outside a buffer, a crash or a hang is not.
#include <cstddef>
#include <cstdint>

#include "FuzzContainer.h"
#include "platform/posix/containers/VhdiSource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return korvalane::fuzzing::FuzzContainer<korvalane::VhdiSource>(data, size);
}
