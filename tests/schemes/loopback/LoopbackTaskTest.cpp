#include "schemes/loopback/LoopbackTask.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace velmora {
namespace {

using namespace std::chrono_literals;
using Ending = LoopbackTask::Ending;

// Records which tasks were stopped; stop comes on the delivering thread, here the test's own.
struct StopRecorder : SchemeHandler {
    void start(std::shared_ptr<SchemeTask>) override {}
    void stop(const SchemeTask& task) override { stopped.push_back(&task); }
    std::vector<const SchemeTask*> stopped;
};

SchemeResponse responseOfLength(std::size_t length) {
    SchemeResponse response;
    response.statusCode = 206;
    response.headers = {{"Content-Length", std::to_string(length)}};
    return response;
}

std::string headOfLength(std::size_t length) {
    return "HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

Bytes piece(std::size_t size, char fill) { return Bytes(size, static_cast<std::uint8_t>(fill)); }

bool isReady(const LoopbackTask& task) {
    pollfd waiting{task.readyDescriptor(), POLLIN, 0};
    return ::poll(&waiting, 1, 0) == 1;
}

// Takes everything the outbox holds now, as the connection thread does, and joins it.
std::string drain(LoopbackTask& task) {
    std::string written;
    while (const Bytes* bytes = task.nextToWrite()) {
        written.append(bytes->begin(), bytes->end());
        task.popWritten();
    }
    return written;
}

class LoopbackTaskTest : public ::testing::Test {
protected:
    LoopbackTaskTest() {
        std::array<int, 2> ends{};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) != 0) throw std::runtime_error("socketpair");
        ours = FileDescriptor(ends[0]);
        client = FileDescriptor(ends[1]);
    }

    std::unique_ptr<LoopbackTask> task(bool keepAlive = true) {
        return std::make_unique<LoopbackTask>(SchemeRequest{}, ours, keepAlive, handler);
    }

