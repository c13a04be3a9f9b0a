#include "schemes/LoopbackTask.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

namespace velmora {
namespace {

using namespace std::chrono_literals;
using Ending = LoopbackTask::Ending;

SchemeResponse responseOfLength(std::size_t length) {
    SchemeResponse response;
    response.statusCode = 206;
    response.headers = {{"Content-Length", std::to_string(length)}};
    return response;
}

Bytes piece(std::size_t size, std::uint8_t fill) { return Bytes(size, fill); }

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

// Delivers a head and `pieces` pieces of one byte each from its own thread, as the media queue does,
// counting the deliveries that have returned.
struct Producer {
    Producer(LoopbackTask& task, int pieces) {
        done = std::async(std::launch::async, [&task, pieces, this] {
            task.didReceive(responseOfLength(static_cast<std::size_t>(pieces)));
            returned++;
            for (int i = 0; i < pieces; ++i) {
                task.didReceive(piece(1, static_cast<std::uint8_t>('a' + i)));
                returned++;
            }
            task.didFinish();
        });
    }
    std::atomic<int> returned{0};
    std::future<void> done;
};

// Takes the oldest run out of the outbox, as the connection does once it has written it.
std::string takeOne(LoopbackTask& task) {
    const Bytes* bytes = task.nextToWrite();
    if (!bytes) return {};
    std::string written(bytes->begin(), bytes->end());
    task.popWritten();
    return written;
}

TEST(LoopbackTaskTest, ReadsAheadOnlyAfterAWholePieceAndThenWithinTheOutbox) {
    LoopbackTask task({}, true);
    Producer producer(task, 6);
    // The head returns at once; the first piece waits until it has been written.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(producer.returned, 1);
    EXPECT_EQ(takeOne(task).rfind("HTTP/1.1 206 Partial Content\r\nContent-Length: 6\r\n\r\n", 0), 0u);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(producer.returned, 1);

    // Once a piece went out whole, deliveries return while there is room, and then wait.
    EXPECT_EQ(takeOne(task), "a");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(producer.returned, 2 + static_cast<int>(LoopbackTask::kOutboxCapacity));
    EXPECT_EQ(producer.done.wait_for(0ms), std::future_status::timeout);

    std::string rest;
    while (producer.done.wait_for(1ms) != std::future_status::ready) rest += drain(task);
    rest += drain(task);
    EXPECT_EQ(rest, "bcdef");
    EXPECT_EQ(task.ending(), Ending::finished);
}

TEST(LoopbackTaskTest, AbandonReleasesAWaitingDeliveryAndDropsTheRest) {
    LoopbackTask task({}, true);
    Producer producer(task, 50);
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(producer.done.wait_for(0ms), std::future_status::timeout);
    task.abandon();
    ASSERT_EQ(producer.done.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(task.nextToWrite(), nullptr);
    EXPECT_EQ(producer.returned, 51);
}

TEST(LoopbackTaskTest, EndingWaitsUntilTheOutboxIsEmpty) {
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
        LoopbackTask task({}, c.keepAlive);
        task.clearReady();
        EXPECT_FALSE(isReady(task));
        auto opening = std::async(std::launch::async, [&] {
            task.didReceive(responseOfLength(c.declared));
            const Bytes first = piece(2, 'x');
            task.didReceive(ByteView(first));  // copied: the caller keeps its buffer
        });
        std::string written;
        while (opening.wait_for(1ms) != std::future_status::ready) written += drain(task);
        written += drain(task);
        EXPECT_TRUE(isReady(task));
        task.clearReady();

        task.didReceive(piece(2, 'y'));  // reading ahead now: returns without a writer
        task.didFinish();
        EXPECT_TRUE(isReady(task));
        EXPECT_EQ(task.ending(), Ending::running);
        written += drain(task);
        EXPECT_EQ(written.substr(written.size() - 4), "xxyy");
        EXPECT_EQ(task.ending(), c.expected);
    }
}

TEST(LoopbackTaskTest, FailureBeforeTheHeadKeepsTheMessageAndAfterItCutsShort) {
    LoopbackTask early({}, true);
    early.didFail("离线媒体标识无效");
    EXPECT_EQ(early.ending(), Ending::failedBeforeHead);
    EXPECT_EQ(early.failureMessage(), "离线媒体标识无效");
    EXPECT_EQ(early.nextToWrite(), nullptr);

    LoopbackTask late({}, true);
    late.didReceive(responseOfLength(10));
    late.didFail("authentication failed");
    drain(late);
    EXPECT_EQ(late.ending(), Ending::cutShort);
}

}  // namespace
}  // namespace velmora
