#include "net/Url.h"

#include <algorithm>
#include <charconv>

#include "net/CurlHandles.h"

namespace velmora {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isSchemeStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isSchemeChar(char c) { return isSchemeStart(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'; }

// The host of an authority: without "user@" and without ":port" (an IPv6 literal keeps its colons).
std::string_view hostOf(std::string_view authority) {
    if (auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
    if (!authority.empty() && authority.front() == '[') {
        auto close = authority.find(']');
        return close == std::string_view::npos ? authority : authority.substr(0, close + 1);
    }
    return authority.substr(0, authority.find(':'));
}

// One part of a URL libcurl has parsed; nullopt when it has no such part.
std::optional<std::string> curlUrlPart(CURLU* url, CURLUPart part, unsigned int flags = 0) {
    char* raw = nullptr;
    if (curl_url_get(url, part, &raw, flags) != CURLUE_OK) return std::nullopt;
    CurlText owned(raw);
    return owned ? std::string(owned.get()) : std::string();
}

// Splits "path?query#fragment" into the URL's path and query; false on a malformed escape.
bool splitTarget(std::string_view rest, Url& url) {
    rest = rest.substr(0, rest.find('#'));  // the fragment is never looked at
    auto question = rest.find('?');
    url.path = std::string(rest.substr(0, question));
    if (question != std::string_view::npos) url.query = std::string(rest.substr(question + 1));
    // Escapes are checked up front so that the decoding accessors cannot fail later.
    return percentDecode(url.path) && (!url.query || percentDecode(*url.query));
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

std::string percentDecodeLeniently(std::string_view text) {
    std::string kept(text);
    int length = 0;
    CurlText decoded(curl_easy_unescape(nullptr, kept.c_str(), static_cast<int>(kept.size()), &length));
    if (!decoded) return kept;
    return {decoded.get(), static_cast<std::size_t>(length)};
}

std::string_view Url::schemeOf(std::string_view text) {
    std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || !isSchemeStart(text.front())) return {};
    std::string_view scheme = text.substr(0, colon);
    return std::all_of(scheme.begin(), scheme.end(), isSchemeChar) ? scheme : std::string_view();
}

std::optional<Url> Url::parse(std::string_view text) {
    std::string_view scheme = schemeOf(text);
    if (scheme.empty()) return std::nullopt;
    Url url;
    url.scheme = std::string(scheme);
    url.text = std::string(text);
    std::string_view rest = text.substr(scheme.size() + 1);
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        auto authorityEnd = rest.find_first_of("/?#");
        auto host = percentDecode(hostOf(rest.substr(0, authorityEnd)));
        if (!host) return std::nullopt;
        url.host = std::move(*host);
        rest = authorityEnd == std::string_view::npos ? std::string_view{} : rest.substr(authorityEnd);
    }
    if (!splitTarget(rest, url)) return std::nullopt;
    return url;
}

std::optional<Url> Url::fromTarget(std::string_view scheme, std::string_view host, std::string_view target) {
    Url url;
    url.scheme = std::string(scheme);
    url.host = std::string(host);
    url.text = url.scheme + "://" + url.host + std::string(target);
    if (!splitTarget(target, url)) return std::nullopt;
    return url;
}

std::optional<Url> Url::parseWeb(std::string_view text, DotSegments dots) {
    ensureCurlInitialised();
    CurlUrl parsed(curl_url());
    if (!parsed) throw std::bad_alloc();
    unsigned int flags = dots == DotSegments::keep ? CURLU_PATH_AS_IS : 0;
    if (curl_url_set(parsed.get(), CURLUPART_URL, std::string(text).c_str(), flags) != CURLUE_OK) return std::nullopt;
    std::optional<std::string> written = curlUrlPart(parsed.get(), CURLUPART_URL);
    if (!written) return std::nullopt;
    Url url;
    url.scheme = curlUrlPart(parsed.get(), CURLUPART_SCHEME).value_or("");
    url.host = curlUrlPart(parsed.get(), CURLUPART_HOST).value_or("");
    url.path = curlUrlPart(parsed.get(), CURLUPART_PATH).value_or("");
    url.query = curlUrlPart(parsed.get(), CURLUPART_QUERY);
    std::string port = curlUrlPart(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT).value_or("");
    std::from_chars(port.data(), port.data() + port.size(), url.port);
    url.text = std::move(*written);
    return url;
}

std::string Url::decodedPath() const { return percentDecode(path).value_or(std::string{}); }

std::vector<QueryItem> Url::queryItems() const {
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
