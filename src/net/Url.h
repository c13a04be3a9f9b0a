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

// Which reading of "." and ".." path segments an address gets from parseWeb().
enum class DotSegments { resolve, keep };

// An absolute URL split into the parts the app looks at. Two readings make one:
// - parse() splits an address of our private schemes as written: no base, no dot-segment removal
//   and no case folding, so the handlers see exactly what the page asked for (a general URL
//   library would normalise ".." away before the path checks could refuse it).
// - parseWeb() reads an address the way requests go out: libcurl's parser, whose normal form is
//   the address a request is sent to.
struct Url {
    std::string scheme;
    std::string host;                  // parse(): percent-decoded, case kept; empty without an authority
    std::string path;                  // still percent-encoded
    std::optional<std::string> query;  // without the "?"; absent when there is no "?"
    std::string text;                  // the whole address: as written, or libcurl's normal form
    unsigned port = 0;                 // parseWeb(): the port, or the scheme's default; parse(): 0

    // Nullopt when the text is not an absolute URL: no scheme, or a malformed percent escape in
    // the host, path or query.
    static std::optional<Url> parse(std::string_view text);

    // The address `target` ("/path?query", as in an HTTP request line) names under `scheme` and
    // `host`, split as parse() splits it; nullopt on a malformed percent escape.
    static std::optional<Url> fromTarget(std::string_view scheme, std::string_view host, std::string_view target);

    // Nullopt when libcurl does not accept the text as an absolute URL. With DotSegments::keep the
    // path goes out as written; otherwise libcurl resolves "." and ".." segments.
    static std::optional<Url> parseWeb(std::string_view text, DotSegments dots = DotSegments::resolve);

    // The scheme of a URL text as written ("" when it has none).
    static std::string_view schemeOf(std::string_view text);

    // The path with every %XX escape decoded (the result may hold any byte, including NUL).
    std::string decodedPath() const;

    // The query's items in order, split at "&" and at each item's first "="; empty when the query
    // is absent or empty.
    std::vector<QueryItem> queryItems() const;
};

// Decodes %XX escapes; nullopt when a "%" is not followed by two hexadecimal digits.
std::optional<std::string> percentDecode(std::string_view text);

// Decodes %XX escapes and keeps a "%" without two hexadecimal digits after it as written.
std::string percentDecodeLeniently(std::string_view text);

}  // namespace velmora
