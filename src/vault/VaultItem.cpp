#include "vault/VaultItem.h"

#include <limits>
#include <utility>

namespace velmora {

namespace {

bool readText(const Json& object, const char* key, std::string& out) {
    auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return false;
    out = found->get<std::string>();
    return true;
}

bool readSigned(const Json& object, const char* key, std::int64_t& out) {
    auto found = object.find(key);
    if (found == object.end()) return false;
    if (found->is_number_integer() && !found->is_number_unsigned()) {
        out = found->get<std::int64_t>();
        return true;
    }
    if (found->is_number_unsigned()) {
        auto value = found->get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
        out = static_cast<std::int64_t>(value);
        return true;
    }
    return false;
}

bool readUnsigned(const Json& object, const char* key, std::uint64_t& out) {
    auto found = object.find(key);
    if (found == object.end() || !found->is_number_integer()) return false;
    if (found->is_number_unsigned()) {
        out = found->get<std::uint64_t>();
        return true;
    }
    auto value = found->get<std::int64_t>();
    if (value < 0) return false;
    out = static_cast<std::uint64_t>(value);
    return true;
}

}  // namespace

VaultItem VaultItem::fromRequest(const DownloadRequest& request, std::string ownerHash, std::uint64_t size) {
    VaultItem item;
    item.assetId = request.assetId;
    item.ownerHash = std::move(ownerHash);
    item.classTitle = request.classTitle;
    item.courseTitle = request.courseTitle;
    item.chapterTitle = request.chapterTitle;
    item.lessonTitle = request.lessonTitle;
    item.coverUrl = request.coverUrl;
    item.classId = request.classId;
    item.courseIndex = request.courseIndex;
    item.chapterIndex = request.chapterIndex;
    item.lessonIndex = request.lessonIndex;
    item.lessonId = request.lessonId;
    item.size = size;
    item.state = kCompletedState;
    return item;
}

Json VaultItem::jsonObject() const {
    return Json{
        {"assetId", assetId},         {"ownerHash", ownerHash},     {"classTitle", classTitle},
        {"courseTitle", courseTitle}, {"chapterTitle", chapterTitle}, {"lessonTitle", lessonTitle},
        {"coverUrl", coverUrl},       {"classId", classId},         {"courseIndex", courseIndex},
        {"chapterIndex", chapterIndex}, {"lessonIndex", lessonIndex}, {"lessonId", lessonId},
        {"size", size},               {"state", state},
    };
}

std::string VaultItem::encodedJSON() const { return jsonObject().dump(); }

std::optional<VaultItem> VaultItem::decodeJSON(std::string_view json) {
    Json object = Json::parse(json.begin(), json.end(), nullptr, false);
    if (!object.is_object()) return std::nullopt;
    VaultItem item;
    bool complete = readText(object, "assetId", item.assetId) && readText(object, "ownerHash", item.ownerHash) &&
                    readText(object, "classTitle", item.classTitle) && readText(object, "courseTitle", item.courseTitle) &&
                    readText(object, "chapterTitle", item.chapterTitle) &&
                    readText(object, "lessonTitle", item.lessonTitle) && readText(object, "coverUrl", item.coverUrl) &&
                    readSigned(object, "classId", item.classId) && readSigned(object, "courseIndex", item.courseIndex) &&
                    readSigned(object, "chapterIndex", item.chapterIndex) &&
                    readSigned(object, "lessonIndex", item.lessonIndex) && readSigned(object, "lessonId", item.lessonId) &&
                    readUnsigned(object, "size", item.size) && readText(object, "state", item.state);
    if (!complete) return std::nullopt;
    return item;
}

}  // namespace velmora
