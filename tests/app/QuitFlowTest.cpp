#include "app/QuitFlow.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace velmora {
namespace {

using Reply = QuitFlow::Reply;
using State = QuitFlow::State;

// Records what the flow asks of the shell; scheduled work runs only when the test says so.
struct Shell {
    int confirmationsShown = 0;
    int saveRequests = 0;
    std::vector<bool> replies;
    std::vector<std::chrono::milliseconds> delays;
    std::vector<std::function<void()>> scheduled;

    QuitFlow makeFlow() {
        return QuitFlow({
            .presentConfirmation = [this] { ++confirmationsShown; },
            .requestSaveProgress = [this] { ++saveRequests; },
            .replyToTermination = [this](bool mayTerminate) { replies.push_back(mayTerminate); },
            .schedule =
                [this](std::chrono::milliseconds delay, std::function<void()> work) {
                    delays.push_back(delay);
                    scheduled.push_back(std::move(work));
                },
        });
    }

    void runScheduled() {
        auto pending = std::move(scheduled);
        scheduled.clear();
        for (auto& work : pending) work();
    }
};

class QuitFlowTest : public testing::Test {
protected:
    Shell shell;
    QuitFlow flow = shell.makeFlow();
};

TEST_F(QuitFlowTest, StartsRunningWithBothFlagsClear) {
    EXPECT_EQ(flow.state(), State::running);
    EXPECT_FALSE(flow.terminationPromptActive());
    EXPECT_FALSE(flow.allowTermination());
}

TEST_F(QuitFlowTest, RequestWhileRunningAsksOnceAndWaits) {
    EXPECT_EQ(flow.shouldTerminate(), Reply::terminateLater);
    EXPECT_EQ(flow.state(), State::asking);
    EXPECT_TRUE(flow.terminationPromptActive());
    EXPECT_EQ(shell.confirmationsShown, 1);
    EXPECT_TRUE(shell.replies.empty());
}

TEST_F(QuitFlowTest, RequestsWhileAskingShowNoSecondConfirmation) {
    flow.shouldTerminate();
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(flow.shouldTerminate(), Reply::terminateLater);
    }
    EXPECT_EQ(shell.confirmationsShown, 1);
    EXPECT_EQ(flow.state(), State::asking);
}

TEST_F(QuitFlowTest, CancelReturnsToRunningAndRefusesThePendingRequest) {
    flow.shouldTerminate();
    flow.completeConfirmation(false);
    EXPECT_EQ(flow.state(), State::running);
    EXPECT_FALSE(flow.terminationPromptActive());
    EXPECT_FALSE(flow.allowTermination());
    EXPECT_EQ(shell.replies, std::vector<bool>{false});
    EXPECT_EQ(shell.saveRequests, 0);
    EXPECT_TRUE(shell.scheduled.empty());
}

TEST_F(QuitFlowTest, RequestAfterCancelAsksAgain) {
    flow.shouldTerminate();
    flow.completeConfirmation(false);
    EXPECT_EQ(flow.shouldTerminate(), Reply::terminateLater);
    EXPECT_EQ(shell.confirmationsShown, 2);
    EXPECT_EQ(flow.state(), State::asking);
}

TEST_F(QuitFlowTest, ConfirmSavesOnceAndEndsAfterTheGrace) {
    flow.shouldTerminate();
    flow.completeConfirmation(true);
    EXPECT_EQ(flow.state(), State::ending);
    EXPECT_FALSE(flow.terminationPromptActive());
    EXPECT_TRUE(flow.allowTermination());
    EXPECT_EQ(shell.saveRequests, 1);
    ASSERT_EQ(shell.delays, std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(200)});
    EXPECT_TRUE(shell.replies.empty()) << "the application may end only after the delay";
    shell.runScheduled();
    EXPECT_EQ(shell.replies, std::vector<bool>{true});
}

TEST_F(QuitFlowTest, RequestWhileEndingTerminatesNowWithoutAsking) {
    flow.shouldTerminate();
    flow.completeConfirmation(true);
    EXPECT_EQ(flow.shouldTerminate(), Reply::terminateNow);
    EXPECT_EQ(shell.confirmationsShown, 1);
    EXPECT_EQ(shell.saveRequests, 1);
    EXPECT_EQ(flow.state(), State::ending);
}

TEST_F(QuitFlowTest, EndingHasNoWayBack) {
    flow.shouldTerminate();
    flow.completeConfirmation(true);
    flow.completeConfirmation(false);
    flow.completeConfirmation(true);
    EXPECT_EQ(flow.state(), State::ending);
    EXPECT_EQ(shell.saveRequests, 1) << "saveProgressRequested must be sent exactly once";
    EXPECT_EQ(shell.scheduled.size(), 1U);
    EXPECT_TRUE(shell.replies.empty());
}

TEST_F(QuitFlowTest, StaleAnswerWhileRunningChangesNothing) {
    flow.completeConfirmation(true);
    flow.completeConfirmation(false);
    EXPECT_EQ(flow.state(), State::running);
    EXPECT_EQ(shell.saveRequests, 0);
    EXPECT_TRUE(shell.replies.empty());
    EXPECT_TRUE(shell.scheduled.empty());
}

TEST_F(QuitFlowTest, ConfirmationIsShownAfterTheFlagIsSet) {
    // A request that arrives while the confirmation is being put up must not show a second one.
    Shell reentrant;
    QuitFlow* self = nullptr;
    QuitFlow nested({
        .presentConfirmation =
            [&] {
                ++reentrant.confirmationsShown;
                EXPECT_EQ(self->shouldTerminate(), Reply::terminateLater);
            },
        .requestSaveProgress = [] {},
        .replyToTermination = [](bool) {},
        .schedule = [](std::chrono::milliseconds, std::function<void()>) {},
    });
    self = &nested;
    nested.shouldTerminate();
    EXPECT_EQ(reentrant.confirmationsShown, 1);
}

}  // namespace
}  // namespace velmora
