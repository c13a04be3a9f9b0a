#pragma once

#include "core/Payload.h"
#include "vault/OwnedLesson.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// What the page asks for when it starts an offline download. A plain value.
// Invariants of a request made by fromDictionary(): ownerKey has at most 512 characters, token has
// 1 to 65,536 characters, assetId passes isSafeAssetId(), classId and lessonId are positive.
struct DownloadRequest {
    std::string ownerKey;
    std::string token;
    std::string classTitle;
    std::string courseTitle;
    std::string chapterTitle;
    std::string lessonTitle;
    std::string coverUrl;
    std::string assetId;
    std::int64_t classId = 0;
    std::int64_t courseIndex = 0;
    std::int64_t chapterIndex = 0;
    std::int64_t lessonIndex = 0;
    std::int64_t lessonId = 0;

    static constexpr std::size_t kMaxOwnerKeyCharacters = 512;
    static constexpr std::size_t kMaxTokenCharacters = 65'536;
    static constexpr std::size_t kMaxAssetIdCharacters = 64;

    // The request described by the page's download body, or nullopt when the body does not describe
    // a valid one. Texts of the wrong kind count as "", integers are read with integer(). Never throws
    // for any JSON value.
    static std::optional<DownloadRequest> fromDictionary(const Json& dictionary);

    // True when `assetId` may name vault files: 1 to 64 characters, each scalar "-" or a letter,
    // mark or number of any script. A safe identifier never holds "." or "/". Pure.
    static bool isSafeAssetId(std::string_view assetId);
    // Throws std::invalid_argument when isSafeAssetId() is false: vault files are named after it.
    static void requireSafeAssetId(std::string_view assetId);

    // The lesson this request is for, as the vault's operations take it (views into this request).
    OwnedLesson lesson() const { return {ownerKey, assetId}; }

    friend bool operator==(const DownloadRequest&, const DownloadRequest&) = default;
};

}  // namespace velmora
