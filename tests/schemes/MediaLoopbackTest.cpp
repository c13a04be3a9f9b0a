#include "schemes/MediaLoopback.h"

#include "HttpTestClient.h"
#include "RangeTable.h"
#include "StoredLesson.h"
#include "schemes/MediaSchemeHandler.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <regex>
#include <thread>

namespace velmora {
namespace {

constexpr std::uint64_t kMiB = 1'048'576;
const std::string kOwner = "account-key-1";

// Forwards to the media handler and watches each task: how many pieces it received, and how many
// of those arrived after the loopback had stopped it.
class SpyHandler : public SchemeHandler {
public:
    class Watched : public SchemeTask {
    public:
        explicit Watched(std::shared_ptr<SchemeTask> inner) : inner_(std::move(inner)) {}
        const SchemeRequest& request() const override { return inner_->request(); }
        void didReceive(const SchemeResponse& response) override { inner_->didReceive(response); }
        void didReceive(ByteView data) override {
            ++pieces;
            if (stopped) ++piecesAfterStop;
            inner_->didReceive(data);
        }
        void didFinish() override {
            ended = true;
            inner_->didFinish();
        }
        void didFail(const std::string& message) override {
            ended = true;
            inner_->didFail(message);
        }

        std::atomic<bool> stopped{false};
        std::atomic<bool> ended{false};
        std::atomic<int> pieces{0};
        std::atomic<int> piecesAfterStop{0};

    private:
        std::shared_ptr<SchemeTask> inner_;
    };

    explicit SpyHandler(SchemeHandler& real) : real_(real) {}

    void start(std::shared_ptr<SchemeTask> task) override {
        auto watched = std::make_shared<Watched>(task);
        {
            std::lock_guard lock(mutex_);
            byInner_[task.get()] = watched;
            started_.push_back(watched);
        }
        real_.start(watched);
    }

    void stop(const SchemeTask& task) override {
        std::shared_ptr<Watched> watched;
        {
            std::lock_guard lock(mutex_);
            watched = byInner_.at(&task);
        }
        watched->stopped = true;
        real_.stop(*watched);
    }

