#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "net/HttpSession.h"
#include "net/HttpTransfer.h"
#include "support/TempDirectory.h"
#include "support/TestHttpsServer.h"
#include "support/TestMainQueue.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::TestHttpsServer;

std::string errorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    }
}

struct Seen {
    std::string method, path, body;
    httplib::Headers headers;
    int remotePort = 0;

    std::string header(const std::string& name) const {
        auto found = headers.find(name);
        return found == headers.end() ? "<absent>" : found->second;
    }
};

class HttpSessionTest : public ::testing::Test {
protected:
    HttpSessionTest() { serveEcho(server); }

    // "/echo…" answers "answer:<method>" and records the request; "/sized/<n>" answers n bytes.
    void serveEcho(TestHttpsServer& target) {
        target.handleAll("/echo.*", [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(mutex);
            seen.push_back({request.method, request.path, request.body, request.headers, request.remote_port});
            response.set_content("answer:" + request.method, "text/plain");
        });
        target.server().Get("/sized/(\\d+)", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(std::string(std::stoul(request.matches[1]), 'x'), "application/octet-stream");
        });
    }

    std::vector<Seen> requests() {
        std::lock_guard lock(mutex);
        return seen;
    }

    // Runs a data task and checks that it completes on the main queue's thread.
    HttpDataResult fetch(HttpRequest request, HttpSession* through = nullptr) {
        std::optional<HttpDataResult> result;
        std::thread::id completedOn;
        (through ? *through : session()).dataTask(std::move(request), [&](HttpDataResult r) {
            completedOn = std::this_thread::get_id();
            result = std::move(r);
        });
        EXPECT_TRUE(mainQueue->runUntil([&] { return result.has_value(); }, 20s));
        EXPECT_EQ(completedOn, std::this_thread::get_id());
        return result ? std::move(*result) : HttpDataResult{};
    }

    HttpSession& session() {
        if (!http) {
            server.start();
            http = std::make_unique<HttpSession>(server.endpoints(), mainQueue);
        }
        return *http;
    }

    // Registers before the server starts; `to` is read when the request comes, once the port is known.
    void redirect(const std::string& from, std::function<std::string()> to) {
        server.server().Get(from, [to](const httplib::Request&, httplib::Response& response) { response.set_redirect(to()); });
    }

    TestHttpsServer server;
    std::shared_ptr<test::TestMainQueue> mainQueue = std::make_shared<test::TestMainQueue>();
    std::unique_ptr<HttpSession> http;  // destroyed before the server
    std::mutex mutex;
    std::vector<Seen> seen;
};

TEST_F(HttpSessionTest, SendsMethodHeadersAndBodyAsGivenOverOneConnection) {
    session();
    for (const auto& [method, body] : std::vector<std::pair<std::string, std::string>>{
             {"GET", ""}, {"POST", "{\"a\":1}"}, {"PATCH", ""}, {"DELETE", "gone"}}) {
        SCOPED_TRACE(method + " " + body);
        HttpDataResult result = fetch({.url = server.url("/echo?q=1"),
                                       .method = method,
                                       .headers = {{"X-Velmora-Client", "app"}, {"accept", "application/json"}},
                                       .body = body});
        ASSERT_FALSE(result.error) << errorText(result.error);
        EXPECT_EQ(result.response.status, 200);
        EXPECT_EQ(result.response.body, "answer:" + method);
        Seen last = requests().back();
        EXPECT_EQ(last.method, method);
        EXPECT_EQ(last.body, body);
        EXPECT_EQ(last.header("X-Velmora-Client"), "app");
        EXPECT_EQ(last.header("Accept"), "application/json");
        // Nothing the caller did not ask for: no form content type, no 100-continue, no agent.
        for (const char* absent : {"Content-Type", "Expect", "User-Agent"}) EXPECT_EQ(last.header(absent), "<absent>");
    }
    std::set<int> ports;
    for (const Seen& request : requests()) ports.insert(request.remotePort);
    EXPECT_EQ(ports.size(), 1u);
}

TEST_F(HttpSessionTest, BodyLimitAllowsExactlyTheLimitAndStopsPastIt) {
    constexpr std::size_t kLimit = 100'000;
    session();
    HttpDataResult exact = fetch({.url = server.url("/sized/" + std::to_string(kLimit)), .maxResponseBytes = kLimit});
    ASSERT_FALSE(exact.error) << errorText(exact.error);
    EXPECT_EQ(exact.response.body.size(), kLimit);
    HttpDataResult over = fetch({.url = server.url("/sized/" + std::to_string(kLimit + 1)), .maxResponseBytes = kLimit});
    ASSERT_TRUE(over.error);
    EXPECT_THROW(std::rethrow_exception(over.error), HttpResponseTooLargeError);
}

