#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <thread>

#include "net/CurlTransfer.h"
#include "net/HttpSession.h"
#include "support/TestHttpsServer.h"
#include "support/TestMainQueue.h"

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
    for (const Case& c : {Case{"GET", ""}, Case{"POST", "{\"a\":1}"}, Case{"PATCH", ""}, Case{"DELETE", "gone"}}) {
        SCOPED_TRACE(c.method + " " + c.body);
        HttpRequest request{.url = server.url("/echo?q=1"),
                            .method = c.method,
                            .headers = {{"X-Velmora-Client", "app"}, {"accept", "application/json"}},
                            .body = c.body};
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

TEST_F(HttpSessionTest, FollowsHttpsRedirectsOnTheSameHostWithAuthorization) {
    server.server().Get("/moved",
                        [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/echo/target"); });
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
        HttpDataResult result =
            fetch({.url = server.url(path), .headers = {{"Authorization", "Bearer secret"}, {"Accept", "*/*"}}});
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

TEST_F(HttpSessionTest, TransferRunsOnTheCallersThreadAndStopsWhenCancelled) {
    server.server().Get("/stream", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(std::string(2'000'000, 's'), "application/octet-stream");
    });
    session();
    std::size_t received = 0;
    CurlTransfer whole({.url = server.url("/stream")}, session().tlsTrust(), [&](std::string_view bytes) {
        received += bytes.size();
        return true;
    });
    EXPECT_EQ(whole.perform(), CURLE_OK);
    EXPECT_EQ(whole.responseStatus(), 200);
    EXPECT_EQ(received, 2'000'000u);

    std::atomic<bool> cancelled = false;
    CurlTransfer stopped({.url = server.url("/stream")}, session().tlsTrust(), [&](std::string_view) {
        cancelled = true;
        return true;
    });
    stopped.setCancelFlag(&cancelled);
    CURLcode code = stopped.perform();
    EXPECT_EQ(code, CURLE_ABORTED_BY_CALLBACK);
    EXPECT_THROW(std::rethrow_exception(stopped.transportError(code)), HttpTransportError);
}

}  // namespace
}  // namespace velmora