    std::vector<std::shared_ptr<Watched>> started() {
        std::lock_guard lock(mutex_);
        return started_;
    }

private:
    SchemeHandler& real_;
    std::mutex mutex_;
    std::map<const SchemeTask*, std::shared_ptr<Watched>> byInner_;
    std::vector<std::shared_ptr<Watched>> started_;
};

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class MediaLoopbackTest : public ::testing::Test {
protected:
    MediaLoopbackTest() : vault(folder.path(), SecretBytes(randomBytes(32))) {}

    std::string address(const std::string& assetId, const std::string& owner = kOwner) const {
        return loopback->baseAddress() + "/v1/" + assetId + "?owner=" + owner;
    }

    // The request line's target for a lesson, with the secret.
    std::string target(const std::string& assetId) const {
        return address(assetId).substr(std::string("http://").size() + host().size());
    }

    std::string host() const { return "127.0.0.1:" + std::to_string(loopback->port()); }

    std::string get(const std::string& requestTarget, const std::string& extraFields = "") const {
        return "GET " + requestTarget + " HTTP/1.1\r\nHost: " + host() + "\r\n" + extraFields + "\r\n";
    }

    test::TempDirectory folder;
    VaultManager vault;
    MediaSchemeHandler media{vault};
    SpyHandler spy{media};
    std::unique_ptr<MediaLoopback> loopback = std::make_unique<MediaLoopback>(spy);
};

class LoopbackRangeTableTest : public MediaLoopbackTest, public ::testing::WithParamInterface<test::RangeRow> {};

TEST_P(LoopbackRangeTableTest, CurlGetsTheRequestedBytes) {
    const test::RangeRow& row = GetParam();
    Bytes lesson = test::lessonBytes(test::kTableLessonSize);
    test::storeLesson(vault, "lesson-1000", kOwner, lesson);

    test::CurlClient curl;
    test::CurlAnswer answer = curl.get(address("lesson-1000"), row.header);
    EXPECT_EQ(answer.status, row.status);
    EXPECT_EQ(answer.fields["content-range"],
              "bytes " + std::to_string(row.start) + "-" + std::to_string(row.end) + "/1000");
    EXPECT_EQ(answer.fields["content-length"], std::to_string(row.end - row.start + 1));
    EXPECT_EQ(answer.fields["content-type"], "video/mp4");
    EXPECT_EQ(answer.fields["accept-ranges"], "bytes");
    EXPECT_EQ(answer.fields["cache-control"], "no-store");
    EXPECT_EQ(answer.body, std::string(lesson.begin() + static_cast<std::ptrdiff_t>(row.start),
                                       lesson.begin() + static_cast<std::ptrdiff_t>(row.end + 1)));
}

INSTANTIATE_TEST_SUITE_P(Headers, LoopbackRangeTableTest, ::testing::ValuesIn(test::rangeTable()),
                         [](const auto& info) { return info.param.name; });

TEST_F(MediaLoopbackTest, BaseAddressCarriesAFreshSecretPerInstance) {
    std::regex form(R"(http://127\.0\.0\.1:(\d+)/([0-9a-f]{64}))");
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(loopback->baseAddress(), parts, form)) << loopback->baseAddress();
    EXPECT_EQ(parts[1].str(), std::to_string(loopback->port()));
    MediaLoopback other(spy);
    EXPECT_NE(other.baseAddress().substr(other.baseAddress().size() - 64), parts[2].str());
}

TEST_F(MediaLoopbackTest, SuccessiveRangeRequestsReuseTheConnection) {
    Bytes lesson = test::lessonBytes(3 * kMiB);
    test::storeLesson(vault, "lesson", kOwner, lesson);
    test::CurlClient curl;
    test::CurlAnswer first = curl.get(address("lesson"), "bytes=0-");
    test::CurlAnswer second = curl.get(address("lesson"), "bytes=2097000-2097299");
    test::CurlAnswer third = curl.get(address("missing"));
    test::CurlAnswer fourth = curl.get(address("lesson"), "bytes=-10");
    EXPECT_EQ(first.newConnections, 1);
    EXPECT_EQ(first.body.size(), 3 * kMiB);
    EXPECT_EQ(second.newConnections, 0);
    EXPECT_EQ(second.body, std::string(lesson.begin() + 2097000, lesson.begin() + 2097300));
    EXPECT_EQ(third.newConnections, 0);
    EXPECT_EQ(fourth.newConnections, 0);
    EXPECT_EQ(fourth.body, std::string(lesson.end() - 10, lesson.end()));
}

TEST_F(MediaLoopbackTest, HandlerFailuresAnswerNotFoundWithTheMessage) {
    test::storeLesson(vault, "lesson", kOwner, test::lessonBytes(2000));
    test::CurlClient curl;
    struct Row {
        std::string url;
        std::string message;
    };
    for (const Row& row : {Row{address("lesson", "someone-else"), "当前账号无权读取这份离线课程"},
                           Row{address("lesson.mp4"), "离线媒体标识无效"},
                           Row{loopback->baseAddress() + "/v1/lesson", "离线媒体地址无效"}}) {
        SCOPED_TRACE(row.url);
        test::CurlAnswer answer = curl.get(row.url);
        EXPECT_EQ(answer.status, 404);
        EXPECT_EQ(answer.body, row.message);
    }
}

struct GateCase {
    std::string name;
    // Builds the raw request from the valid target and the valid Host value.
    std::function<std::string(const std::string& target, const std::string& host)> request;

