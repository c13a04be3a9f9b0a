#include "schemes/SchemeTask.h"

#include <strings.h>

namespace velmora {

std::optional<std::string> SchemeRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), name.size()) == 0) return value;
    }
    return std::nullopt;
}

}  // namespace velmora
