#include "bridge/Utf8Validation.h"

#include <unicode/utf8.h>

#include <cstdint>

namespace velmora {

bool isValidUTF8(std::string_view bytes) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    auto length = static_cast<std::int64_t>(bytes.size());
    for (std::int64_t offset = 0; offset < length;) {
        UChar32 c;
        U8_NEXT(data, offset, length, c);
        if (c < 0) return false;
    }
    return true;
}

}  // namespace velmora
