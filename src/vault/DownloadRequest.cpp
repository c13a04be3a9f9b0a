#include "vault/DownloadRequest.h"

#include "core/Unicode.h"

#include <unicode/utf8.h>

#include <stdexcept>

namespace velmora {

namespace {

// Every scalar is "-" or a letter, mark or number; ill-formed UTF-8 fails too.
bool hasOnlyIdentifierScalars(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t offset = 0; offset < length;) {
        UChar32 scalar = 0;
        U8_NEXT(bytes, offset, length, scalar);
        if (scalar < 0) return false;
        if (scalar != U'-' && !isLetterMarkOrNumber(static_cast<char32_t>(scalar))) return false;
    }
    return true;
}

}  // namespace

bool DownloadRequest::isSafeAssetId(std::string_view assetId) {
    if (assetId.empty()) return false;
    // Guards the int32 offsets below; 64 characters of at most 4 bytes each are far under it, and
    // every grapheme has at least one byte, so a text this long holds too many characters anyway.
    if (assetId.size() > 1'000'000) return false;
    if (!hasOnlyIdentifierScalars(assetId)) return false;
    return assetId.size() <= kMaxAssetIdCharacters || graphemeCount(assetId) <= kMaxAssetIdCharacters;
}

void DownloadRequest::requireSafeAssetId(std::string_view assetId) {
    if (!isSafeAssetId(assetId)) throw std::invalid_argument("asset identifier cannot name a vault file");
}

std::optional<DownloadRequest> DownloadRequest::fromDictionary(const Json& dictionary) {
    DownloadRequest request;
    request.ownerKey = payloadText(dictionary, "ownerKey");
    request.token = payloadText(dictionary, "token");
    request.classTitle = payloadText(dictionary, "classTitle");
    request.courseTitle = payloadText(dictionary, "courseTitle");
    request.chapterTitle = payloadText(dictionary, "chapterTitle");
    request.lessonTitle = payloadText(dictionary, "lessonTitle");
    request.coverUrl = payloadText(dictionary, "coverUrl");
    request.assetId = payloadText(dictionary, "assetId");
    request.classId = payloadInteger(dictionary, "classId");
    request.courseIndex = payloadInteger(dictionary, "courseIndex");
    request.chapterIndex = payloadInteger(dictionary, "chapterIndex");
    request.lessonIndex = payloadInteger(dictionary, "lessonIndex");
    request.lessonId = payloadInteger(dictionary, "lessonId");

    if (graphemeCount(request.ownerKey) > kMaxOwnerKeyCharacters) return std::nullopt;
    if (request.token.empty() || graphemeCount(request.token) > kMaxTokenCharacters) return std::nullopt;
    if (!isSafeAssetId(request.assetId)) return std::nullopt;
    if (request.classId <= 0 || request.lessonId <= 0) return std::nullopt;
    return request;
}

}  // namespace velmora
