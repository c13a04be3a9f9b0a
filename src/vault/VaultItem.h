#pragma once

#include "core/Payload.h"
#include "vault/DownloadRequest.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// The catalogue entry of one stored lesson, kept as the lesson's metadata file. A plain value.
// Its JSON form is one object with exactly these 14 keys, named as the fields.
struct VaultItem {
    static constexpr std::string_view kCompletedState = "completed";

    std::string assetId;
    std::string ownerHash;  // owner tag of the account key, never the key itself
    std::string classTitle;
    std::string courseTitle;
    std::string chapterTitle;
    std::string lessonTitle;
    std::string coverUrl;
    std::int64_t classId = 0;
    std::int64_t courseIndex = 0;
    std::int64_t chapterIndex = 0;
    std::int64_t lessonIndex = 0;
    std::int64_t lessonId = 0;
    std::uint64_t size = 0;  // plaintext bytes of the lesson's media
    std::string state;

    // The entry of a committed download: the request's titles, cover, identifiers and positions,
    // the given owner tag and plain size, state "completed". Titles are kept exactly as given.
    static VaultItem fromRequest(const DownloadRequest& request, std::string ownerHash, std::uint64_t size);

    // The 14 keys as a JSON object, for the page.
    Json jsonObject() const;

    // Compact JSON text of jsonObject(). Throws nlohmann::json::type_error when a text is not UTF-8.
    std::string encodedJSON() const;

    // Strict read of the JSON form: every one of the 14 keys present with its field's type (texts
    // as strings, integers as JSON integers within the field's range); other keys are ignored.
    // nullopt when the bytes are not such an object.
    static std::optional<VaultItem> decodeJSON(std::string_view json);

    friend bool operator==(const VaultItem&, const VaultItem&) = default;
};

}  // namespace velmora
