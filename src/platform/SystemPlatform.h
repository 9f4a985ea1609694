#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/Platform.h"

namespace korvalane {

// The platform of the system the program runs on. With sources named (image files or
// devices; on Windows also drive names such as "D:"), the drives are exactly those, from
// C: in the order given; without, the machine's own volumes. `imageSectorSize` is the
// sector size an image file is presented with (512, 1024, 2048 or 4096).
std::unique_ptr<Platform> MakeSystemPlatform(const std::vector<std::string>& sources,
                                             uint32_t imageSectorSize = 512);

}  // namespace korvalane
