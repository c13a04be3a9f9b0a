#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// One "name=value" item of a query, percent-decoded. `value` is absent when the item has no "=".
struct QueryItem {
    std::string name;
    std::optional<std::string> value;
};

// The parts of an absolute URL of our private schemes, split as written: no base, no dot-segment
// removal and no case folding, so the handlers see exactly what the page asked for (a general URL
// library would normalise ".." away before the path checks could refuse it).
struct LocalUrl {
    std::string scheme;
    std::string host;                  // percent-decoded, case kept; empty without an authority
    std::string path;                  // still percent-encoded
    std::optional<std::string> query;  // without the "?"; absent when there is no "?"

    // Nullopt when the text is not an absolute URL: no scheme, or a malformed percent escape in
    // the host, path or query.
    static std::optional<LocalUrl> parse(std::string_view text);

    // The path with every %XX escape decoded (the result may hold any byte, including NUL).
    std::string decodedPath() const;

    // The query's items in order, split at "&" and at each item's first "="; empty when the query
    // is absent or empty.
    std::vector<QueryItem> queryItems() const;
};

// Decodes %XX escapes; nullopt when a "%" is not followed by two hexadecimal digits.
std::optional<std::string> percentDecode(std::string_view text);

}  // namespace velmora
