#include "schemes/LocalUrl.h"

#include <cctype>

namespace velmora {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isSchemeText(std::string_view scheme) {
    if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme.front()))) return false;
    for (char c : scheme) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

// The host of an authority: without "user@" and without ":port" (an IPv6 literal keeps its colons).
std::string_view hostOf(std::string_view authority) {
    if (auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
    if (!authority.empty() && authority.front() == '[') {
        auto close = authority.find(']');
        return close == std::string_view::npos ? authority : authority.substr(0, close + 1);
    }
    return authority.substr(0, authority.find(':'));
}

}  // namespace

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        int high = hexValue(text[i + 1]);
        int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

std::optional<LocalUrl> LocalUrl::parse(std::string_view text) {
    auto colon = text.find(':');
    if (colon == std::string_view::npos || !isSchemeText(text.substr(0, colon))) return std::nullopt;
    LocalUrl url;
    url.scheme = std::string(text.substr(0, colon));
    std::string_view rest = text.substr(colon + 1);
    rest = rest.substr(0, rest.find('#'));  // the fragment is never looked at

    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        auto authorityEnd = rest.find_first_of("/?");
        auto host = percentDecode(hostOf(rest.substr(0, authorityEnd)));
        if (!host) return std::nullopt;
        url.host = std::move(*host);
        rest = authorityEnd == std::string_view::npos ? std::string_view{} : rest.substr(authorityEnd);
    }
    auto question = rest.find('?');
    url.path = std::string(rest.substr(0, question));
    if (question != std::string_view::npos) url.query = std::string(rest.substr(question + 1));

    // Escapes are checked up front so that the decoding accessors cannot fail later.
    if (!percentDecode(url.path) || (url.query && !percentDecode(*url.query))) return std::nullopt;
    return url;
}

std::string LocalUrl::decodedPath() const { return percentDecode(path).value_or(std::string{}); }

std::vector<QueryItem> LocalUrl::queryItems() const {
    std::vector<QueryItem> items;
    if (!query || query->empty()) return items;
    std::string_view rest = *query;
    for (;;) {
        auto amp = rest.find('&');
        std::string_view item = rest.substr(0, amp);
        auto equals = item.find('=');
        QueryItem decoded{percentDecode(item.substr(0, equals)).value_or(std::string{}), std::nullopt};
        if (equals != std::string_view::npos) decoded.value = percentDecode(item.substr(equals + 1)).value_or(std::string{});
        items.push_back(std::move(decoded));
        if (amp == std::string_view::npos) break;
        rest.remove_prefix(amp + 1);
    }
    return items;
}

}  // namespace velmora
