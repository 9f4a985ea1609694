// A hostile container read whole through libewf: the input is an EWF image (E01) of one segment,
// kept in memory, opened as a source and read sector by sector and in large reads. A
// failed open or read is fine; a read outside a buffer, a crash or a hang is not.
#include <cstddef>
#include <cstdint>

#include "FuzzContainer.h"
#include "platform/posix/containers/EwfSource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return korvalane::fuzzing::FuzzContainer<korvalane::EwfSource>(data, size);
}
