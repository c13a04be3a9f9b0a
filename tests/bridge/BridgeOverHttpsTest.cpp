#include <gtest/gtest.h>

#include <strings.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "net/HttpSession.h"
#include "support/FakeIdentity.h"
#include "support/FakePage.h"
#include "support/FakeSavePanel.h"
#include "support/TempDirectory.h"
#include "support/TestHttpsServer.h"
#include "support/TestMainQueue.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::size_t kMiB = 1024 * 1024;

// A request as the local server saw it, header names spelled as they came over the wire.
struct SeenRequest {
    std::string method;
    std::string path;
    std::string target;  // the request target as it came over the wire
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The value of the header spelled exactly `name`, or "<absent>".
    std::string header(std::string_view name) const {
        for (const auto& [key, value] : headers) {
            if (key == name) return value;
        }
        return "<absent>";
    }
    bool hasHeaderNamed(const std::string& name) const {  // in any letter case
        return std::any_of(headers.begin(), headers.end(),
                           [&](const auto& header) { return ::strcasecmp(header.first.c_str(), name.c_str()) == 0; });
    }
};

// A bridge wired to a fake page and save panel, with a real HttpSession talking to a local HTTPS
// server that plays the API host. Register server handlers before the first call to page().
class BridgeOverHttps : public ::testing::Test {
protected:
    // Handlers every test of the fixture shares; registered after the test's own, so those win.
    virtual void registerDefaultHandlers() {}

    test::FakePage& page() {
        if (!page_) {
            registerDefaultHandlers();
            server.start();
            BridgeEnvironment environment;
            environment.endpoints = server.endpoints();
            environment.mainQueue = mainQueue;
            http = std::make_shared<HttpSession>(environment.endpoints, mainQueue);
            environment.http = http;
            environment.savePanel = panel;
            environment.apiTimeout = apiTimeout;
            environment.dataRoot = dataRoot.path();
            environment.identity = std::make_shared<test::FakeIdentity>();
            page_ = std::make_unique<test::FakePage>(std::move(environment));
        }
        return *page_;
    }

    void record(const httplib::Request& request) {
        std::lock_guard lock(mutex_);
        seen_.push_back({request.method, request.path, request.target, {request.headers.begin(), request.headers.end()}, request.body});
    }

    std::vector<SeenRequest> requests() {
        std::lock_guard lock(mutex_);
        return seen_;
    }

    // Pumps the main queue until the page has received a message of `type` (and, when given,
    // "requestId"); returns it, or null after the time limit.
    Json awaitMessage(const std::string& type, std::optional<std::string> requestId = std::nullopt) {
        Json found;
        mainQueue->runUntil(
            [&] {
                for (const Json& message : page().messages()) {
                    if (message.value("type", "") == type && (!requestId || message.value("requestId", "") == *requestId)) {
                        return found = message, true;
                    }
                }
                return false;
            },
            30s);
        return found;
    }

    test::TestHttpsServer server;  // outlives the session below
    std::shared_ptr<test::TestMainQueue> mainQueue = std::make_shared<test::TestMainQueue>();
    std::shared_ptr<test::FakeSavePanel> panel = std::make_shared<test::FakeSavePanel>();
    std::chrono::milliseconds apiTimeout = 45s;
    test::TempDirectory dataRoot;       // the secure store of "saveSession"
    std::shared_ptr<HttpSession> http;  // held here too, as the shell holds the process's session

private:
    std::unique_ptr<test::FakePage> page_;
    std::mutex mutex_;
    std::vector<SeenRequest> seen_;
};

long peakMemoryKiB(bool reset = false) {
    if (reset && !(std::ofstream("/proc/self/clear_refs") << "5").flush()) return -1;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
    }
    return -1;
}

