#include "schemes/loopback/MediaLoopback.h"

#include "HttpTestClient.h"
#include "RangeTable.h"
#include "RecordingSchemeTask.h"
#include "StoredLesson.h"
#include "schemes/MediaSchemeHandler.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <regex>
#include <thread>

namespace velmora {
namespace {

constexpr std::uint64_t kMiB = 1'048'576;
const std::string kOwner = "account-key-1";

// Forwards to the media handler and counts, per task, the pieces received and those that arrived
// after the loopback had stopped it.
class SpyHandler : public SchemeHandler {
public:
    struct Watched : SchemeTask {
        explicit Watched(std::shared_ptr<SchemeTask> inner) : inner(std::move(inner)) {}
        const SchemeRequest& request() const override { return inner->request(); }
        void didReceive(const SchemeResponse& response) override { inner->didReceive(response); }
        void didReceive(ByteView data) override {
            ++pieces;
            if (stopped) ++piecesAfterStop;
            inner->didReceive(data);
        }
        void didFinish() override { ended = true, inner->didFinish(); }
        void didFail(const std::string& message) override { ended = true, inner->didFail(message); }

        std::shared_ptr<SchemeTask> inner;
        std::atomic<bool> stopped{false}, ended{false};
        std::atomic<int> pieces{0}, piecesAfterStop{0};
    };

    explicit SpyHandler(SchemeHandler& real) : real_(real) {}

    void start(std::shared_ptr<SchemeTask> task) override {
        auto watched = std::make_shared<Watched>(task);
        {
            std::lock_guard lock(mutex_);
            started_.push_back(watched);
        }
        real_.start(watched);
    }

    void stop(const SchemeTask& task) override {
        for (const auto& watched : started()) {
            if (watched->inner.get() != &task) continue;
            watched->stopped = true;
            real_.stop(*watched);
        }
    }

