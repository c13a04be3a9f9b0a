#include "core/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
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

TEST(SerialQueueTest, SyncWaitsAndPassesExceptionsOnAndAThrowingTaskDoesNotStopTheQueue) {
    SerialQueue queue("com.velmora.test.sync");
    queue.async([] { throw std::runtime_error("ignored"); });
    int value = 0;
    queue.sync([&] { value = 42; });
    EXPECT_EQ(value, 42);
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    bool onWorker = false;
    queue.sync([&] { onWorker = queue.isCurrent(); });
    EXPECT_TRUE(onWorker);
    EXPECT_FALSE(queue.isCurrent());
}

// The last owner may be a closure on the queue itself (a download finishing on its own queue).
TEST(SerialQueueTest, ReleasingTheQueueFromItsOwnWorkerDoesNotDeadlock) {
    auto queue = std::make_shared<SerialQueue>("com.velmora.test.self");
    std::promise<void> mainLetGo;
    std::promise<void> released;
    queue->async([owned = queue, mainLetGo = mainLetGo.get_future().share(), &released]() mutable {
        mainLetGo.wait();
        owned.reset();  // the last owner: destroys the queue on its own worker
        released.set_value();
    });
    queue.reset();
    mainLetGo.set_value();
    EXPECT_EQ(released.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

}  // namespace
}  // namespace velmora