class ApiProxyOverHttps : public BridgeOverHttps {
protected:
    // "slow/<ms>" answers its delay after waiting it; everything else is recorded and answered.
    void registerDefaultHandlers() override {
        server.server().Get("/api/web/v2/slow/(\\d+)", [](const httplib::Request& request, httplib::Response& response) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(request.matches[1])));
            response.set_content(std::string(request.matches[1]), "text/plain");
        });
        server.handleAll("/api/web/v2/.*", [this](const httplib::Request& request, httplib::Response& response) {
            record(request);
            response.set_content("{\"ok\":true}", "application/json");
        });
    }

    Json request(Json payload) {
        static int next = 0;
        std::string id = "r" + std::to_string(++next);
        payload["type"] = "apiRequest";
        payload["requestId"] = id;
        page().send(payload);
        return awaitMessage("nativeResponse", id);
    }
};

TEST_F(ApiProxyOverHttps, SendsTheExactMultipartBytes) {
    Json parts = Json::array({
        {{"name", "a\"b\n"}, {"value", "plain"}},
        {{"name", "doc"}, {"fileName", "报\\告\r.pdf"}, {"mimeType", "application/pdf\"raw"}, {"base64", "JVBERi0xLjQK/w=="}},
        {{"name", "bin"}, {"fileName", "x.bin"}, {"base64", "AA=="}},
        {{"name", "noFileName"}, {"base64", "Zm9v"}},
        {{"name", "bad64"}, {"fileName", "x.bin"}, {"base64", "Zm9v\n"}, {"value", "kept"}},
        {{"value", "no name, dropped"}},
    });
    Json reply = request({{"path", "upload"}, {"method", "post"}, {"formParts", parts}, {"jsonBody", "{\"ignored\":1}"}});
    ASSERT_EQ(reply.value("ok", false), true) << reply.dump();
    ASSERT_EQ(requests().size(), 1u) << reply.dump();
    SeenRequest seen = requests()[0];
    EXPECT_EQ(seen.method, "POST");
    std::string contentType = seen.header("Content-Type");
    ASSERT_TRUE(contentType.starts_with("multipart/form-data; boundary=")) << contentType;
    std::string boundary = contentType.substr(std::string("multipart/form-data; boundary=").size());
    EXPECT_EQ(boundary.size(), 47u);
    std::string expected = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"a_b_\"\r\n\r\nplain\r\n" + "--" +
                           boundary + "\r\nContent-Disposition: form-data; name=\"doc\"; filename=\"报_告_.pdf\"\r\n" +
                           "Content-Type: application/pdf\"raw\r\n\r\n%PDF-1.4\n\xff\r\n" + "--" + boundary +
                           "\r\nContent-Disposition: form-data; name=\"bin\"; filename=\"x.bin\"\r\n" +
                           "Content-Type: application/octet-stream\r\n\r\n" + std::string(1, '\0') + "\r\n" + "--" + boundary +
                           "\r\nContent-Disposition: form-data; name=\"noFileName\"\r\n\r\n\r\n" + "--" + boundary +
                           "\r\nContent-Disposition: form-data; name=\"bad64\"\r\n\r\nkept\r\n" + "--" + boundary + "--\r\n";
    EXPECT_EQ(seen.body, expected);
}

TEST_F(ApiProxyOverHttps, PassesAllowedHeadersUnderThePagesSpellingToTheConcatenatedPath) {
    Json reply = request({{"path", "/courses?x=1"},
                          {"method", "delete"},
                          {"headers",
                           {{"x-velmora-CLIENT", "web"},
                            {"authorization", "Bearer abc"},
                            {"Cookie", "sid=1"},
                            {"User-Agent", "Page/1.0"},
                            {"Accept", 1},
                            {"X-Other", "x"}}}});
    ASSERT_EQ(reply.value("ok", false), true) << reply.dump();
    SeenRequest seen = requests().at(0);
    EXPECT_EQ(seen.method, "DELETE");
    EXPECT_EQ(seen.path, "/api/web/v2//courses");
    EXPECT_EQ(seen.header("x-velmora-CLIENT"), "web");
    EXPECT_EQ(seen.header("authorization"), "Bearer abc");
    EXPECT_FALSE(seen.hasHeaderNamed("Cookie"));
    EXPECT_FALSE(seen.hasHeaderNamed("X-Other"));
    EXPECT_NE(seen.header("User-Agent"), "Page/1.0");
    EXPECT_NE(seen.header("Accept"), "1");
}

