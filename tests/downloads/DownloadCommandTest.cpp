#include "DownloadFixtures.h"
#include "bridge/MacBridge.h"
#include "net/HttpSession.h"
#include "support/FakeIdentity.h"
#include "support/FakePage.h"
#include "support/TempDirectory.h"
#include "vault/VaultManager.h"

#include <gtest/gtest.h>

#include <mutex>

namespace velmora {
namespace {

using namespace std::chrono_literals;

// The page's "download" command end to end: bridge, coordinator, authorisation server and vault.
class DownloadCommandTest : public testing::Test {
protected:
    void SetUp() override {
        test::addMediaRoutes(server);
        server.server().Get(test::kAuthorizationPath,
                            [this](const httplib::Request& request, httplib::Response& response) {
                                std::lock_guard lock(mutex);
                                tokensSeen.push_back(request.get_header_value("Authorization"));
                                response.set_content(Json{{"data", {{"offline_download_url", server.url("/media/1500000")}}}}.dump(),
                                                     "application/json");
                            });
        server.start();
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

    bool waitForEnd() {
        return mainQueue->runUntil([&] {
            auto messages = page->messages();
            return !messages.empty() && (messages.back()["type"] == "downloadCompleted" || messages.back()["type"] == "downloadFailed");
        }, 60s);
    }

    static Json refusal(const std::string& assetId) {
        return {{"type", "downloadFailed"}, {"assetId", assetId}, {"message", "离线下载参数不完整，请重新登录后再试"}};
    }

    test::TestHttpsServer server;
    test::TempDirectory dir;
    VaultManager vault{dir.path(), SecretBytes(randomBytes(32))};
    std::shared_ptr<test::TestMainQueue> mainQueue = std::make_shared<test::TestMainQueue>();
    std::unique_ptr<test::FakePage> page;
    std::mutex mutex;
    std::vector<std::string> tokensSeen;
};

TEST_F(DownloadCommandTest, DownloadsWithTheHeldTokenNeverThePages) {
    signIn();
    page->send(downloadBody());
    ASSERT_TRUE(page->bridge->hasDownloadCoordinator());
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(page->messages().back(), (Json{{"type", "downloadCompleted"}, {"assetId", "lesson-1"}}));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(tokensSeen, std::vector<std::string>{"Bearer held-token"});
    }
    // What was sealed reads back as exactly what the server sent.
    Bytes stored = vault.readRange("owner-key", "lesson-1", 0, 1'499'999);
    EXPECT_EQ(std::string(stored.begin(), stored.end()), test::lessonBytes(1'500'000));
}

TEST_F(DownloadCommandTest, RefusesWithoutASessionForAnotherAccountOrAnIncompleteBody) {
    page->send(downloadBody());
    EXPECT_EQ(page->messages().back(), refusal("lesson-1"));

    signIn();
    Json otherAccount = downloadBody();
    otherAccount["ownerKey"] = "someone-else";
    page->send(otherAccount);
    EXPECT_EQ(page->messages().back(), refusal("lesson-1"));

    Json noClass = downloadBody("lesson-2");
    noClass.erase("classId");
    page->send(noClass);
    EXPECT_EQ(page->messages().back(), refusal("lesson-2"));
    Json zeroClass = downloadBody("lesson-3");
    zeroClass["classId"] = 0;
    page->send(zeroClass);
    EXPECT_EQ(page->messages().back(), refusal("lesson-3"));
    Json badAsset = downloadBody();
    badAsset["assetId"] = 12;
    page->send(badAsset);
    EXPECT_EQ(page->messages().back(), refusal(""));

    page->send({{"type", "clearSession"}});
    page->send(downloadBody());
    EXPECT_EQ(page->messages().back(), refusal("lesson-1"));
    EXPECT_FALSE(page->bridge->hasDownloadCoordinator());
    std::lock_guard lock(mutex);
    EXPECT_TRUE(tokensSeen.empty());
}

}  // namespace
}  // namespace velmora
