#include <algorithm>
#include <set>

#include "BridgeOverHttps.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class CoursewareOverHttps : public test::BridgeOverHttps {
protected:
    // No test here adds handlers of its own, so the server can start before each test body.
    void SetUp() override { page(); }

    void registerDefaultHandlers() override {
        server.handleAll("/files/(.*)", [this](const httplib::Request& request, httplib::Response& response) {
            record(request);
            response.set_content("content of " + std::string(request.matches[1]), "application/pdf");
        });
        server.handleAll("/missing.*", [this](const httplib::Request& request, httplib::Response& response) {
            record(request);
            response.status = 404;
            response.set_content("not here", "text/plain");
        });
    }

    void ask(const std::string& url, std::optional<std::string> suggestedName = std::nullopt) {
        Json payload = {{"type", "downloadResource"}, {"url", url}};
        if (suggestedName) payload["suggestedName"] = *suggestedName;
        page().send(payload);
    }

    // Asks for `url`, confirms the panel with `destination` and returns the event that follows.
    Json save(const std::string& url, const fs::path& destination) {
        ask(url);
        EXPECT_EQ(panel->pending.size(), 1u);
        if (panel->pending.empty()) return nullptr;
        std::size_t before = page().messages().size();
        panel->answer(destination);
        Json event;
        mainQueue->runUntil(
            [&] {
                std::vector<Json> messages = page().messages();
                auto found = std::find_if(messages.begin() + static_cast<std::ptrdiff_t>(before), messages.end(),
                                          [](const Json& m) { return m.value("type", "").starts_with("resourceDownload"); });
                return found != messages.end() && (event = *found, true);
            },
            20s);
        return event;
    }

    std::set<std::string> folderContents() {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(downloads.path())) names.insert(entry.path().filename());
        return names;
    }

    test::TempDirectory downloads;
};

TEST_F(CoursewareOverHttps, RefusesAddressesThatAreNotHttpsAtOnce) {
    for (const Json& url : std::vector<Json>{"http://127.0.0.1/files/a.pdf", "not a url", 7}) {
        SCOPED_TRACE(url.dump());
        page().send({{"type", "downloadResource"}, {"url", url}});
    }
    page().send({{"type", "downloadResource"}});
    Json refused = {{"type", "resourceDownloadFailed"}, {"message", "课件地址无效或不安全"}};
    EXPECT_EQ(page().messages(), (std::vector<Json>{refused, refused, refused, refused}));
    EXPECT_TRUE(panel->suggestedNames.empty());
}

TEST_F(CoursewareOverHttps, NeedsTheMainWindowForThePanel) {
    page().application->hasWindow = false;
    ask(server.url("/files/a.pdf"));
    EXPECT_TRUE(panel->suggestedNames.empty());
    mainQueue->runFor(100ms);
    EXPECT_TRUE(page().messages().empty());
}

TEST_F(CoursewareOverHttps, CancellingThePanelSendsNothing) {
    ask(server.url("/files/notes.pdf"), "讲义/第一章:导论.pdf");
    ASSERT_EQ(panel->suggestedNames, std::vector<std::string>{"讲义第一章导论.pdf"});
    panel->answer(std::nullopt);
    mainQueue->runFor(300ms);
    EXPECT_TRUE(page().messages().empty());
    EXPECT_TRUE(requests().empty());
}

TEST_F(CoursewareOverHttps, SavesTheFileWhereTheLearnerChoseReplacingAnExistingOne) {
    test::writeFile(downloads / "chosen.pdf", std::string("old contents that are longer than the new ones"));
    for (const auto& [name, file] : std::vector<std::pair<std::string, std::string>>{{"notes.pdf", "notes.pdf"},
                                                                                      {"new.pdf", "chosen.pdf"}}) {
        SCOPED_TRACE(file);
        fs::path destination = downloads / file;
        EXPECT_EQ(save(server.url("/files/" + name), destination),
                  (Json{{"type", "resourceDownloadCompleted"}, {"path", destination.string()}}));
        EXPECT_EQ(panel->suggestedNames.back(), name);
        EXPECT_EQ(test::readText(destination), "content of " + name);
        EXPECT_EQ(requests().back().header("Accept"), "application/octet-stream,*/*;q=0.8");
    }
    EXPECT_EQ(folderContents(), (std::set<std::string>{"chosen.pdf", "notes.pdf"}));
}

