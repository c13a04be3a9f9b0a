#include "VaultTestSupport.h"

#include "support/FakeIdentity.h"
#include "support/FakePage.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

namespace fs = std::filesystem;

constexpr const char* kOwner = "owner-K";

Json errorEvent(const std::string& message) { return {{"type", "error"}, {"message", message}}; }

class MacBridgeLibraryTest : public testing::Test, public test::VaultFixture {
protected:
    void SetUp() override {
        for (auto [id, owner] : {std::pair{"b2", kOwner}, {"a1", kOwner}, {"q1", "owner-Q"}}) {
            DownloadRequest request = test::lessonRequest(id, owner);
            request.classTitle = id;
            test::storeLesson(vault, request, test::numberedBytes(1024));
        }
    }
    void signIn() { page.send({{"type", "saveSession"}, {"token", "tok"}, {"ownerKey", kOwner}}); }
    Json downloads(const std::vector<std::string>& ids) {
        Json items = Json::array();
        for (const std::string& id : ids) items.push_back(stored(id).jsonObject());
        return {{"type", "downloads"}, {"items", items}};
    }
    VaultItem stored(const std::string& id) { return *VaultItem::decodeJSON(test::readText(vault.metadataURL(id))); }

    test::FakePage page{[this] {
        BridgeEnvironment env;
        env.dataRoot = root.path();
        env.identity = std::make_shared<test::FakeIdentity>();
        env.vault = &vault;
        return env;
    }()};
};

TEST_F(MacBridgeLibraryTest, WithoutTheHeldAccountNothingIsListedDeletedOrChanged) {
    const Json list = {{"type", "listDownloads"}, {"ownerKey", kOwner}};
    const Json remove = {{"type", "deleteDownload"}, {"ownerKey", kOwner}, {"assetId", "a1"}};
    const Json update = {{"type", "updateDownloadMetadata"}, {"ownerKey", kOwner}, {"assetId", "a1"}, {"courseIndex", 9}};
    const std::vector<Json> refusals = {downloads({}), errorEvent("不能删除其他账号的离线课程"),
                                        errorEvent("不能更新其他账号的离线课程目录")};
    for (const Json& body : {list, remove, update}) page.send(body);  // nobody signed in
    signIn();
    page.send({{"type", "clearSession"}});
    for (const Json& body : {list, remove, update}) page.send(body);
    signIn();
    for (Json body : {list, remove, update}) {
        body["ownerKey"] = "owner-Q";
        page.send(body);
    }
    std::vector<Json> expected;
    for (int i = 0; i < 3; ++i) expected.insert(expected.end(), refusals.begin(), refusals.end());
    EXPECT_EQ(page.messages(), expected);
    EXPECT_EQ(stored("a1").courseIndex, 1);
    EXPECT_TRUE(fs::exists(vault.mediaURL("a1")));
}

TEST_F(MacBridgeLibraryTest, DamageIsToldToTheSignedInAccountOnly) {
    page.bridge->offlineLessonDamaged("a1", kOwner);  // nobody signed in
    signIn();
    page.bridge->offlineLessonDamaged("q1", "owner-Q");
    page.bridge->offlineLessonDamaged("a1", kOwner);
    EXPECT_EQ(page.messages(), (std::vector<Json>{{{"type", "offlineLessonDamaged"}, {"assetId", "a1"}}}));
}

TEST_F(MacBridgeLibraryTest, ListsAndDeletesTheHeldAccountsLessonsOnly) {
    const Json listing = downloads({"a1", "b2"});
    signIn();
    page.send({{"type", "listDownloads"}, {"ownerKey", kOwner}});
    page.send({{"type", "deleteDownload"}, {"ownerKey", kOwner}, {"assetId", "q1"}});
    page.send({{"type", "deleteDownload"}, {"ownerKey", kOwner}, {"assetId", "a1"}});
    const std::vector<Json> expected = {listing, errorEvent("不能删除其他账号的离线课程"),
                                        {{"type", "deleteCompleted"}, {"assetId", "a1"}}};
    EXPECT_EQ(page.messages(), expected);
    EXPECT_FALSE(fs::exists(vault.metadataURL("a1")));
    EXPECT_TRUE(fs::exists(vault.metadataURL("q1")));
}

TEST_F(MacBridgeLibraryTest, UpdatesSilentlyReadingIndexesLeniently) {
    signIn();
    for (auto [given, expected] : {std::pair<Json, std::int64_t>{"3", 3}, {2.5, 2}, {nullptr, 0}, {-5, 0}}) {
        SCOPED_TRACE(given.dump());
        Json body = {{"type", "updateDownloadMetadata"}, {"ownerKey", kOwner}, {"assetId", "a1"},
                     {"courseTitle", "New\r\nCourse"}, {"chapterTitle", 7}, {"lessonIndex", "8"}};
        if (!given.is_null()) body["courseIndex"] = given;
        page.send(body);
        VaultItem item = stored("a1");
        EXPECT_EQ(item.courseIndex, expected);
        EXPECT_EQ(item.lessonIndex, 8);
        EXPECT_EQ(item.courseTitle, "NewCourse");
        EXPECT_EQ(item.chapterTitle, "");
    }
    EXPECT_TRUE(page.messages().empty());
    page.send({{"type", "updateDownloadMetadata"}, {"ownerKey", kOwner}, {"assetId", "q1"}});
    EXPECT_EQ(page.messages(), std::vector<Json>{errorEvent("当前账号无权更新这份离线课程目录")});
}

}  // namespace
}  // namespace velmora