TEST_F(ApiProxyOverHttps, SendsThePathByteForByte) {
    for (std::string path : {"../../admin", "a/./b/%2e%2E/c?q=.."}) {
        SCOPED_TRACE(path);
        Json reply = request({{"path", path}});
        ASSERT_EQ(reply.value("ok", false), true) << reply.dump();
        EXPECT_EQ(requests().back().target, "/api/web/v2/" + path);
    }
}

// Which paths and methods are refused is checked in NetworkCommandsTest; here, that none is sent.
TEST_F(ApiProxyOverHttps, RefusalsReplyWithoutAnyRequest) {
    for (const auto& [payload, message] : std::vector<std::pair<Json, std::string>>{
             {{{"path", "//127.0.0.1/x"}}, "接口地址无效"},
             {{{"path", "x"}, {"method", "POST"}, {"jsonBody", std::string(16 * kMiB + 1, 'j')}}, "请求内容过大"},
         }) {
        SCOPED_TRACE(message);
        Json reply = request(payload);
        EXPECT_EQ(reply.value("ok", true), false);
        EXPECT_EQ(reply.value("message", ""), message);
        EXPECT_FALSE(reply.contains("result"));
    }
    EXPECT_TRUE(requests().empty());
}

TEST_F(ApiProxyOverHttps, SendsA16MiBJsonBodyWhole) {
    std::string body = "\"" + std::string(16 * kMiB - 2, 'j') + "\"";
    Json reply =
        request({{"path", "big"}, {"method", "PUT"}, {"jsonBody", body}, {"headers", {{"Content-Type", "application/json"}}}});
    ASSERT_EQ(reply.value("ok", false), true) << reply.dump();
    EXPECT_EQ(requests().at(0).body.size(), 16'777'216u);
    EXPECT_TRUE(requests().at(0).body == body);
    EXPECT_EQ(requests().at(0).header("Content-Type"), "application/json");
}

TEST_F(ApiProxyOverHttps, ReportsEveryStatusAsAResult) {
    server.server().Get("/api/web/v2/status/(\\d+)", [](const httplib::Request& request, httplib::Response& response) {
        response.status = std::stoi(request.matches[1]);
        if (response.status == 200) response.set_content(std::string("\x89PNG\r\n\x1a\n\xff", 9), "image/png");
        if (response.status == 500) response.set_content("{\"code\":500}", "application/json");
    });
    for (const auto& [path, result] : std::vector<std::pair<std::string, Json>>{
             {"status/204", {{"status", 204}, {"body", ""}, {"message", ""}}},
             {"status/500", {{"status", 500}, {"body", "{\"code\":500}"}, {"message", "服务响应异常（HTTP 500）"}}},
             {"status/200", {{"status", 200}, {"body", "{}"}, {"message", ""}}}}) {  // not UTF-8
        SCOPED_TRACE(path);
        Json reply = request({{"path", path}});
        EXPECT_EQ(reply["ok"], true);
        EXPECT_EQ(reply["result"], result);
    }
}

TEST_F(ApiProxyOverHttps, RefusesResponsesPast64MiBWhileReading) {
    // Shared with the server's workers, which may still be writing when the test body ends.
    struct Source {
        std::atomic<std::size_t> served = 0;
        std::string piece = std::string(kMiB, 'r');
    };
    auto source = std::make_shared<Source>();
    server.server().Get("/api/web/v2/announced", [source](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(64 * kMiB + 1, "application/json",
                                      [source](std::size_t, std::size_t length, httplib::DataSink& sink) {
                                          std::size_t count = std::min(length, source->piece.size());
                                          source->served += count;
                                          return sink.write(source->piece.data(), count);
                                      });
    });
    server.server().Get("/api/web/v2/endless", [source](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("application/json", [source](std::size_t, httplib::DataSink& sink) {
            source->served += source->piece.size();
            return source->served < 1024 * kMiB && sink.write(source->piece.data(), source->piece.size());
        });
    });
    page();
    long before = peakMemoryKiB(true);

    Json announced = request({{"path", "announced"}});
    EXPECT_EQ(announced.value("ok", true), false);
    EXPECT_EQ(announced.value("message", ""), "服务响应异常过大");

    source->served = 0;
    Json endless = request({{"path", "endless"}});
    EXPECT_EQ(endless.value("ok", true), false);
    EXPECT_EQ(endless.value("message", ""), "服务响应异常过大");
    EXPECT_LT(source->served.load(), 256 * kMiB);
#ifndef __SANITIZE_THREAD__  // the race detector's shadow memory grows with every byte touched
    if (before > 0) {
        EXPECT_LT((peakMemoryKiB() - before) / 1024, 150) << "the body was buffered far past the limit";
    }
#endif
}