TEST_F(HttpSessionTest, DownloadTasksJudgeTheLimitAndAskForRoomBeforeWriting) {
    constexpr std::uint64_t kMiB = 1'048'576;
    server.server().Get("/streamed/(\\d+)", [](const httplib::Request& request, httplib::Response& response) {
        std::size_t size = std::stoul(request.matches[1]);
        response.set_chunked_content_provider("application/octet-stream", [size](std::size_t offset, httplib::DataSink& sink) {
            if (offset >= size) {
                sink.done();
                return true;
            }
            std::string piece(std::min<std::size_t>(300'000, size - offset), 'x');
            return sink.write(piece.data(), piece.size());
        });
    });
    session();
    test::TempDirectory folder;
    struct Case {
        std::string path;
        std::size_t limit;
        bool roomRefused;
        std::vector<std::uint64_t> asked;
        std::string error;  // "" for a download that is kept
    };
    const std::vector<Case> cases = {
        {"/sized/100000", 100'000, false, {100'000}, ""},
        {"/sized/100001", 100'000, false, {}, "response body exceeds the allowed size"},
        {"/streamed/2500000", 3 * kMiB, false, {kMiB, kMiB, kMiB}, ""},
        {"/streamed/2500000", 2'000'000, false, {kMiB, kMiB}, "response body exceeds the allowed size"},
        {"/sized/5000", 100'000, true, {5000}, "no room"},
        {"/streamed/5000", 100'000, true, {kMiB}, "no room"},
    };
    for (const Case& expected : cases) {
        SCOPED_TRACE(expected.path + " limit " + std::to_string(expected.limit));
        std::vector<std::uint64_t> asked;
        std::promise<std::pair<std::string, std::uint64_t>> ended;  // error text, bytes kept
        session().downloadTask(
            {.url = server.url(expected.path), .maxResponseBytes = expected.limit}, folder.path(),
            [&](HttpDownloadResult result) {
                std::uint64_t kept = result.temporaryFile ? std::filesystem::file_size(*result.temporaryFile) : 0;
                ended.set_value({result.error ? errorText(result.error) : "", kept});
            },
            [&](std::uint64_t bytes) {
                asked.push_back(bytes);
                if (expected.roomRefused) throw std::runtime_error("no room");
            });
        auto [error, kept] = ended.get_future().get();
        EXPECT_EQ(error, expected.error);
        EXPECT_EQ(asked, expected.asked);
        if (expected.error.empty()) {
            EXPECT_EQ(kept, std::stoul(expected.path.substr(expected.path.rfind('/') + 1)));
        }
        // The task removes its file once the completion has returned.
        EXPECT_TRUE(mainQueue->runUntil([&] { return std::filesystem::is_empty(folder.path()); }, 5s));
    }
}

TEST_F(HttpSessionTest, RedirectsKeepAuthorizationOnlyOnTheSameHostAndPort) {
    TestHttpsServer other;
    serveEcho(other);
    other.start();
    redirect("/moved", [] { return "/echo/target"; });
    redirect("/to-localhost", [this] { return server.localhostURL("/echo/localhost"); });
    redirect("/to-port", [&other] { return other.url("/echo/port"); });
    session();
    for (const auto& [path, reached, authorization] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"/moved", "/echo/target", "Bearer secret"},
             {"/to-localhost", "/echo/localhost", "<absent>"},
             {"/to-port", "/echo/port", "<absent>"}}) {
        SCOPED_TRACE(path);
        HttpDataResult result =
            fetch({.url = server.url(path), .headers = {{"Authorization", "Bearer secret"}, {"Accept", "*/*"}}});
        ASSERT_FALSE(result.error) << errorText(result.error);
        EXPECT_EQ(result.response.status, 200);
        Seen last = requests().back();
        EXPECT_EQ(last.path, reached);
        EXPECT_EQ(last.header("Authorization"), authorization);
        EXPECT_EQ(last.header("Accept"), "*/*");
    }
    EXPECT_EQ(requests().size(), 3u);
}

TEST_F(HttpSessionTest, RefusesRedirectsAwayFromHttpsAndUntrustedServersWithLibcurlsText) {
    redirect("/to-http", [this] { return "http://127.0.0.1:" + std::to_string(server.port()) + "/echo"; });
    session();
    HttpDataResult toHttp = fetch({.url = server.url("/to-http")});
    ASSERT_TRUE(toHttp.error);
    EXPECT_THROW(std::rethrow_exception(toHttp.error), HttpTransportError);
    EXPECT_NE(errorText(toHttp.error).find("http"), std::string::npos) << errorText(toHttp.error);

    Endpoints systemOnly = server.endpoints();
    systemOnly.caFile.clear();
    HttpSession untrusting(systemOnly, mainQueue);
    HttpDataResult untrusted = fetch({.url = server.url("/echo")}, &untrusting);
    ASSERT_TRUE(untrusted.error);
    EXPECT_NE(errorText(untrusted.error).find("certificate"), std::string::npos) << errorText(untrusted.error);
    EXPECT_TRUE(requests().empty());

    Endpoints missing = server.endpoints();
    missing.caFile = "/nonexistent/ca.pem";
    EXPECT_THROW(HttpSession(missing, mainQueue), std::system_error);
}

TEST_F(HttpSessionTest, TransferRunsOnTheCallersThreadAndStopsWhenCancelled) {
    session();
    std::string url = server.url("/sized/2000000");
    std::size_t received = 0;
    auto whole = HttpTransfer::make({.url = url}, session().tlsTrust(), [&](std::string_view bytes) {
        received += bytes.size();
        return true;
    });
    EXPECT_EQ(whole->perform().end, TransferEnd::completed);
    EXPECT_EQ(whole->responseStatus(), 200);
    EXPECT_EQ(whole->contentLength(), 2'000'000);
    EXPECT_EQ(received, 2'000'000u);

    std::atomic<bool> cancelled = false;
    auto stopped = HttpTransfer::make({.url = url}, session().tlsTrust(), [&](std::string_view) { return cancelled = true; });
    stopped->setCancelFlag(&cancelled);
    HttpTransferResult result = stopped->perform();
    EXPECT_EQ(result.end, TransferEnd::stopped);
    EXPECT_FALSE(result.resumable());
    EXPECT_FALSE(result.errorText.empty());
}

}  // namespace
}  // namespace velmora