    std::vector<std::shared_ptr<Watched>> started() {
        std::lock_guard lock(mutex_);
        return started_;
    }

private:
    SchemeHandler& real_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Watched>> started_;
};

bool eventually(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The task's piece count once it has stopped changing for a while: the delivering side is waiting.
int steadyPieces(const SpyHandler::Watched& task) {
    int seen = -1;
    for (int quiet = 0; quiet < 6; std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
        int now = task.pieces;
        quiet = now == seen ? quiet + 1 : 0;
        seen = now;
    }
    return seen;
}

class MediaLoopbackTest : public ::testing::Test {
protected:
    MediaLoopbackTest() : vault(folder.path(), SecretBytes(randomBytes(32))) {}

    std::string address(const std::string& assetId, const std::string& owner = kOwner) const {
        return loopback->baseAddress() + "/v1/" + assetId + "?owner=" + owner;
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(loopback->port()); }
    // The request line's target for a lesson: "/" + 64-digit secret + "/v1/<asset>?owner=…".
    std::string target(const std::string& assetId) const {
        return address(assetId).substr(std::string("http://").size() + host().size());
    }
    std::string get(const std::string& requestTarget, const std::string& extraFields = "") const {
        return "GET " + requestTarget + " HTTP/1.1\r\nHost: " + host() + "\r\n" + extraFields + "\r\n";
    }

    test::TempDirectory folder;
    VaultManager vault;
    MediaSchemeHandler media{vault};
    SpyHandler spy{media};
    std::unique_ptr<MediaLoopback> loopback = std::make_unique<MediaLoopback>(spy);
};

TEST_F(MediaLoopbackTest, CurlGetsTheBytesEachRangeHeaderAsks) {
    Bytes lesson = test::lessonBytes(test::kTableLessonSize);
    test::storeLesson(vault, "lesson-1000", kOwner, lesson);
    for (const test::RangeRow& row : test::rangeTable()) {
        SCOPED_TRACE(row.name);
        test::CurlAnswer answer = test::CurlClient().get(address("lesson-1000"), row.header);
        EXPECT_EQ(answer.status, row.status);
        EXPECT_EQ(answer.fields, test::rangeHeaders(row, true));
        EXPECT_EQ(answer.body, test::rangeBody<std::string>(lesson, row));
    }
}

TEST_F(MediaLoopbackTest, BaseAddressCarriesAFreshSecretPerInstance) {
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(loopback->baseAddress(), parts, std::regex(R"(http://127\.0\.0\.1:(\d+)/([0-9a-f]{64}))")))
        << loopback->baseAddress();
    EXPECT_EQ(parts[1].str(), std::to_string(loopback->port()));
    MediaLoopback other(spy);
    EXPECT_NE(other.baseAddress().substr(other.baseAddress().size() - 64), parts[2].str());
}

TEST_F(MediaLoopbackTest, SuccessiveRequestsReuseTheConnectionAndFailuresCarryTheMessage) {
    Bytes lesson = test::lessonBytes(3 * kMiB);
    test::storeLesson(vault, "lesson", kOwner, lesson);
    test::CurlClient curl;
    test::CurlAnswer first = curl.get(address("lesson"), "bytes=0-");
    EXPECT_EQ(first.newConnections, 1);
    EXPECT_EQ(first.body.size(), 3 * kMiB);
    test::CurlAnswer middle = curl.get(address("lesson"), "bytes=2097000-2097299");
    EXPECT_EQ(middle.body, std::string(lesson.begin() + 2097000, lesson.begin() + 2097300));
    for (const auto& [url, message] : std::vector<std::pair<std::string, std::string>>{
             {address("lesson", "someone-else"), "当前账号无权读取这份离线课程"},
             {address("lesson.mp4"), "离线媒体标识无效"},
             {loopback->baseAddress() + "/v1/lesson", "离线媒体地址无效"}}) {
        SCOPED_TRACE(url);
        test::CurlAnswer refused = curl.get(url);
        EXPECT_EQ(refused.status, 404);
        EXPECT_EQ(refused.body, message);
    }
    test::CurlAnswer tail = curl.get(address("lesson"), "bytes=-10");
    EXPECT_EQ(tail.body, std::string(lesson.end() - 10, lesson.end()));
    for (const auto* answer : {&middle, &tail}) EXPECT_EQ(answer->newConnections, 0);
}

TEST_F(MediaLoopbackTest, GateRefusesWithABareNotFoundAndTouchesNothing) {
    test::storeLesson(vault, "lesson", kOwner, test::lessonBytes(2000));
    const std::string t = target("lesson"), h = "Host: " + host() + "\r\n", secret = t.substr(0, 65);
    auto line = [](const std::string& method, const std::string& requestTarget, const std::string& fields) {
        return method + " " + requestTarget + " HTTP/1.1\r\n" + fields + "\r\n";
    };
    for (const auto& [name, request] : std::vector<std::pair<std::string, std::string>>{
             {"WrongSecret", line("GET", "/" + std::string(64, 'a') + t.substr(65), h)},
             {"ShortSecret", line("GET", t.substr(0, 64) + t.substr(65), h)},
             {"MissingSecret", line("GET", t.substr(65), h)},
             {"ForeignHost", line("GET", t, "Host: evil.example\r\n")},
             {"LocalhostName", line("GET", t, "Host: localhost:" + std::to_string(loopback->port()) + "\r\n")},
             {"OtherPort", line("GET", t, "Host: 127.0.0.1:1\r\n")},
             {"NoHost", line("GET", t, "")},
             {"TwoHosts", line("GET", t, h + h)},
             {"Post", line("POST", t, h + "Content-Length: 0\r\n")},
             {"Head", line("HEAD", t, h)},
             {"ParentStep", line("GET", secret + "/v1/../v1/lesson?owner=" + kOwner, h)},
             {"EncodedParentStep", line("GET", secret + "/v1/%2e%2E/v1/lesson?owner=" + kOwner, h)},
             {"OtherVersion", line("GET", secret + "/v2/lesson?owner=" + kOwner, h)},
             {"AbsoluteForm", line("GET", "http://" + host() + t, h)},
             {"Malformed", "GET " + t + "\r\n" + h + "\r\n"},
         }) {
        SCOPED_TRACE(name);
        test::RawHttpConnection connection(loopback->port());
        auto response = connection.exchange(request);
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, 404);
        EXPECT_EQ(response->fields["content-length"], "0");
        EXPECT_TRUE(response->body.empty());
    }
    EXPECT_TRUE(spy.started().empty());
}

TEST_F(MediaLoopbackTest, PipelinedRequestsAreAnsweredInOrderUntilTheGateRefusesOne) {
    Bytes lesson = test::lessonBytes(5 * kMiB);
    test::storeLesson(vault, "lesson", kOwner, lesson);
    test::RawHttpConnection connection(loopback->port());
    connection.send(get(target("lesson")) + get(target("lesson"), "Range: bytes=-3\r\n") +
                    get("/" + std::string(64, '0') + "/v1/lesson?owner=" + kOwner) + get(target("lesson")));
    auto whole = connection.readResponse();
    auto tail = connection.readResponse();
    ASSERT_TRUE(whole && tail);
    EXPECT_EQ(whole->body, std::string(lesson.begin(), lesson.end()));
    EXPECT_EQ(tail->status, 206);
    EXPECT_EQ(tail->body, std::string(lesson.end() - 3, lesson.end()));
    auto refused = connection.readResponse();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 404);
    EXPECT_EQ(refused->fields["connection"], "close");
    EXPECT_TRUE(connection.closedByServer());
    EXPECT_EQ(spy.started().size(), 2u);
}

// A local process without the secret opens connections and sends nothing (or too little).
TEST_F(MediaLoopbackTest, IdleConnectionsDoNotLockOutARequestWithTheSecret) {
    test::storeLesson(vault, "lesson", kOwner, test::lessonBytes(1000));
    std::vector<std::unique_ptr<test::RawHttpConnection>> idle;
    for (int i = 0; i < 40; ++i) idle.push_back(std::make_unique<test::RawHttpConnection>(loopback->port()));
    idle.back()->send("GET /");
    test::CurlAnswer answer = test::CurlClient().get(address("lesson"));
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body.size(), 1000u);
    // Without a whole request head they are let go after two seconds, not the keep-alive minute.
    EXPECT_TRUE(idle.back()->closedByServer(3000));
}

