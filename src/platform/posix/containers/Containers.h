#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/Source.h"

namespace korvalane {

// The container formats recognised by their content.
enum class ContainerKind { None, Ewf, Vmdk, Vhdi, Qcow };

// What the first bytes of a file (`head`, 512 or what there is) and its last 512 bytes
// (`tail`) say it is.
ContainerKind RecognizeContainer(std::span<const uint8_t> head, std::span<const uint8_t> tail);

// The source of a regular file that is a container, read through the library made for it,
// or a split raw set named by its first file; nothing for anything else (a raw image).
// `imageSectorSize` as for a raw image: the size asked for, or 0 for the one the format
// stores or the media's content declares.
std::shared_ptr<Source> OpenContainer(const std::string& path, uint32_t imageSectorSize);

}  // namespace korvalane