    friend void PrintTo(const GateCase& value, std::ostream* out) { *out << value.name; }
};

class LoopbackGateTest : public MediaLoopbackTest, public ::testing::WithParamInterface<GateCase> {};

TEST_P(LoopbackGateTest, RefusesWithABareNotFoundAndTouchesNothing) {
    test::storeLesson(vault, "lesson", kOwner, test::lessonBytes(2000));
    test::RawHttpConnection connection(loopback->port());
    connection.send(GetParam().request(target("lesson"), host()));
    auto response = connection.readResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 404);
    EXPECT_EQ(response->fields["content-length"], "0");
    EXPECT_TRUE(response->body.empty());
    EXPECT_TRUE(spy.started().empty());
}

std::vector<GateCase> gateCases() {
    auto line = [](std::string method, std::string requestTarget, std::string fields) {
        return method + " " + requestTarget + " HTTP/1.1\r\n" + fields + "\r\n";
    };
    auto withSecret = [](const std::string& target, const std::string& replacement) {
        return "/" + replacement + target.substr(65);  // "/" + 64 hex digits
    };
    return {
        {"WrongSecret", [=](auto t, auto h) { return line("GET", withSecret(t, std::string(64, 'a')), "Host: " + h + "\r\n"); }},
        {"ShortSecret", [=](auto t, auto h) { return line("GET", withSecret(t, t.substr(1, 63)), "Host: " + h + "\r\n"); }},
        {"MissingSecret", [=](auto t, auto h) { return line("GET", t.substr(65), "Host: " + h + "\r\n"); }},
        {"ForeignHost", [=](auto t, auto) { return line("GET", t, "Host: evil.example\r\n"); }},
        {"LocalhostName", [=](auto t, auto h) { return line("GET", t, "Host: localhost" + h.substr(9) + "\r\n"); }},
        {"OtherPort", [=](auto t, auto) { return line("GET", t, "Host: 127.0.0.1:1\r\n"); }},
        {"NoHost", [=](auto t, auto) { return line("GET", t, ""); }},
        {"TwoHosts", [=](auto t, auto h) { return line("GET", t, "Host: " + h + "\r\nHost: " + h + "\r\n"); }},
        {"Post", [=](auto t, auto h) { return line("POST", t, "Host: " + h + "\r\nContent-Length: 0\r\n"); }},
        {"Head", [=](auto t, auto h) { return line("HEAD", t, "Host: " + h + "\r\n"); }},
        {"ParentStep", [=](auto t, auto h) { return line("GET", t.substr(0, 65) + "/v1/../v1/lesson?owner=" + kOwner, "Host: " + h + "\r\n"); }},
        {"EncodedParentStep", [=](auto t, auto h) { return line("GET", t.substr(0, 65) + "/v1/%2e%2E/v1/lesson?owner=" + kOwner, "Host: " + h + "\r\n"); }},
        {"OtherVersion", [=](auto t, auto h) { return line("GET", t.substr(0, 65) + "/v2/lesson?owner=" + kOwner, "Host: " + h + "\r\n"); }},
        {"AbsoluteForm", [=](auto t, auto h) { return line("GET", "http://" + h + t, "Host: " + h + "\r\n"); }},
        {"Malformed", [=](auto t, auto h) { return "GET " + t + "\r\nHost: " + h + "\r\n\r\n"; }},
    };
}

INSTANTIATE_TEST_SUITE_P(Requests, LoopbackGateTest, ::testing::ValuesIn(gateCases()),
                         [](const auto& info) { return info.param.name; });

TEST_F(MediaLoopbackTest, RefusalKeepsTheConnectionForTheNextRequest) {
    test::storeLesson(vault, "lesson", kOwner, test::lessonBytes(2000));
    test::RawHttpConnection connection(loopback->port());
    connection.send("GET /" + std::string(64, '0') + "/v1/lesson?owner=" + kOwner + " HTTP/1.1\r\nHost: " + host() +
                    "\r\n\r\n" + get(target("lesson"), "Range: bytes=10-19\r\n"));
    EXPECT_EQ(connection.readResponse()->status, 404);
    auto served = connection.readResponse();
    ASSERT_TRUE(served);
    EXPECT_EQ(served->status, 206);
    EXPECT_EQ(served->body.size(), 10u);
    EXPECT_FALSE(connection.closedByServer(200));
}

