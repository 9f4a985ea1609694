#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace korvalane {

// UTF-16 to UTF-8. Names on disk may hold unpaired surrogates; each becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);

// UTF-8 to UTF-16; a malformed byte becomes U+FFFD.
std::u16string FromUtf8(std::string_view text);

// A file name held as UTF-8 as a path. On Windows a plain std::string would be taken in the
// ANSI code page, and names outside it would be lost.
std::filesystem::path PathFromUtf8(std::string_view text);

// A path as UTF-8 (its bytes as they are on a system whose names are bytes).
std::string PathToUtf8(const std::filesystem::path& path);

}  // namespace korvalane
