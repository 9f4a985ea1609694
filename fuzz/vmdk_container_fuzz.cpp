// A hostile container read whole through libvmdk: the input is a VMDK sparse extent
// (monolithicSparse or streamOptimized), kept in memory, opened as a source and read
// sector by sector and in large reads. A failed open or read is fine; a read outside a
// buffer, a crash or a hang is not.
#include <cstddef>
#include <cstdint>

#include "FuzzContainer.h"
#include "platform/posix/containers/VmdkSource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return korvalane::fuzzing::FuzzContainer<korvalane::VmdkSource>(data, size);
}
