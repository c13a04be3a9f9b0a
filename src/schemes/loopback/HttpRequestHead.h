#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora {

// The request line and header fields of one HTTP/1.x request, as the loopback media server reads
// them. Only what that server needs: no continuation lines, no body.
struct HttpRequestHead {
    std::string method;
    std::string target;
    std::string version;  // "HTTP/1.1" or "HTTP/1.0"
    std::vector<std::pair<std::string, std::string>> fields;

    // The head up to (not including) the empty line; nullopt when it is not a well-formed
    // HTTP/1.0 or HTTP/1.1 request head.
    static std::optional<HttpRequestHead> parse(std::string_view head);

    // The first field of that name (case-insensitive) and how many fields carry it.
    std::optional<std::string> field(std::string_view name) const;
    std::size_t fieldCount(std::string_view name) const;

    // Whether the connection may carry another request after this one's answer.
    bool keepsAlive() const;
};

}  // namespace velmora
