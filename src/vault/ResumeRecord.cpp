#include "vault/ResumeRecord.h"

#include "vault/VaultManager.h"

#include <type_traits>
#include <utility>

namespace velmora {

namespace {

// DownloadRequest's own checks want a token, which a record never keeps.
constexpr const char* kStandInToken = "-";

Json requestObject(const DownloadRequest& request) {
    return {{"ownerKey", request.ownerKey},         {"classTitle", request.classTitle},   {"courseTitle", request.courseTitle},
            {"chapterTitle", request.chapterTitle}, {"lessonTitle", request.lessonTitle}, {"coverUrl", request.coverUrl},
            {"assetId", request.assetId},           {"classId", request.classId},         {"courseIndex", request.courseIndex},
            {"chapterIndex", request.chapterIndex}, {"lessonIndex", request.lessonIndex}, {"lessonId", request.lessonId}};
}

std::optional<DownloadRequest> requestOf(const Json& object) {
    if (!object.is_object() || object.contains("token")) return std::nullopt;
    Json withToken = object;
    withToken["token"] = kStandInToken;
    std::optional<DownloadRequest> request = DownloadRequest::fromDictionary(withToken);
    if (request) request->token.clear();
    return request;
}

template <typename T>
bool read(const Json& object, const char* key, T& out) {
    auto found = object.find(key);
    if (found == object.end()) return false;
    if constexpr (std::is_same_v<T, std::uint64_t>) {
        if (!found->is_number_unsigned()) return false;
    } else if constexpr (std::is_same_v<T, bool>) {
        if (!found->is_boolean()) return false;
    } else {
        if (!found->is_string()) return false;
    }
    out = found->get<T>();
    return true;
}

// A ".part" of `length` plaintext bytes has at most ⌊length / chunkSize⌋ whole records before its
// last, shorter one is sealed at the commit; of an unknown length, any number.
bool recordsFit(std::uint64_t records, std::uint64_t length) {
    return length == 0 || records <= length / VaultManager::chunkSize;
}

}  // namespace

ResumeRecord ResumeRecord::of(DownloadRequest request, std::string validator, std::uint64_t length) {
    request.token.clear();
    ResumeRecord record;
    record.request = std::move(request);
    record.validator = std::move(validator);
    record.length = length;
    return record;
}

std::string ResumeRecord::encodedJSON() const {
    return Json{{"version", kFormatVersion}, {"request", requestObject(request)},
                {"validator", validator},    {"length", length},
                {"records", records},        {"paused", paused},
                {"reason", reason}}
        // A server's validator need not be UTF-8: stored with U+FFFD it no longer matches, so the
        // resume starts over instead of the save failing.
        .dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<ResumeRecord> ResumeRecord::decodeJSON(std::string_view json) {
    Json object = Json::parse(json, nullptr, false);
    if (!object.is_object()) return std::nullopt;
    auto version = object.find("version");
    if (version == object.end() || !version->is_number_unsigned() || version->get<std::uint64_t>() != kFormatVersion) {
        return std::nullopt;
    }
    auto request = object.find("request");
    if (request == object.end()) return std::nullopt;
    ResumeRecord record;
    std::optional<DownloadRequest> decoded = requestOf(*request);
    if (!decoded) return std::nullopt;
    record.request = std::move(*decoded);
    bool complete = read(object, "validator", record.validator) && read(object, "length", record.length) &&
                    read(object, "records", record.records) && read(object, "paused", record.paused) &&
                    read(object, "reason", record.reason);
    if (!complete || !recordsFit(record.records, record.length)) return std::nullopt;
    return record;
}

}  // namespace velmora
