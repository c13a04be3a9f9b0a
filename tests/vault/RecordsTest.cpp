#include "vault/DownloadRequest.h"
#include "vault/VaultItem.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora {
namespace {

Json validBody() {
    return {{"ownerKey", "K"}, {"token", "T"}, {"assetId", "lesson-01"}, {"classId", 5}, {"lessonId", 6},
            {"classTitle", "C"}, {"courseTitle", "Co"}, {"chapterTitle", "Ch"}, {"lessonTitle", "L"},
            {"coverUrl", "https://x/y.png"}, {"courseIndex", 1}, {"chapterIndex", 2}, {"lessonIndex", 3}};
}

std::string repeated(const std::string& unit, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += unit;
    return out;
}

TEST(DownloadRequestTest, ReadsEveryFieldOfAValidBody) {
    std::optional<DownloadRequest> request = DownloadRequest::fromDictionary(validBody());
    ASSERT_TRUE(request);
    EXPECT_EQ(*request, (DownloadRequest{"K", "T", "C", "Co", "Ch", "L", "https://x/y.png", "lesson-01", 5, 1, 2, 3, 6}));
}

struct IntegerCase {
    const char* name;
    Json value;
    std::int64_t expected;
};

TEST(DownloadRequestTest, ReadsIntegersLikeThePayloadReader) {
    const std::vector<IntegerCase> cases = {
        {"text", "42", 42},      {"plus text", "+42", 42},      {"leading blank", " 42", 0}, {"fraction text", "42.0", 0},
        {"exponent", "4e1", 0},  {"empty text", "", 0},         {"float", 12.9, 12},         {"true", true, 1},
        {"negative", -3.7, -3},  {"null", nullptr, 0},          {"array", Json::array({7}), 0},
    };
    for (const IntegerCase& c : cases) {
        SCOPED_TRACE(c.name);
        Json body = validBody();
        body["courseIndex"] = c.value;
        std::optional<DownloadRequest> request = DownloadRequest::fromDictionary(body);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->courseIndex, c.expected);
    }
}

TEST(DownloadRequestTest, RefusesBodiesThatBreakAnInvariant) {
    struct Change {
        const char* name;
        const char* key;
        Json value;
    };
    const std::vector<Change> refused = {
        {"classId -7 text", "classId", "-7"}, {"classId 0", "classId", 0},    {"classId text 42.0", "classId", "42.0"},
        {"lessonId missing", "lessonId", nullptr}, {"token number", "token", 5}, {"token empty", "token", ""},
        {"ownerKey 513", "ownerKey", std::string(513, 'k')}, {"unsafe asset", "assetId", "a.b"},
        {"asset number", "assetId", 12},
    };
    for (const Change& change : refused) {
        SCOPED_TRACE(change.name);
        Json body = validBody();
        if (change.value.is_null()) {
            body.erase(change.key);
        } else {
            body[change.key] = change.value;
        }
        EXPECT_FALSE(DownloadRequest::fromDictionary(body));
    }
    for (const Json& notAnObject : {Json(nullptr), Json::array({validBody()}), Json("body")}) {
        EXPECT_FALSE(DownloadRequest::fromDictionary(notAnObject));
    }
}

TEST(DownloadRequestTest, AcceptsBoundaryValues) {
    Json body = validBody();
    body.erase("ownerKey");
    body["classId"] = "+42";
    body["lessonId"] = true;
    body["courseIndex"] = -9;
    std::optional<DownloadRequest> request = DownloadRequest::fromDictionary(body);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->ownerKey, "");
    EXPECT_EQ(request->classId, 42);
    EXPECT_EQ(request->lessonId, 1);
    EXPECT_EQ(request->courseIndex, -9);

    body["ownerKey"] = repeated("\xE4\xBD\xA0", 512);  // 512 characters, 1,536 bytes
    body["token"] = std::string(65'536, 't');
    EXPECT_TRUE(DownloadRequest::fromDictionary(body));
    body["token"] = std::string(65'537, 't');
    EXPECT_FALSE(DownloadRequest::fromDictionary(body));
}

TEST(DownloadRequestTest, TellsSafeAssetIdentifiers) {
    const std::string letterWithAccent = "e\xCC\x81";  // one character, two scalars
    const std::vector<std::string> safe = {
        "lesson-01", "ABC123", "\xE8\xAF\xBE\xE7\xA8\x8B-7", "\xC3\xBC" "ber", std::string(64, 'a'), "-",
        "\xD9\xA3", repeated(letterWithAccent, 64),
    };
    const std::vector<std::string> unsafe = {
        "", "lesson_01", "a.b", "../x", "a b", "a/b", "a\\b", "a%2F", std::string(65, 'a'), "..", "a\nb",
        std::string("a\0b", 3), "a+b", "\xE2\x82\xAC", "\xFF", "a\xC3", repeated(letterWithAccent, 65),
    };
    for (const std::string& id : safe) {
        SCOPED_TRACE(id);
        EXPECT_TRUE(DownloadRequest::isSafeAssetId(id));
    }
    for (const std::string& id : unsafe) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(DownloadRequest::isSafeAssetId(id));
    }
}