    // What the task wrote to the client socket itself so far.
    std::string receivedByClient() {
        std::string got;
        std::array<char, 4096> buffer{};
        for (ssize_t n; (n = ::recv(client.get(), buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0;) got.append(buffer.data(), n);
        return got;
    }

    FileDescriptor ours, client;
    StopRecorder handler;
};

// Delivers a head and `pieces` pieces of one letter each from its own thread, as the media queue
// does, counting the deliveries that have returned.
struct Producer {
    Producer(LoopbackTask& task, int pieces) {
        done = std::async(std::launch::async, [&task, pieces, this] {
            task.didReceive(responseOfLength(static_cast<std::size_t>(pieces)));
            returned++;
            for (int i = 0; i < pieces; ++i) {
                task.didReceive(piece(1, static_cast<char>('a' + i)));
                returned++;
            }
            task.didFinish();
        });
    }
    std::atomic<int> returned{0};
    std::future<void> done;
};

TEST_F(LoopbackTaskTest, WritesHeadAndFirstPieceItselfThenReadsAheadWithinTheOutbox) {
    auto answer = task();
    Producer producer(*answer, 6);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(receivedByClient(), headOfLength(6) + "a");
    // Read-ahead pieces fill the outbox; the next delivery waits for room.
    EXPECT_EQ(producer.returned, 2 + static_cast<int>(LoopbackTask::kOutboxCapacity));
    EXPECT_EQ(producer.done.wait_for(0ms), std::future_status::timeout);
    EXPECT_TRUE(isReady(*answer));

    std::string rest;
    while (producer.done.wait_for(1ms) != std::future_status::ready) rest += drain(*answer);
    rest += drain(*answer);
    EXPECT_EQ(rest, "bcdef");
    EXPECT_EQ(receivedByClient(), "");
    EXPECT_EQ(answer->ending(), Ending::finished);
}

TEST_F(LoopbackTaskTest, AbandonReleasesAWaitingDeliveryAndDropsTheRest) {
    auto answer = task();
    Producer producer(*answer, 50);
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(producer.done.wait_for(0ms), std::future_status::timeout);
    answer->abandon();
    ASSERT_EQ(producer.done.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(answer->nextToWrite(), nullptr);
    EXPECT_EQ(producer.returned, 51);
    EXPECT_EQ(receivedByClient(), headOfLength(50) + "a");
}

TEST_F(LoopbackTaskTest, EndingWaitsUntilTheOutboxIsEmpty) {
    struct Case {
        const char* name;
        bool keepAlive;
        std::size_t declared;
        Ending expected;
    };
    for (const Case& c : {Case{"WholeBody", true, 4, Ending::finished},
                          Case{"ShortBody", true, 6, Ending::cutShort},
                          Case{"ClientAskedForClose", false, 4, Ending::cutShort}}) {
        SCOPED_TRACE(c.name);
        auto answer = task(c.keepAlive);
        answer->didReceive(responseOfLength(c.declared));
        const Bytes first = piece(2, 'x');
        answer->didReceive(ByteView(first));
        EXPECT_FALSE(isReady(*answer));
        answer->didReceive(piece(2, 'y'));
        answer->didFinish();
        EXPECT_TRUE(isReady(*answer));
        EXPECT_EQ(answer->ending(), Ending::running);
        EXPECT_EQ(drain(*answer), "yy");
        EXPECT_EQ(answer->ending(), c.expected);
        std::string written = receivedByClient();
        EXPECT_EQ(written.substr(written.size() - 2), "xx");
        EXPECT_EQ(written.find("Connection: close\r\n") != std::string::npos, !c.keepAlive);
    }
}

TEST_F(LoopbackTaskTest, FailedWriteStopsTheTaskAndDropsLaterDeliveries) {
    auto answer = task();
    client = FileDescriptor();  // the client hangs up
    answer->didReceive(responseOfLength(10));
    answer->didReceive(piece(5, 'z'));
    EXPECT_EQ(handler.stopped, std::vector<const SchemeTask*>{answer.get()});
    EXPECT_EQ(answer->ending(), Ending::clientGone);
    answer->didReceive(piece(5, 'z'));
    answer->didFinish();
    EXPECT_EQ(answer->nextToWrite(), nullptr);
    EXPECT_EQ(answer->ending(), Ending::clientGone);
}

TEST_F(LoopbackTaskTest, FailureBeforeAnyBodyByteKeepsTheMessageAndAfterItCutsShort) {
    auto early = task();
    early->didFail("离线媒体标识无效");
    EXPECT_EQ(early->ending(), Ending::failedBeforeHead);
    EXPECT_EQ(early->failureMessage(), "离线媒体标识无效");
    EXPECT_EQ(receivedByClient(), "");

    // A damaged first record: the head is never sent, so the client gets an error status instead
    // of an empty body it would take for the end of the media.
    auto damaged = task();
    damaged->didReceive(responseOfLength(10));
    damaged->didFail("authentication failed");
    EXPECT_EQ(damaged->ending(), Ending::failedBeforeHead);
    EXPECT_EQ(damaged->failureMessage(), "authentication failed");
    EXPECT_EQ(receivedByClient(), "");

    auto late = task();
    late->didReceive(responseOfLength(10));
    late->didReceive(piece(4, 'a'));
    late->didFail("authentication failed");
    EXPECT_EQ(late->ending(), Ending::cutShort);
    EXPECT_EQ(receivedByClient(), headOfLength(10) + "aaaa");
}

TEST_F(LoopbackTaskTest, AnEmptyBodyStillSendsItsHead) {
    auto empty = task();
    empty->didReceive(responseOfLength(0));
    empty->didFinish();
    EXPECT_EQ(empty->ending(), Ending::finished);
    EXPECT_EQ(receivedByClient(), headOfLength(0));
}

}  // namespace
}  // namespace velmora
