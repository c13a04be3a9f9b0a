#pragma once

#include <optional>
#include <string_view>

#include "core/Crypto.h"

namespace velmora {

// Strict Base64 decoding: the standard alphabet, padded to a multiple of four characters, with
// "=" only as the final one or two characters. Any other character, white space and line breaks
// included, makes the text invalid (nullopt). The empty text decodes to no bytes.
std::optional<Bytes> decodeBase64Strict(std::string_view text);

}  // namespace velmora
