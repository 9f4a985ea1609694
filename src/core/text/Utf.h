#pragma once

#include <string>
#include <string_view>

namespace korvalane {

// UTF-16 to UTF-8. Names on disk may hold unpaired surrogates; each becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);

// UTF-8 to UTF-16; a malformed byte becomes U+FFFD.
std::u16string FromUtf8(std::string_view text);

}  // namespace korvalane
