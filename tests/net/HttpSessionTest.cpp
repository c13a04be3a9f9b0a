#include "net/HttpSession.h"
#include "support/TempDirectory.h"
#include "support/TestHttpsServer.h"
#include "support/TestMainQueue.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <thread>

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::TestHttpsServer;
using test::TestMainQueue;

std::string errorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    }
}

// A recorded request as the server saw it.
struct Seen {
    std::string method;
    std::string path;
    httplib::Headers headers;
    std::string body;
    int remotePort = 0;
};

class HttpSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.handleAll("/echo.*", [this](const httplib::Request& request, httplib::Response& response) {
            record(request);
            response.set_content("answer:" + request.method, "text/plain");
        });
        server.handleAll("/status/(\\d+)", [this](const httplib::Request& request, httplib::Response& response) {
            record(request);
            response.status = std::stoi(request.matches[1]);
        });
    }

    void record(const httplib::Request& request) {
        std::lock_guard lock(mutex);
        seen.push_back({request.method, request.path, request.headers, request.body, request.remote_port});
    }

    std::vector<Seen> requests() {
        std::lock_guard lock(mutex);
        return seen;
    }

    std::string header(const Seen& request, const std::string& name) {
        auto found = request.headers.find(name);
        return found == request.headers.end() ? "<absent>" : found->second;
    }

    HttpDataResult fetch(HttpRequest request) {
        std::optional<HttpDataResult> result;
        std::thread::id completedOn;
        session().dataTask(std::move(request), [&](HttpDataResult r) {
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

    TestHttpsServer server;
    std::shared_ptr<TestMainQueue> mainQueue = std::make_shared<TestMainQueue>();
    std::unique_ptr<HttpSession> http;  // destroyed before the server
    std::mutex mutex;
    std::vector<Seen> seen;
};

TEST_F(HttpSessionTest, SendsMethodHeadersAndBodyAsGiven) {
    session();
    struct Case {
        std::string method;
        std::string body;
    };
    for (const Case& c : {Case{"GET", ""}, Case{"POST", "{\"a\":1}"}, Case{"PUT", "x"}, Case{"PATCH", ""}, Case{"DELETE", ""},
                          Case{"DELETE", "gone"}}) {
        SCOPED_TRACE(c.method + " " + c.body);
        HttpRequest request{.url = server.url("/echo?q=1"), .method = c.method,
                            .headers = {{"X-Velmora-Client", "app"}, {"accept", "application/json"}}, .body = c.body};
        HttpDataResult result = fetch(request);
        ASSERT_FALSE(result.error) << errorText(result.error);
        EXPECT_EQ(result.response.status, 200);
        EXPECT_EQ(result.response.body, "answer:" + c.method);
        Seen last = requests().back();
        EXPECT_EQ(last.method, c.method);
        EXPECT_EQ(last.body, c.body);
        EXPECT_EQ(header(last, "X-Velmora-Client"), "app");
        EXPECT_EQ(header(last, "Accept"), "application/json");
        // Nothing the caller did not ask for: no form content type, no 100-continue handshake.
        EXPECT_EQ(header(last, "Content-Type"), "<absent>");
        EXPECT_EQ(header(last, "Expect"), "<absent>");
        EXPECT_EQ(header(last, "User-Agent"), "<absent>");
    }
}

TEST_F(HttpSessionTest, ReportsNon2xxStatusesAsResponses) {
    session();
    for (int status : {204, 404, 500}) {
        SCOPED_TRACE(status);
        HttpDataResult result = fetch({.url = server.url("/status/" + std::to_string(status))});
        ASSERT_FALSE(result.error) << errorText(result.error);
        EXPECT_EQ(result.response.status, status);
    }
}

TEST_F(HttpSessionTest, ReusesOneConnectionForSequentialRequests) {
    session();
    for (int i = 0; i < 3; ++i) ASSERT_FALSE(fetch({.url = server.url("/echo")}).error);
    std::set<int> ports;
    for (const Seen& request : requests()) ports.insert(request.remotePort);
    EXPECT_EQ(ports.size(), 1u);
}

TEST_F(HttpSessionTest, BodyLimitAllowsExactlyTheLimitAndStopsPastIt) {
    constexpr std::size_t kLimit = 100'000;
    server.server().Get("/sized/(\\d+)", [](const httplib::Request& request, httplib::Response& response) {
        response.set_content(std::string(std::stoul(request.matches[1]), 'x'), "application/octet-stream");
    });
    session();
    HttpDataResult exact = fetch({.url = server.url("/sized/" + std::to_string(kLimit)), .maxResponseBytes = kLimit});
    ASSERT_FALSE(exact.error) << errorText(exact.error);
    EXPECT_EQ(exact.response.body.size(), kLimit);

    HttpDataResult over = fetch({.url = server.url("/sized/" + std::to_string(kLimit + 1)), .maxResponseBytes = kLimit});
    ASSERT_TRUE(over.error);
    EXPECT_THROW(std::rethrow_exception(over.error), HttpResponseTooLargeError);
}

TEST_F(HttpSessionTest, EndlessBodyIsCutOffWhileReading) {
    // Shared with the server's worker, which may still be writing when the test body ends.
    auto served = std::make_shared<std::atomic<std::size_t>>(0);
    server.server().Get("/endless", [served](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("application/octet-stream", [served](std::size_t, httplib::DataSink& sink) {
            std::string piece(64 * 1024, 'y');
            *served += piece.size();
            return sink.write(piece.data(), piece.size());
        });
    });
    session();
    HttpDataResult result = fetch({.url = server.url("/endless"), .maxResponseBytes = 1'000'000});
    ASSERT_TRUE(result.error);
    EXPECT_THROW(std::rethrow_exception(result.error), HttpResponseTooLargeError);
    mainQueue->runFor(200ms);
    EXPECT_LT(served->load(), 64u * 1024 * 1024);  // the server stopped being read long before
}

TEST_F(HttpSessionTest, FollowsHttpsRedirectsOnTheSameHostWithAuthorization) {
    server.server().Get("/moved", [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/echo/target"); });
    session();
    HttpDataResult result = fetch({.url = server.url("/moved"), .headers = {{"Authorization", "Bearer t0k"}}});
    ASSERT_FALSE(result.error) << errorText(result.error);
    EXPECT_EQ(result.response.status, 200);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].path, "/echo/target");
    EXPECT_EQ(header(requests()[0], "Authorization"), "Bearer t0k");
}

TEST_F(HttpSessionTest, NeverCarriesAuthorizationToAnotherHostOrPort) {
    TestHttpsServer other;
    other.handleAll("/echo.*", [this](const httplib::Request& request, httplib::Response& response) {
        record(request);
        response.set_content("elsewhere", "text/plain");
    });
    other.start();
    server.server().Get("/to-localhost", [&](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(server.localhostURL("/echo/localhost"));
    });
    server.server().Get("/to-port", [&](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(other.url("/echo/port"));
    });
    session();
    for (const char* path : {"/to-localhost", "/to-port"}) {
        SCOPED_TRACE(path);
        HttpDataResult result = fetch({.url = server.url(path), .headers = {{"Authorization", "Bearer secret"}, {"Accept", "*/*"}}});
        ASSERT_FALSE(result.error) << errorText(result.error);
        Seen last = requests().back();
        EXPECT_NE(last.path, path);
        EXPECT_EQ(header(last, "Authorization"), "<absent>");
        EXPECT_EQ(header(last, "Accept"), "*/*");
    }
}

TEST_F(HttpSessionTest, RefusesRedirectsAwayFromHttpsWithLibcurlsText) {
    server.server().Get("/to-http", [&](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("http://127.0.0.1:" + std::to_string(server.port()) + "/echo");
    });
    session();
    HttpDataResult result = fetch({.url = server.url("/to-http")});
    ASSERT_TRUE(result.error);
    EXPECT_THROW(std::rethrow_exception(result.error), HttpTransportError);
    EXPECT_NE(errorText(result.error).find("http"), std::string::npos) << errorText(result.error);
    EXPECT_TRUE(requests().empty());
}

TEST_F(HttpSessionTest, TrustsOnlyTheConfiguredAuthorities) {
    server.start();
    Endpoints systemOnly = server.endpoints();
    systemOnly.caFile.clear();
    HttpSession untrusting(systemOnly, mainQueue);
    std::optional<HttpDataResult> result;
    untrusting.dataTask({.url = server.url("/echo")}, [&](HttpDataResult r) { result = std::move(r); });
    ASSERT_TRUE(mainQueue->runUntil([&] { return result.has_value(); }));
    ASSERT_TRUE(result->error);
    EXPECT_NE(errorText(result->error).find("certificate"), std::string::npos) << errorText(result->error);
    EXPECT_TRUE(requests().empty());

    Endpoints missing = server.endpoints();
    missing.caFile = "/nonexistent/ca.pem";
    EXPECT_THROW(HttpSession(missing, mainQueue), std::system_error);
}

TEST_F(HttpSessionTest, SilentServerEndsInATimeOut) {
    server.server().Get("/silent", [&](const httplib::Request&, httplib::Response&) { server.holdUntilStopped(30s); });
    session();
    auto started = std::chrono::steady_clock::now();
    HttpDataResult result = fetch({.url = server.url("/silent"), .timeout = 1s});
    auto took = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(result.error);
    EXPECT_THROW(std::rethrow_exception(result.error), HttpTransportError);
    EXPECT_FALSE(errorText(result.error).empty());
    EXPECT_LT(took, 10s);
}

TEST_F(HttpSessionTest, DownloadsIntoATemporaryFileRemovedAfterTheCompletion) {
    server.server().Get("/file", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(std::string(300'000, 'z'), "application/pdf");
    });
    session();
    test::TempDirectory folder;
    struct Outcome {
        HttpDownloadResult result;
        std::string contents;
        bool onMainThread = true;
    };
    auto download = [&](const std::string& path, bool keep) {
        std::optional<Outcome> outcome;
        std::mutex lock;
        auto testThread = std::this_thread::get_id();
        session().downloadTask({.url = server.url(path)}, folder.path(), [&](HttpDownloadResult r) {
            Outcome o{r, {}, std::this_thread::get_id() == testThread};
            if (r.temporaryFile) {
                o.contents = test::readText(*r.temporaryFile);
                if (keep) std::filesystem::rename(*r.temporaryFile, folder / "kept.pdf");
            }
            std::lock_guard guard(lock);
            outcome = std::move(o);
        });
        EXPECT_TRUE(mainQueue->runUntil([&] {
            std::lock_guard guard(lock);
            return outcome.has_value();
        }));
        std::lock_guard guard(lock);
        return std::move(*outcome);
    };

    Outcome kept = download("/file", true);
    ASSERT_FALSE(kept.result.error) << errorText(kept.result.error);
    EXPECT_EQ(kept.result.status, 200);
    EXPECT_EQ(kept.contents, std::string(300'000, 'z'));
    EXPECT_FALSE(kept.onMainThread);
    EXPECT_EQ(test::readText(folder / "kept.pdf").size(), 300'000u);

    Outcome dropped = download("/status/404", false);
    EXPECT_FALSE(dropped.result.error);
    EXPECT_EQ(dropped.result.status, 404);
    mainQueue->runFor(100ms);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"kept.pdf"});
}

TEST_F(HttpSessionTest, DownloadIntoAMissingFolderFailsWithTheSystemsText) {
    session();
    std::optional<HttpDownloadResult> result;
    std::mutex lock;
    session().downloadTask({.url = server.url("/echo")}, "/nonexistent-folder", [&](HttpDownloadResult r) {
        std::lock_guard guard(lock);
        result = std::move(r);
    });
    ASSERT_TRUE(mainQueue->runUntil([&] {
        std::lock_guard guard(lock);
        return result.has_value();
    }));
    ASSERT_TRUE(result->error);
    EXPECT_THROW(std::rethrow_exception(result->error), std::system_error);
    EXPECT_TRUE(requests().empty());
}

}  // namespace
}  // namespace velmora
