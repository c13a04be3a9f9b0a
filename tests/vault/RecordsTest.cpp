#include "vault/DownloadRequest.h"
#include "vault/VaultItem.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

Json validBody() {
    return {{"ownerKey", "K"}, {"token", "T"}, {"assetId", "lesson-01"}, {"classId", 5}, {"lessonId", 6},
            {"classTitle", "C"}, {"courseTitle", "Co"}, {"chapterTitle", "Ch"}, {"lessonTitle", "L\nx"},
            {"coverUrl", "https://x/y.png"}, {"courseIndex", 1}, {"chapterIndex", 2}, {"lessonIndex", 3}};
}

TEST(DownloadRequestTest, ReadsTheBodyLenientlyAndRefusesBrokenInvariants) {
    EXPECT_EQ(DownloadRequest::fromDictionary(validBody()),
              (DownloadRequest{"K", "T", "C", "Co", "Ch", "L\nx", "https://x/y.png", "lesson-01", 5, 1, 2, 3, 6}));
    struct Case {
        const char* key;
        Json value;  // null: key removed
        std::optional<std::int64_t> classId;  // nullopt: body refused
    };
    const std::vector<Case> cases = {
        {"classId", "42", 42},  {"classId", "+42", 42},     {"classId", 12.9, 12},     {"classId", true, 1},
        {"classId", "-7", {}},  {"classId", " 42", {}},     {"classId", "42.0", {}},   {"classId", "4e1", {}},
        {"classId", "", {}},    {"lessonId", nullptr, {}},  {"token", 5, {}},          {"token", "", {}},
        {"ownerKey", nullptr, 5}, {"ownerKey", std::string(512, 'k'), 5}, {"ownerKey", std::string(513, 'k'), {}},
        {"token", std::string(65'536, 't'), 5}, {"token", std::string(65'537, 't'), {}}, {"assetId", "a.b", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.key << " = " << c.value.dump().substr(0, 20));
        Json body = validBody();
        if (c.value.is_null()) {
            body.erase(c.key);
        } else {
            body[c.key] = c.value;
        }
        std::optional<DownloadRequest> request = DownloadRequest::fromDictionary(body);
        ASSERT_EQ(request.has_value(), c.classId.has_value());
        if (request) {
            EXPECT_EQ(request->classId, *c.classId);
        }
    }
    EXPECT_FALSE(DownloadRequest::fromDictionary(Json::array({validBody()})));
}

TEST(DownloadRequestTest, TellsSafeAssetIdentifiers) {
    std::string accented64;
    for (int i = 0; i < 64; ++i) accented64 += "e\xCC\x81";  // 64 characters of two scalars each
    const std::vector<std::string> safe = {"lesson-01", "ABC123", "\xE8\xAF\xBE\xE7\xA8\x8B-7", "\xC3\xBC" "ber",
                                           std::string(64, 'a'), "\xD9\xA3", accented64};
    const std::vector<std::string> unsafe = {"", "lesson_01", "a.b", "../x", "a b", "a/b", "a\\b", std::string(65, 'a'),
                                             std::string("a\0b", 3), "\xE2\x82\xAC", "\xFF", accented64 + "e"};
    for (const std::string& id : safe) EXPECT_TRUE(DownloadRequest::isSafeAssetId(id)) << id;
    for (const std::string& id : unsafe) EXPECT_FALSE(DownloadRequest::isSafeAssetId(id)) << id;
}

VaultItem sampleItem() {
    DownloadRequest request{"K", "T", "Class\nA", "Course\r\nB", "Ch", "Lesson", "https://c/d", "lesson-01", 5, -1, 2, 3, 6};
    return VaultItem::fromRequest(request, "ba7816bf8f01cfea414140de5dae2223", 2'500'000);
}

TEST(VaultItemTest, WritesTheFourteenKeysCompactlyAndReadsThemBack) {
    VaultItem item = sampleItem();
    EXPECT_EQ(item.courseTitle, "Course\r\nB");
    Json object = item.jsonObject();
    EXPECT_EQ(object.size(), 14u);
    EXPECT_EQ(object["state"], "completed");
    const std::string json = item.encodedJSON();
    EXPECT_EQ(json.find_first_of(" \n"), std::string::npos);
    EXPECT_EQ(json.find("\"T\""), std::string::npos);  // the token is never stored
    EXPECT_EQ(VaultItem::decodeJSON(json), item);
    std::string escapedSlash = json;
    escapedSlash.replace(escapedSlash.find("https://c/d"), 11, "https:\\/\\/c\\/d");
    EXPECT_EQ(VaultItem::decodeJSON(escapedSlash), item);
    item.size = UINT64_MAX;
    item.classId = INT64_MIN;
    EXPECT_EQ(VaultItem::decodeJSON(item.encodedJSON()), item);
}

TEST(VaultItemTest, RefusesMissingOrMistypedFields) {
    const std::vector<std::pair<const char*, std::optional<Json>>> changes = {  // nullopt: key removed
        {"state", std::nullopt}, {"size", "100"}, {"size", -1}, {"size", 100.0}, {"classTitle", Json()},
        {"classId", "5"}, {"lessonIndex", UINT64_MAX}, {"courseIndex", true}, {"assetId", std::nullopt},
    };
    for (const auto& [key, value] : changes) {
        SCOPED_TRACE(key);
        Json object = sampleItem().jsonObject();
        if (value) {
            object[key] = *value;
        } else {
            object.erase(key);
        }
        EXPECT_FALSE(VaultItem::decodeJSON(object.dump()));
    }
    for (const char* text : {"", "[]", "{", "\xFF\xFE", R"({"size": 18446744073709551616})"}) {
        EXPECT_FALSE(VaultItem::decodeJSON(text)) << text;
    }
}

}  // namespace
}  // namespace velmora
