// A hostile container read whole through libqcow: the input is a QCOW image (version 1, 2 or 3),
// kept in memory, opened as a source and read sector by sector and in large reads. A
// failed open or read is fine; a read outside a buffer, a crash or a hang is not.
#include <cstddef>
#include <cstdint>

#include "FuzzContainer.h"
#include "platform/posix/containers/QcowSource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return korvalane::fuzzing::FuzzContainer<korvalane::QcowSource>(data, size);
}
