#include "VaultTestSupport.h"

#include "support/FakeIdentity.h"
#include "support/FakePage.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

namespace fs = std::filesystem;

constexpr const char* kOwner = "owner-K";

Json errorEvent(const std::string& message) { return {{"type", "error"}, {"message", message}}; }

class MacBridgeLibraryTest : public ::testing::Test {
protected:
    BridgeEnvironment environment() {
        BridgeEnvironment env;
        env.dataRoot = fixture.root.path();
        env.identity = std::make_shared<test::FakeIdentity>();
        env.vault = &fixture.vault;
        return env;
    }

    void signIn(const std::string& ownerKey = kOwner) {
        page.send({{"type", "saveSession"}, {"token", "tok"}, {"ownerKey", ownerKey}, {"userName", "learner"}});
        page.webView->scripts.clear();
    }

    // A committed lesson of `ownerKey` with the given class title.
    void store(const std::string& assetId, const std::string& classTitle, const std::string& ownerKey = kOwner) {
        DownloadRequest request = test::lessonRequest(assetId, ownerKey);
        request.classTitle = classTitle;
        test::storeLesson(fixture.vault, request, test::numberedBytes(1024));
    }

    Json downloads(const std::vector<std::string>& assetIds) {
        Json items = Json::array();
        for (const std::string& id : assetIds) {
            items.push_back(VaultItem::decodeJSON(test::readText(fixture.vault.metadataURL(id)))->jsonObject());
        }
        return {{"type", "downloads"}, {"items", items}};
    }

    VaultItem storedItem(const std::string& assetId) {
        return *VaultItem::decodeJSON(test::readText(fixture.vault.metadataURL(assetId)));
    }

    test::VaultFixture fixture;
    test::FakePage page{environment()};
};

TEST_F(MacBridgeLibraryTest, WithoutASessionNothingIsListedDeletedOrChanged) {
    store("a1", "A");
    const std::string before = test::readText(fixture.vault.metadataURL("a1"));
    page.send({{"type", "listDownloads"}, {"ownerKey", kOwner}});
    page.send({{"type", "deleteDownload"}, {"ownerKey", kOwner}, {"assetId", "a1"}});
    page.send({{"type", "updateDownloadMetadata"}, {"ownerKey", kOwner}, {"assetId", "a1"}, {"courseTitle", "X"}});
    EXPECT_EQ(page.messages(), (std::vector<Json>{{{"type", "downloads"}, {"items", Json::array()}},
                                                  errorEvent("不能删除其他账号的离线课程"),
                                                  errorEvent("不能更新其他账号的离线课程目录")}));
    EXPECT_EQ(test::readText(fixture.vault.metadataURL("a1")), before);
    EXPECT_TRUE(fs::exists(fixture.vault.mediaURL("a1")));
}

TEST_F(MacBridgeLibraryTest, ListsTheHeldAccountsLessonsInVaultOrder) {
    store("b2", "B");
    store("a1", "A");
    store("q1", "0", "owner-Q");
    signIn();
    page.send({{"type", "listDownloads"}, {"ownerKey", kOwner}});
    page.send({{"type", "listDownloads"}, {"ownerKey", "owner-Q"}});
    page.send({{"type", "listDownloads"}});
    EXPECT_EQ(page.messages(), (std::vector<Json>{downloads({"a1", "b2"}), downloads({}), downloads({})}));
    ASSERT_EQ(page.messages()[0]["items"][0]["state"], "completed");
}

TEST_F(MacBridgeLibraryTest, DeletesOnlyForTheHeldAccount) {
    store("mine", "A");
    store("theirs", "A", "owner-Q");
    signIn();
    page.send({{"type", "deleteDownload"}, {"ownerKey", "owner-Q"}, {"assetId", "theirs"}});
    page.send({{"type", "deleteDownload"}, {"ownerKey", kOwner}, {"assetId", "theirs"}});
    page.send({{"type", "deleteDownload"}, {"ownerKey", kOwner}, {"assetId", "mine"}});
    page.send({{"type", "deleteDownload"}, {"ownerKey", kOwner}, {"assetId", 42}});
    EXPECT_EQ(page.messages(), (std::vector<Json>{errorEvent("不能删除其他账号的离线课程"),
                                                  errorEvent("不能删除其他账号的离线课程"),
                                                  {{"type", "deleteCompleted"}, {"assetId", "mine"}},
                                                  errorEvent("不能删除其他账号的离线课程")}));
    EXPECT_FALSE(fs::exists(fixture.vault.metadataURL("mine")));
    EXPECT_TRUE(fs::exists(fixture.vault.metadataURL("theirs")));
}

TEST_F(MacBridgeLibraryTest, UpdatesSilentlyReadingIndexesLeniently) {
    store("u1", "A");
    signIn();
    struct Case {
        const char* name;
        Json courseIndex;
        std::int64_t expected;
    };
    for (const Case& c : {Case{"text 3", "3", 3}, Case{"number 2.5", 2.5, 2}, Case{"missing", nullptr, 0},
                          Case{"negative", -5, 0}}) {
        SCOPED_TRACE(c.name);
        Json body = {{"type", "updateDownloadMetadata"}, {"ownerKey", kOwner}, {"assetId", "u1"},
                     {"courseTitle", "New\r\nCourse"}, {"chapterTitle", 7}, {"chapterIndex", "8"}, {"lessonIndex", 9}};
        if (!c.courseIndex.is_null()) body["courseIndex"] = c.courseIndex;
        page.send(body);
        VaultItem item = storedItem("u1");
        EXPECT_EQ(item.courseIndex, c.expected);
        EXPECT_EQ(item.chapterIndex, 8);
        EXPECT_EQ(item.lessonIndex, 9);
        EXPECT_EQ(item.courseTitle, "NewCourse");
        EXPECT_EQ(item.chapterTitle, "");
    }
    EXPECT_TRUE(page.messages().empty());
}

TEST_F(MacBridgeLibraryTest, ReportsTheVaultsUpdateFailureAndForeignAccounts) {
    store("theirs", "A", "owner-Q");
    signIn();
    page.send({{"type", "updateDownloadMetadata"}, {"ownerKey", kOwner}, {"assetId", "theirs"}, {"courseIndex", 1}});
    page.send({{"type", "updateDownloadMetadata"}, {"ownerKey", "owner-Q"}, {"assetId", "theirs"}, {"courseIndex", 1}});
    EXPECT_EQ(page.messages(), (std::vector<Json>{errorEvent("当前账号无权更新这份离线课程目录"),
                                                  errorEvent("不能更新其他账号的离线课程目录")}));
    EXPECT_EQ(storedItem("theirs").courseIndex, 1);  // unchanged from the request
    EXPECT_EQ(storedItem("theirs").courseTitle, "Course");
}

TEST_F(MacBridgeLibraryTest, ClearingTheSessionClosesTheLibrary) {
    store("a1", "A");
    signIn();
    page.send({{"type", "clearSession"}});
    page.send({{"type", "listDownloads"}, {"ownerKey", kOwner}});
    page.send({{"type", "deleteDownload"}, {"ownerKey", kOwner}, {"assetId", "a1"}});
    EXPECT_EQ(page.messages(), (std::vector<Json>{downloads({}), errorEvent("不能删除其他账号的离线课程")}));
    EXPECT_TRUE(fs::exists(fixture.vault.metadataURL("a1")));
}

}  // namespace
}  // namespace velmora
