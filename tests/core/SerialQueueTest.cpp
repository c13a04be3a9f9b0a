#include "core/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

namespace velmora {
namespace {

TEST(SerialQueueTest, RunsInSubmissionOrderOneAtATime) {
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    {
        SerialQueue queue("com.velmora.test");
        for (int i = 0; i < 200; ++i) {
            queue.async([&, i] {
                if (running.fetch_add(1) != 0) overlapped = true;
                order.push_back(i);
                running.fetch_sub(1);
            });
        }
    }  // destruction drains the queue
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueueTest, SyncWaitsAndPassesExceptionsOn) {
    SerialQueue queue("com.velmora.test.sync");
    int value = 0;
    queue.sync([&] { value = 42; });
    EXPECT_EQ(value, 42);
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    bool onWorker = false;
    queue.sync([&] { onWorker = queue.isCurrent(); });
    EXPECT_TRUE(onWorker);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueueTest, AThrowingTaskDoesNotStopTheQueue) {
    SerialQueue queue("com.velmora.test.throw");
    queue.async([] { throw std::runtime_error("ignored"); });
    int after = 0;
    queue.sync([&] { after = 1; });
    EXPECT_EQ(after, 1);
}

}  // namespace
}  // namespace velmora
