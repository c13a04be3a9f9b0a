#pragma once

#include <string_view>

namespace velmora {

// True when `bytes` is well-formed UTF-8 (no overlong forms, surrogates or truncated sequences).
bool isValidUTF8(std::string_view bytes);

}  // namespace velmora