TEST_F(ApiProxyOverHttps, SilentServerGivesATimeOutReply) {
    apiTimeout = 1s;
    server.server().Get("/api/web/v2/silent", [&](const httplib::Request&, httplib::Response&) { server.holdUntilStopped(30s); });
    Json reply = request({{"path", "silent"}});
    EXPECT_EQ(reply.value("ok", true), false) << reply.dump();
    EXPECT_FALSE(reply.value("message", "").empty());
    EXPECT_FALSE(reply.contains("result"));
}

TEST_F(ApiProxyOverHttps, ManyRequestsInFlightEachGetExactlyOneReply) {
    constexpr std::size_t kRequests = 40;
    std::mt19937 random(7);
    std::map<std::string, std::string> expectedBody;
    for (std::size_t i = 0; i < kRequests; ++i) {
        std::string delay = std::to_string(random() % 300), id = "req-" + std::to_string(i);
        expectedBody[id] = delay;
        page().send({{"type", "apiRequest"}, {"requestId", id}, {"path", "slow/" + delay}});
    }
    std::map<std::string, int> count;
    auto countReplies = [&] {
        count.clear();
        for (const Json& message : page().messages()) ++count[message.value("requestId", "")];
        return count.size() >= kRequests;
    };
    ASSERT_TRUE(mainQueue->runUntil(countReplies, 60s));
    mainQueue->runFor(300ms);
    countReplies();
    EXPECT_EQ(count.size(), kRequests);
    for (const auto& [id, n] : count) EXPECT_EQ(n, 1) << id;
    for (const Json& reply : page().messages()) {
        EXPECT_EQ(reply.value("type", ""), "nativeResponse");
        EXPECT_EQ(reply["result"]["body"], expectedBody[reply.value("requestId", "")]) << reply.dump();
    }
}

TEST_F(ApiProxyOverHttps, ReplyForAReleasedBridgeIsDropped) {
    test::FakePage& fake = page();
    fake.send({{"type", "apiRequest"}, {"requestId", "gone"}, {"path", "slow/200"}});
    fake.bridge.reset();
    mainQueue->runFor(600ms);
    EXPECT_TRUE(fake.messages().empty());
}

class CoursewareOverHttps : public BridgeOverHttps {
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

// The server plays the API host (127.0.0.1 at its port); the same server named "localhost", and
// another server on 127.0.0.1 at another port, are hosts of someone else.
TEST_F(CoursewareOverHttps, SendsTheTokenOnlyToTheServicesOwnHost) {
    test::TestHttpsServer foreign;
    foreign.handleAll("/files/(.*)", [this](const httplib::Request& request, httplib::Response& response) {
        record(request);
        response.set_content("foreign " + std::string(request.matches[1]), "application/pdf");
    });
    foreign.start();
    page().send({{"type", "saveSession"}, {"token", "held"}, {"ownerKey", "owner"}});
    const std::vector<std::pair<std::string, std::string>> cases = {
        {server.url("/files/own.pdf"), "Bearer held"},
        {server.localhostURL("/files/alias.pdf"), "<absent>"},
        {foreign.url("/files/other.pdf"), "<absent>"},
    };
    for (const auto& [url, authorization] : cases) {
        SCOPED_TRACE(url);
        std::size_t before = requests().size();
        EXPECT_EQ(save(url, downloads / "saved.pdf").value("type", ""), "resourceDownloadCompleted");
        ASSERT_EQ(requests().size(), before + 1);
        EXPECT_EQ(requests().back().header("Authorization"), authorization);
    }
    EXPECT_EQ(test::readText(downloads / "saved.pdf"), "foreign other.pdf");
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
