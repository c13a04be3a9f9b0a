#include "bridge/LoneSurrogates.h"

#include <optional>

namespace velmora {

namespace {

constexpr std::string_view kReplacement = "\\ufffd";
constexpr std::size_t kEscapeLength = 6;  // \uXXXX

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The UTF-16 code unit of the "\uXXXX" escape at `at`, or nullopt when none starts there.
std::optional<char16_t> escapedUnit(std::string_view json, std::size_t at) {
    if (json.size() - at < kEscapeLength || json[at] != '\\' || json[at + 1] != 'u') return std::nullopt;
    unsigned unit = 0;
    for (std::size_t i = at + 2; i < at + kEscapeLength; ++i) {
        int digit = hexValue(json[i]);
        if (digit < 0) return std::nullopt;
        unit = unit << 4 | static_cast<unsigned>(digit);
    }
    return static_cast<char16_t>(unit);
}

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string replaceLoneSurrogates(std::string_view json) {
    std::string out;
    out.reserve(json.size());
    for (std::size_t at = 0; at < json.size();) {
        if (json[at] != '\\') {
            out.push_back(json[at++]);
            continue;
        }
        std::optional<char16_t> unit = escapedUnit(json, at);
        if (!unit) {
            // Any other escape is copied whole, so an escaped backslash never starts one.
            out.append(json.substr(at, 2));
            at += 2;
            continue;
        }
        if (isHighSurrogate(*unit)) {
            std::optional<char16_t> next = escapedUnit(json, at + kEscapeLength);
            if (next && isLowSurrogate(*next)) {
                out.append(json.substr(at, 2 * kEscapeLength));
                at += 2 * kEscapeLength;
                continue;
            }
        }
        out.append(isHighSurrogate(*unit) || isLowSurrogate(*unit) ? kReplacement : json.substr(at, kEscapeLength));
        at += kEscapeLength;
    }
    return out;
}

}  // namespace velmora
