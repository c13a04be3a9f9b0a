#include "VaultTestSupport.h"

#include "vault/RecordSealer.h"

namespace velmora {
namespace {

using test::fromHex;

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
        // integer()'s own rules are PayloadTest's; these show the fields are read through it.
        {"classId", "42", 42},  {"classId", 12.9, 12},      {"classId", " 42", {}},    {"classId", "-7", {}},
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

TEST(VaultFormatTest, OwnerTagAndHeaderVectors) {
    EXPECT_EQ(VaultManager::ownerHash("abc"), "ba7816bf8f01cfea414140de5dae2223");
    EXPECT_EQ(VaultManager::ownerHash(""), "e3b0c44298fc1c149afbf4c8996fb924");
    EXPECT_EQ(VaultManager::makeHeader(), fromHex("564c4d41433030310100000000001000" "00000000000000000000000000000000"));
    EXPECT_EQ(VaultManager::makeHeader(2'500'000), fromHex("564c4d41433030310100000000001000" "a0252600000000000000000000000000"));
}

TEST(VaultFormatTest, RecordsAreLengthNonceTagCiphertextWithFreshNonces) {
    const SecretBytes key = test::fixedMasterKey();
    for (auto [size, lengthField] : {std::pair<std::size_t, const char*>{1'048'576, "00001000"}, {5, "05000000"}}) {
        SCOPED_TRACE(size);
        const Bytes plain = test::numberedBytes(size);
        const Bytes first = VaultManager::encryptChunk(plain, key.span());
        const Bytes second = VaultManager::encryptChunk(plain, key.span());
        ASSERT_EQ(first.size(), size + 32);
        EXPECT_EQ(Bytes(first.begin(), first.begin() + 4), fromHex(lengthField));
        EXPECT_NE(Bytes(first.begin() + 4, first.begin() + 16), Bytes(second.begin() + 4, second.begin() + 16));
        for (const Bytes& record : {first, second}) {
            Bytes opened(size);
            ByteView view(record);
            ASSERT_TRUE(AesGcm256::open(key.span(), view.subspan(4, 12), view.subspan(32), {}, view.subspan(16, 16), opened));
            EXPECT_EQ(opened, plain);
        }
    }
    EXPECT_THROW(VaultManager::encryptChunk({}, key.span()), std::invalid_argument);
    EXPECT_THROW(VaultManager::encryptChunk(Bytes(1'048'577), key.span()), std::invalid_argument);
    Bytes tooShort(36);
    EXPECT_THROW(VaultManager::encryptChunk(Bytes(5), key.span(), tooShort), std::invalid_argument);
    RecordSealer sealer{SecretBytes(key)};
    Bytes room(32 + 10);
    sealer.begin(room);
    sealer.add(Bytes(6));
    EXPECT_THROW(sealer.add(Bytes(5)), std::invalid_argument);  // past the record's room
    sealer.begin(room);
    EXPECT_THROW(sealer.finish(), std::invalid_argument);  // no plaintext
}

TEST(VaultFormatTest, MediaKeysAreHkdfSaltedByAssetWithTheRawAccountKeyAsInfo) {
    test::VaultFixture fixture;
    // From `openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt hexkey:0001…1f
    //   -kdfopt salt:lesson-01 -kdfopt info:account-K HKDF`.
    EXPECT_EQ(hexLower(fixture.vault.key({"account-K", "lesson-01"}).span()),
              "4e0d3e97c957c1f1ad9ec3f9d4b2c86a28ccfe646b625986c04868313756e4e5");
    EXPECT_FALSE(fixture.vault.key({"K", "A"}) == fixture.vault.key({"K", "B"}));
    EXPECT_FALSE(fixture.vault.key({"K", "A"}) == fixture.vault.key({"K2", "A"}));
    EXPECT_EQ(test::modeOf(fixture.vault.rootURL()), 0700u);
}

}  // namespace
}  // namespace velmora