TEST_F(CoursewareOverHttps, NotFoundWritesNothingAndKeepsAnExistingFile) {
    const Json notFound = {{"type", "resourceDownloadFailed"}, {"message", "课件服务返回 HTTP 404"}};
    EXPECT_EQ(save(server.url("/missing/fresh.pdf"), downloads / "fresh.pdf"), notFound);
    EXPECT_TRUE(folderContents().empty());
    test::writeFile(downloads / "existing.pdf", std::string("keep me"));
    EXPECT_EQ(save(server.url("/missing/existing.pdf"), downloads / "existing.pdf"), notFound);
    EXPECT_EQ(test::readText(downloads / "existing.pdf"), "keep me");
    EXPECT_EQ(folderContents(), std::set<std::string>{"existing.pdf"});
}

TEST_F(CoursewareOverHttps, TransportAndMoveFailuresKeepThePlatformsText) {
    Json unreachable = save("https://127.0.0.1:1/files/a.pdf", downloads / "a.pdf");
    EXPECT_EQ(unreachable.value("type", ""), "resourceDownloadFailed");
    EXPECT_NE(unreachable.value("message", "").find("127.0.0.1"), std::string::npos) << unreachable.dump();

    fs::create_directory(downloads / "folder.pdf");
    test::writeFile(downloads / "folder.pdf" / "inside", std::string("x"));
    Json overFolder = save(server.url("/files/b.pdf"), downloads / "folder.pdf");
    EXPECT_EQ(overFolder.value("type", ""), "resourceDownloadFailed");
    EXPECT_NE(overFolder.value("message", "").find("folder.pdf"), std::string::npos) << overFolder.dump();
    EXPECT_EQ(folderContents(), std::set<std::string>{"folder.pdf"});
    EXPECT_EQ(test::readText(downloads / "folder.pdf" / "inside"), "x");
}

TEST_F(CoursewareOverHttps, SendsNoAuthorizationWithoutAHeldToken) {
    save(server.url("/files/one.pdf"), downloads / "one.pdf");
    page().send({{"type", "saveSession"}, {"token", ""}, {"ownerKey", "owner"}});  // refused: nothing held
    save(server.url("/files/two.pdf"), downloads / "two.pdf");
    ASSERT_EQ(requests().size(), 2u);
    for (const test::SeenRequest& seen : requests()) EXPECT_FALSE(seen.hasHeaderNamed("Authorization")) << seen.path;
}

TEST_F(CoursewareOverHttps, UsesTheTokenHeldWhenTheLearnerConfirms) {
    page().send({{"type", "saveSession"}, {"token", "early"}, {"ownerKey", "owner"}});
    ask(server.url("/files/a.pdf"));
    page().send({{"type", "saveSession"}, {"token", "confirmed"}, {"ownerKey", "owner"}});
    panel->answer(downloads / "a.pdf");
    ASSERT_FALSE(awaitMessage("resourceDownloadCompleted").is_null());
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].header("Authorization"), "Bearer confirmed");

    ask(server.url("/files/b.pdf"));
    page().send({{"type", "clearSession"}});
    panel->answer(downloads / "b.pdf");
    mainQueue->runUntil([&] { return requests().size() == 2; }, 20s);
    ASSERT_EQ(requests().size(), 2u);
    EXPECT_FALSE(requests()[1].hasHeaderNamed("Authorization"));
}

TEST_F(CoursewareOverHttps, ConfirmedDownloadFinishesAfterTheBridgeIsGone) {
    ask(server.url("/files/late.pdf"));
    test::FakePage& fake = page();
    fake.bridge.reset();
    panel->answer(downloads / "late.pdf");
    mainQueue->runUntil([&] { return fs::exists(downloads / "late.pdf"); }, 20s);
    mainQueue->runFor(200ms);
    EXPECT_EQ(test::readText(downloads / "late.pdf"), "content of late.pdf");
    EXPECT_TRUE(fake.messages().empty());
}

}  // namespace
}  // namespace velmora
