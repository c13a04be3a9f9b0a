#include "bridge/MacBridge.h"
#include "downloads/DownloadFixtures.h"
#include "net/HttpSession.h"
#include "support/FakeIdentity.h"
#include "support/FakePage.h"
#include "support/TempDirectory.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

// The page's "download" command end to end: bridge, coordinator, authorisation server and vault.
class DownloadCommandTest : public test::DownloadServerTest {
protected:
    void SetUp() override {
        DownloadServerTest::SetUp();
        answerWithMedia("/media/1500000");
        BridgeEnvironment environment;
        environment.endpoints = server.endpoints();
        environment.endpoints.webHost = "velmora.test";
        environment.mainQueue = mainQueue;
        environment.dataRoot = dir.path();
        environment.identity = std::make_shared<test::FakeIdentity>();
        environment.vault = &vault;
        environment.http = std::make_shared<HttpSession>(server.endpoints(), mainQueue);
        page = std::make_unique<test::FakePage>(environment);
    }

    void signIn() { page->send({{"type", "saveSession"}, {"token", "held-token"}, {"ownerKey", "owner-key"}}); }

    Json downloadBody(const std::string& assetId = "lesson-1") const {
        return {{"type", "download"}, {"ownerKey", "owner-key"}, {"token", "page-token"}, {"assetId", assetId},
                {"classId", 3},       {"lessonId", "8"},          {"lessonTitle", "第八课"}};
    }

    std::unique_ptr<test::FakePage> page;
};

TEST_F(DownloadCommandTest, DownloadsWithTheHeldTokenNeverThePages) {
    signIn();
    page->send(downloadBody());
    ASSERT_TRUE(page->bridge->hasDownloadCoordinator());
    ASSERT_TRUE(mainQueue->runUntil([&] {
        auto messages = page->messages();
        return !messages.empty() && (messages.back()["type"] == "downloadCompleted" || messages.back()["type"] == "downloadFailed");
    }, 60s));
    EXPECT_EQ(page->messages().back(), (Json{{"type", "downloadCompleted"}, {"assetId", "lesson-1"}}));
    using Ended = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(page->application->endedDownloads, (Ended{{"lesson-1", "《第八课》已保存为离线课程"}}));
    std::lock_guard lock(mutex);
    ASSERT_EQ(authorizations.size(), 1u);
    EXPECT_EQ(authorizations[0].get_header_value("Authorization"), "Bearer held-token");
}

TEST_F(DownloadCommandTest, RefusesWithoutASessionForAnotherAccountOrAnIncompleteBody) {
    const auto expectRefused = [&](const char* why, const Json& body, const std::string& assetId) {
        SCOPED_TRACE(why);
        page->send(body);
        EXPECT_EQ(page->messages().back(),
                  (Json{{"type", "downloadFailed"}, {"assetId", assetId}, {"message", "离线下载参数不完整，请重新登录后再试"}}));
    };
    expectRefused("no session", downloadBody(), "lesson-1");
    signIn();
    Json otherAccount = downloadBody(), badAsset = downloadBody();
    Json noClass = downloadBody("lesson-2"), zeroClass = downloadBody("lesson-3");
    otherAccount["ownerKey"] = "someone-else";
    noClass.erase("classId");
    zeroClass["classId"] = 0;
    badAsset["assetId"] = 12;
    expectRefused("other account", otherAccount, "lesson-1");
    expectRefused("no class", noClass, "lesson-2");
    expectRefused("zero class", zeroClass, "lesson-3");
    expectRefused("asset not text", badAsset, "");
    page->send({{"type", "clearSession"}});
    expectRefused("signed out", downloadBody(), "lesson-1");
    EXPECT_FALSE(page->bridge->hasDownloadCoordinator());
    EXPECT_EQ(page->application->endedDownloads.size(), 6u);  // the shell hears of every refusal too
    std::lock_guard lock(mutex);
    EXPECT_TRUE(authorizations.empty());
}

TEST_F(DownloadCommandTest, RefusesALessonThisMachineKeepsForAnotherAccountBeforeAnyRequest) {
    DownloadRequest theirs = test::lessonRequest("lesson-1");
    vault.saveMetadata(VaultItem::fromRequest(theirs, VaultManager::ownerHash("owner-Q"), 4096));
    test::writeFile(vault.mediaURL("lesson-1"), std::string("their media"));
    signIn();
    page->send(downloadBody());
    mainQueue->runFor(200ms);
    EXPECT_EQ(page->messages().back(), (Json{{"type", "downloadFailed"},
                                             {"assetId", "lesson-1"},
                                             {"message", "本机上的其他账号已保存这节离线课程，无法重复保存"}}));
    EXPECT_EQ(test::readText(vault.mediaURL("lesson-1")), "their media");
    EXPECT_FALSE(std::filesystem::exists(vault.partialURL("lesson-1")));
    std::lock_guard lock(mutex);
    EXPECT_TRUE(authorizations.empty());
}

// The lifecycle commands act only on the held account's lessons: another account's, an unknown
// one or one after sign-out is refused and its files stay; sign-out pauses the account's lesson.
TEST_F(DownloadCommandTest, LifecycleCommandsServeOnlyTheHeldAccount) {
    answerWithMedia("/stall/1200000");
    page->send({{"type", "restoreSession"}});
    EXPECT_EQ(page->messages().back(), (Json{{"type", "networkChanged"}, {"available", true}, {"metered", false}}));
    signIn();
    page->send(downloadBody());
    ASSERT_TRUE(mainQueue->runUntil([&] { return page->messages().back()["phase"] == "downloading"; }, 20s));
    const Json refusal = {{"type", "downloadFailed"}, {"assetId", "lesson-9"}, {"message", "离线下载参数不完整，请重新登录后再试"}};
    for (const char* command : {"pauseDownload", "resumeDownload", "cancelDownload"}) {
        SCOPED_TRACE(command);
        page->send({{"type", command}, {"assetId", "lesson-9"}});
        EXPECT_EQ(page->messages().back(), refusal);
    }
    page->send({{"type", "listInterruptedDownloads"}, {"ownerKey", "someone-else"}});
    EXPECT_EQ(page->messages().back(), (Json{{"type", "interruptedDownloads"}, {"items", Json::array()}}));
    page->send({{"type", "listInterruptedDownloads"}, {"ownerKey", "owner-key"}});
    ASSERT_EQ(page->messages().back()["items"].size(), 1u);
    EXPECT_EQ(page->messages().back()["items"][0]["lessonTitle"], "第八课");

    page->send({{"type", "clearSession"}});
    ASSERT_TRUE(mainQueue->runUntil([&] { return page->messages().back()["phase"] == "paused"; }, 20s));
    page->send({{"type", "cancelDownload"}, {"assetId", "lesson-1"}});
    EXPECT_EQ(page->messages().back()["message"], "离线下载参数不完整，请重新登录后再试");
    EXPECT_TRUE(std::filesystem::exists(vault.partialURL("lesson-1")));
    signIn();
    page->send({{"type", "cancelDownload"}, {"assetId", "lesson-1"}});
    EXPECT_EQ(page->messages().back(), (Json{{"type", "downloadFailed"}, {"assetId", "lesson-1"}, {"message", "下载已取消"}}));
    EXPECT_FALSE(std::filesystem::exists(vault.partialURL("lesson-1")));
    EXPECT_FALSE(std::filesystem::exists(vault.resumeURL("lesson-1")));
}

}  // namespace
}  // namespace velmora
