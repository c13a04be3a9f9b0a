#include "schemes/MediaSchemeHandler.h"

#include "core/Unicode.h"
#include "core/VelmoraError.h"
#include "vault/DownloadRequest.h"
#include "vault/VaultManager.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <utility>

namespace velmora {

namespace {

constexpr std::string_view kInvalidAddress = "离线媒体地址无效";
constexpr std::string_view kInvalidAssetId = "离线媒体标识无效";
// A lesson without bytes has no last byte to name; it is refused as the vault refuses any range on it.
constexpr std::string_view kEmptyMedia = VaultManager::kInvalidRange;
constexpr std::string_view kVersionPrefix = "/v1/";

// An unsigned 64-bit decimal: ASCII digits after an optional sign, nothing else, no overflow. A
// minus sign is only allowed on zero, which is how the standard integer parsers read unsigned text.
std::optional<std::uint64_t> parseUnsigned(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    if (negative && value != 0) return std::nullopt;
    return value;
}

bool startsWithBytesUnit(std::string_view header) {
    static constexpr std::string_view kUnit = "bytes=";
    if (header.size() < kUnit.size()) return false;
    for (std::size_t i = 0; i < kUnit.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(header[i])) != kUnit[i]) return false;
    }
    return true;
}

// The first non-empty comma-separated piece, or nothing.
std::optional<std::string_view> firstRangeSpec(std::string_view specs) {
    while (!specs.empty()) {
        auto comma = specs.find(',');
        std::string_view piece = specs.substr(0, comma);
        if (!piece.empty()) return piece;
        if (comma == std::string_view::npos) break;
        specs.remove_prefix(comma + 1);
    }
    return std::nullopt;
}

SchemeResponse mediaResponse(int status, ByteRange range, std::uint64_t total) {
    SchemeResponse response;
    response.statusCode = status;
    response.mimeType = "video/mp4";
    response.expectedContentLength = static_cast<std::int64_t>(range.length());
    response.headers = {
        {"Content-Type", "video/mp4"},
        {"Accept-Ranges", "bytes"},
        {"Content-Length", std::to_string(range.length())},
        {"Content-Range", "bytes " + std::to_string(range.start) + "-" + std::to_string(range.end) + "/" +
                              std::to_string(total)},
        {"Cache-Control", "no-store"},
    };
    return response;
}

}  // namespace

MediaSchemeHandler::MediaSchemeHandler(VaultManager& vault, DamageObserver damaged)
    : vault_(vault), damaged_(std::move(damaged)) {}

MediaSchemeHandler::~MediaSchemeHandler() { closing_ = true; }

void MediaSchemeHandler::start(std::shared_ptr<SchemeTask> task) {
    const SchemeTask* identity = task.get();
    {
        std::lock_guard lock(stateLock_);
        cancelled_.erase(identity);
    }
    queue_.async([this, task = std::move(task), identity] {
        if (!closing_) serve(*task, identity);
    });
}

void MediaSchemeHandler::stop(const SchemeTask& task) {
    std::lock_guard lock(stateLock_);
    cancelled_.insert(&task);
}

bool MediaSchemeHandler::isCancelled(const SchemeTask* identity) const {
    if (closing_) return true;
    std::lock_guard lock(stateLock_);
    return cancelled_.contains(identity);
}

std::optional<ByteRange> MediaSchemeHandler::parseRange(std::optional<std::string_view> header, std::uint64_t total) {
    if (!header || total == 0 || !startsWithBytesUnit(*header)) return std::nullopt;
    auto spec = firstRangeSpec(header->substr(6));
    if (!spec) return std::nullopt;
    auto dash = spec->find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    std::string_view first = spec->substr(0, dash);
    std::string_view second = spec->substr(dash + 1);

    if (first.empty()) {
        auto suffix = parseUnsigned(second);
        if (!suffix || *suffix == 0) return std::nullopt;
        return ByteRange{*suffix >= total ? 0 : total - *suffix, total - 1};
    }
    auto start = parseUnsigned(first);
    if (!start || *start >= total) return std::nullopt;
    auto end = parseUnsigned(second);
    ByteRange range{*start, end ? std::min(*end, total - 1) : total - 1};
    if (range.end < range.start) return std::nullopt;
    return range;
}

MediaSchemeHandler::Address MediaSchemeHandler::parseAddress(const std::optional<Url>& url) {
    if (!url || url->host != "local") throw VelmoraError(std::string(kInvalidAddress));
    std::string path = url->decodedPath();
    // Compared by user-perceived characters, so a combining mark after the last "/" is not split off.
    if (graphemePrefix(path, kVersionPrefix.size()) != kVersionPrefix) throw VelmoraError(std::string(kInvalidAddress));
    auto items = url->queryItems();
    auto owner = std::find_if(items.begin(), items.end(), [](const QueryItem& item) { return item.name == "owner"; });
    if (owner == items.end() || !owner->value) throw VelmoraError(std::string(kInvalidAddress));

    Address address{path.substr(kVersionPrefix.size()), std::move(*owner->value)};
    if (!DownloadRequest::isSafeAssetId(address.assetId)) throw VelmoraError(std::string(kInvalidAssetId));
    return address;
}

void MediaSchemeHandler::serve(SchemeTask& task, const SchemeTask* identity) {
    try {
        answer(task, identity);
    } catch (const std::exception& error) {
        if (!isCancelled(identity)) task.didFail(errorDescription(error));
    }
}

void MediaSchemeHandler::answer(SchemeTask& task, const SchemeTask* identity) {
    Address address = parseAddress(task.request().url);
    std::uint64_t total = vault_.plainSize({.ownerKey = address.ownerKey, .assetId = address.assetId});
    if (total == 0) throw VelmoraError(std::string(kEmptyMedia));

    auto header = task.request().header("Range");
    auto requested = parseRange(header ? std::optional<std::string_view>(*header) : std::nullopt, total);
    ByteRange range = requested.value_or(ByteRange{0, total - 1});
    SchemeResponse response = mediaResponse(requested ? 206 : 200, range, total);

    if (isCancelled(identity)) return;
    task.didReceive(response);
    for (std::uint64_t cursor = range.start;;) {
        if (isCancelled(identity)) return;
        std::uint64_t pieceEnd = range.end - cursor < kPieceSizeBytes ? range.end : cursor + kPieceSizeBytes - 1;
        Bytes piece = readPiece(address, cursor, pieceEnd);
        // A last record holding less than the metadata's size would end the answer short of its
        // announced Content-Length.
        if (piece.size() != pieceEnd - cursor + 1) throw VelmoraError(VaultManager::kRecordTooShort);
        task.didReceive(std::move(piece));
        if (pieceEnd == range.end) break;
        cursor = pieceEnd + 1;
    }
    if (!isCancelled(identity)) task.didFinish();
}

Bytes MediaSchemeHandler::readPiece(const Address& address, std::uint64_t start, std::uint64_t endInclusive) const {
    try {
        return vault_.readRange({.ownerKey = address.ownerKey, .assetId = address.assetId}, start, endInclusive);
    } catch (const RecordAuthenticationError&) {
        if (damaged_) damaged_(address.assetId, address.ownerKey);
        throw;
    }
}

}  // namespace velmora
