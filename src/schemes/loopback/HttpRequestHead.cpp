#include "schemes/loopback/HttpRequestHead.h"

#include <algorithm>
#include <cctype>
#include <strings.h>

namespace velmora {

namespace {

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool isToken(std::string_view text) {
    static constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={} \t";
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte > 0x20 && byte < 0x7f && kSeparators.find(c) == std::string_view::npos;
    });
}

bool hasControlBytes(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\t') || byte == 0x7f;
    });
}

std::optional<std::pair<std::string, std::string>> parseField(std::string_view line) {
    auto colon = line.find(':');
    if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return std::nullopt;
    std::string_view value = trimmed(line.substr(colon + 1));
    if (hasControlBytes(value)) return std::nullopt;
    return std::pair{std::string(line.substr(0, colon)), std::string(value)};
}

}  // namespace

std::optional<HttpRequestHead> HttpRequestHead::parse(std::string_view head) {
    HttpRequestHead request;
    auto lineEnd = head.find("\r\n");
    std::string_view line = head.substr(0, lineEnd);
    auto firstSpace = line.find(' ');
    auto secondSpace = firstSpace == std::string_view::npos ? firstSpace : line.find(' ', firstSpace + 1);
    if (secondSpace == std::string_view::npos) return std::nullopt;
    request.method = std::string(line.substr(0, firstSpace));
    request.target = std::string(line.substr(firstSpace + 1, secondSpace - firstSpace - 1));
    request.version = std::string(line.substr(secondSpace + 1));
    if (!isToken(request.method) || request.target.empty() || hasControlBytes(request.target) ||
        request.target.find(' ') != std::string::npos || (request.version != "HTTP/1.1" && request.version != "HTTP/1.0")) {
        return std::nullopt;
    }
    while (lineEnd != std::string_view::npos) {
        head.remove_prefix(lineEnd + 2);
        lineEnd = head.find("\r\n");
        auto field = parseField(head.substr(0, lineEnd));
        if (!field) return std::nullopt;
        request.fields.push_back(std::move(*field));
    }
    return request;
}

std::optional<std::string> HttpRequestHead::field(std::string_view name) const {
    for (const auto& [key, value] : fields) {
        if (sameName(key, name)) return value;
    }
    return std::nullopt;
}

std::size_t HttpRequestHead::fieldCount(std::string_view name) const {
    return static_cast<std::size_t>(
        std::count_if(fields.begin(), fields.end(), [&](const auto& entry) { return sameName(entry.first, name); }));
}

bool HttpRequestHead::keepsAlive() const {
    // HTTP/1.0 connections are closed after one answer; we never promise keep-alive to them.
    if (version != "HTTP/1.1") return false;
    for (const auto& [key, value] : fields) {
        if (!sameName(key, "Connection")) continue;
        std::string_view options = value;
        while (!options.empty()) {
            auto comma = options.find(',');
            if (sameName(trimmed(options.substr(0, comma)), "close")) return false;
            options = comma == std::string_view::npos ? std::string_view{} : options.substr(comma + 1);
        }
    }
    return true;
}

}  // namespace velmora