TEST_F(MediaLoopbackTest, ConnectionsOfAnotherUserAreClosedUnanswered) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can connect as another user";
    test::storeLesson(vault, "lesson", kOwner, test::lessonBytes(1000));
    const std::string request = get(target("lesson"));
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(loopback->port());
    pid_t child = ::fork();
    if (child == 0) {
        // Exits 0 when the server closed the connection without a byte of an answer.
        timeval timeout{5, 0};
        int fd = ::setresuid(65534, 65534, 65534) == 0 ? ::socket(AF_INET, SOCK_STREAM, 0) : -1;
        if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
            ::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
            ::_exit(2);
        }
        [[maybe_unused]] ssize_t sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char byte = 0;
        ssize_t got = ::recv(fd, &byte, 1, 0);
        ::_exit(got == 0 || (got < 0 && errno == ECONNRESET) ? 0 : 1);  // a reset: the request went unread
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(spy.started().empty());
    auto answer = test::RawHttpConnection(loopback->port()).exchange(request);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
}

TEST_F(MediaLoopbackTest, ConnectionCloseAndHttp10AreHonoured) {
    test::storeLesson(vault, "lesson", kOwner, test::lessonBytes(2000));
    for (const std::string& request : {get(target("lesson"), "Connection: keep-alive, close\r\n"),
                                       "GET " + target("lesson") + " HTTP/1.0\r\nHost: " + host() + "\r\n\r\n"}) {
        SCOPED_TRACE(request);
        test::RawHttpConnection connection(loopback->port());
        auto response = connection.exchange(request);
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
    // A later request is answered only after the stopped one has ended on the serial queue.
    test::storeLesson(vault, "short", kOwner, test::lessonBytes(1000));
    EXPECT_EQ(test::CurlClient().get(address("short")).status, 200);
    auto& stopped = *spy.started()[0];
    EXPECT_FALSE(stopped.ended);
    EXPECT_LE(stopped.piecesAfterStop, 1);
    EXPECT_LT(stopped.pieces, 16);
}

TEST_F(MediaLoopbackTest, ReadFailureMidBodyClosesTheConnection) {
    test::storeLesson(vault, "damaged", kOwner, test::lessonBytes(5 * kMiB));
    test::corruptMedia(vault, "damaged", 32 + 3 * (kMiB + 32) + 32 + 10);  // read only by the second piece
    test::RawHttpConnection connection(loopback->port());
    auto response = connection.exchange(get(target("damaged")));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
    EXPECT_EQ(response->body.size(), 2 * kMiB);
    EXPECT_TRUE(connection.closedByServer());
}

TEST_F(MediaLoopbackTest, AClientThatStopsReadingHoldsBackDecryptionAndLaterGetsEveryByte) {
    Bytes lesson = test::lessonBytes(64 * kMiB);  // 32 pieces
    test::storeLesson(vault, "long", kOwner, lesson);
    test::RawHttpConnection connection(loopback->port());
    connection.send(get(target("long")));
    ASSERT_TRUE(eventually([&] { return !spy.started().empty() && spy.started()[0]->pieces > 0; }));
    // What the socket buffers hold, the outbox and the piece being read: a handful, not the lesson.
    EXPECT_LE(steadyPieces(*spy.started()[0]), 12);

    auto response = connection.readResponse();
    ASSERT_TRUE(response);
    EXPECT_TRUE(response->body == std::string(lesson.begin(), lesson.end()));
    EXPECT_TRUE(eventually([&] { return spy.started()[0]->ended.load(); }));
    EXPECT_FALSE(connection.closedByServer(100));
}

TEST_F(MediaLoopbackTest, DestructionEndsStalledAndIdleConnectionsAndLeavesTheMediaQueueFree) {
    test::storeLesson(vault, "long", kOwner, test::lessonBytes(64 * kMiB));
    test::RawHttpConnection stalled(loopback->port());
    stalled.send(get(target("long")));  // never read: the answer backs up
    test::RawHttpConnection idle(loopback->port());
    ASSERT_TRUE(eventually([&] { return !spy.started().empty() && spy.started()[0]->pieces > 0; }));
    steadyPieces(*spy.started()[0]);  // the media queue now waits for room in the outbox

    auto destroyed = std::async(std::launch::async, [&] { loopback.reset(); });
    ASSERT_EQ(destroyed.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(idle.closedByServer());
    auto next = std::make_shared<test::RecordingSchemeTask>("velmora-media://local/v1/long?owner=" + kOwner,
                                                            std::map<std::string, std::string>{{"Range", "bytes=0-9"}});
    media.start(next);
    ASSERT_TRUE(next->waitForEnd());
    EXPECT_EQ(next->events.back(), "finish");
    EXPECT_FALSE(spy.started()[0]->ended);
}

}  // namespace
}  // namespace velmora