TEST_F(MediaLoopbackTest, PipelinedRequestsAreAnsweredInOrder) {
    Bytes lesson = test::lessonBytes(5 * kMiB);
    test::storeLesson(vault, "lesson", kOwner, lesson);
    test::RawHttpConnection connection(loopback->port());
    connection.send(get(target("lesson")) + get(target("lesson"), "Range: bytes=-3\r\n"));
    auto whole = connection.readResponse();
    auto tail = connection.readResponse();
    ASSERT_TRUE(whole && tail);
    EXPECT_EQ(whole->body, std::string(lesson.begin(), lesson.end()));
    EXPECT_EQ(tail->status, 206);
    EXPECT_EQ(tail->body, std::string(lesson.end() - 3, lesson.end()));
}

TEST_F(MediaLoopbackTest, ConnectionCloseAndHttp10AreHonoured) {
    test::storeLesson(vault, "lesson", kOwner, test::lessonBytes(2000));
    for (const std::string& request :
         {get(target("lesson"), "Connection: keep-alive, close\r\n"),
          "GET " + target("lesson") + " HTTP/1.0\r\nHost: " + host() + "\r\n\r\n"}) {
        SCOPED_TRACE(request);
        test::RawHttpConnection connection(loopback->port());
        connection.send(request);
        auto response = connection.readResponse();
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, 200);
        EXPECT_EQ(response->fields["connection"], "close");
        EXPECT_EQ(response->body.size(), 2000u);
        EXPECT_TRUE(connection.closedByServer());
    }
}

TEST_F(MediaLoopbackTest, ClientClosingAfterTheHeadStopsTheTaskWithinOnePiece) {
    test::storeLesson(vault, "long", kOwner, test::lessonBytes(32 * kMiB));
    {
        test::RawHttpConnection connection(loopback->port());
        connection.send(get(target("long")));
        std::string head = connection.readHead();
        EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
    }
    ASSERT_TRUE(eventually([&] { return !spy.started().empty() && spy.started()[0]->stopped; }));
    // Let the queue settle: a later request is answered only after the stopped one has ended.
    test::storeLesson(vault, "short", kOwner, test::lessonBytes(1000));
    test::CurlClient curl;
    EXPECT_EQ(curl.get(address("short")).status, 200);

    auto& stopped = *spy.started()[0];
    EXPECT_FALSE(stopped.ended);
    EXPECT_LE(stopped.piecesAfterStop, 1);
    EXPECT_LT(stopped.pieces, 16);
}

TEST_F(MediaLoopbackTest, ReadFailureMidBodyClosesTheConnection) {
    test::storeLesson(vault, "damaged", kOwner, test::lessonBytes(5 * kMiB));
    test::corruptMedia(vault, "damaged", 32 + 3 * (kMiB + 32) + 32 + 10);
    test::RawHttpConnection connection(loopback->port());
    connection.send(get(target("damaged")));
    auto response = connection.readResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
    EXPECT_EQ(response->body.size(), 2 * kMiB);  // the first piece, then the close
    EXPECT_TRUE(connection.closedByServer());
}

TEST_F(MediaLoopbackTest, DestructionEndsStalledAndIdleConnections) {
    test::storeLesson(vault, "long", kOwner, test::lessonBytes(16 * kMiB));
    test::RawHttpConnection stalled(loopback->port());
    stalled.send(get(target("long")));  // never read: the answer backs up
    test::RawHttpConnection idle(loopback->port());
    ASSERT_TRUE(eventually([&] { return !spy.started().empty(); }));

    auto destroyed = std::async(std::launch::async, [&] { loopback.reset(); });
    EXPECT_EQ(destroyed.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(idle.closedByServer());
    EXPECT_FALSE(spy.started()[0]->ended);
}

}  // namespace
}  // namespace velmora