VaultItem sampleItem() {
    DownloadRequest request{"K", "T", "Class\nA", "Course\r\nB", std::string("Ch\0X", 4), "Lesson", "https://c/d",
                            "lesson-01", 5, -1, 2, 3, 6};
    return VaultItem::fromRequest(request, "ba7816bf8f01cfea414140de5dae2223", 2'500'000);
}

TEST(VaultItemTest, FromRequestKeepsTitlesUnchangedAndDropsSecrets) {
    VaultItem item = sampleItem();
    EXPECT_EQ(item.classTitle, "Class\nA");
    EXPECT_EQ(item.courseTitle, "Course\r\nB");
    EXPECT_EQ(item.chapterTitle, std::string("Ch\0X", 4));
    EXPECT_EQ(item.courseIndex, -1);
    EXPECT_EQ(item.size, 2'500'000u);
    EXPECT_EQ(item.state, "completed");
    const std::string json = item.encodedJSON();
    EXPECT_EQ(json.find("\"T\""), std::string::npos);
    EXPECT_EQ(json.find("token"), std::string::npos);
    EXPECT_EQ(json.find("ownerKey"), std::string::npos);
}

TEST(VaultItemTest, JsonFormHasExactlyTheFourteenKeysAndRoundTrips) {
    VaultItem item = sampleItem();
    Json object = item.jsonObject();
    EXPECT_EQ(object.size(), 14u);
    EXPECT_EQ(object["state"], "completed");
    EXPECT_TRUE(object["size"].is_number_unsigned());
    EXPECT_TRUE(object["courseIndex"].is_number_integer());
    EXPECT_EQ(item.encodedJSON().find(' '), std::string::npos);
    EXPECT_EQ(VaultItem::decodeJSON(item.encodedJSON()), item);

    item.size = UINT64_MAX;
    item.classId = INT64_MIN;
    EXPECT_EQ(VaultItem::decodeJSON(item.encodedJSON()), item);
}

TEST(VaultItemTest, DecodeAcceptsAnyKeyOrderEscapedSlashAndExtraKeys) {
    Json object = sampleItem().jsonObject();
    object["extra"] = Json::array({1, 2});
    std::string text = object.dump();
    std::string reversed = "{";
    std::vector<std::string> members;
    for (auto& [key, value] : object.items()) members.push_back(Json(key).dump() + ":" + value.dump());
    for (auto it = members.rbegin(); it != members.rend(); ++it) reversed += (it == members.rbegin() ? "" : ",") + *it;
    reversed += "}";
    std::string escaped = text;
    for (std::size_t at = escaped.find("https://c/d"); at != std::string::npos; at = std::string::npos) {
        escaped.replace(at, 11, "https:\\/\\/c\\/d");
    }
    for (const std::string& form : {text, reversed, escaped}) {
        SCOPED_TRACE(form);
        EXPECT_EQ(VaultItem::decodeJSON(form), sampleItem());
    }
}

TEST(VaultItemTest, DecodeRefusesMissingOrMistypedFields) {
    struct Change {
        const char* name;
        const char* key;
        Json value;
        bool remove;
    };
    const std::vector<Change> changes = {
        {"state missing", "state", nullptr, true},       {"size as text", "size", "100", false},
        {"size negative", "size", -1, false},            {"size float", "size", 100.0, false},
        {"title null", "classTitle", nullptr, false},    {"classId text", "classId", "5", false},
        {"lessonIndex too big", "lessonIndex", UINT64_MAX, false}, {"ownerHash number", "ownerHash", 1, false},
        {"courseIndex boolean", "courseIndex", true, false}, {"assetId missing", "assetId", nullptr, true},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.name);
        Json object = sampleItem().jsonObject();
        if (change.remove) {
            object.erase(change.key);
        } else {
            object[change.key] = change.value;
        }
        EXPECT_FALSE(VaultItem::decodeJSON(object.dump()));
    }
    for (const char* text : {"", "[]", "null", "{", "{\"a\":1}", "\xFF\xFE"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(VaultItem::decodeJSON(text));
    }
    EXPECT_FALSE(VaultItem::decodeJSON(R"({"size": 18446744073709551616})"));
}

}  // namespace
}  // namespace velmora
