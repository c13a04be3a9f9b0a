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
    QuitFlow flow{{
        .presentConfirmation = [this] { ++confirmationsShown; },
        .requestSaveProgress = [this] { ++saveRequests; },
        .replyToTermination = [this](bool mayTerminate) { replies.push_back(mayTerminate); },
        .schedule =
            [this](std::chrono::milliseconds delay, std::function<void()> work) {
                delays.push_back(delay);
                scheduled.push_back(std::move(work));
            },
    }};
};

TEST(QuitFlow, AsksOnceWhileAskingAndCancelRefusesThenAsksAgain) {
    Shell shell;
    QuitFlow& flow = shell.flow;
    EXPECT_EQ(flow.state(), State::running);
    EXPECT_FALSE(flow.terminationPromptActive());
    EXPECT_FALSE(flow.allowTermination());

    // A stale answer while running changes nothing.
    flow.completeConfirmation(true);
    flow.completeConfirmation(false);
    EXPECT_EQ(flow.state(), State::running);
    EXPECT_EQ(shell.saveRequests, 0);
    EXPECT_TRUE(shell.replies.empty());
    EXPECT_TRUE(shell.scheduled.empty());

    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(flow.shouldTerminate(), Reply::terminateLater);
        EXPECT_EQ(flow.state(), State::asking);
        EXPECT_TRUE(flow.terminationPromptActive());
        EXPECT_EQ(shell.confirmationsShown, 1);
        EXPECT_TRUE(shell.replies.empty());
    }

    flow.completeConfirmation(false);
    EXPECT_EQ(flow.state(), State::running);
    EXPECT_FALSE(flow.terminationPromptActive());
    EXPECT_FALSE(flow.allowTermination());
    EXPECT_EQ(shell.replies, std::vector<bool>{false});
    EXPECT_EQ(shell.saveRequests, 0);
    EXPECT_TRUE(shell.scheduled.empty());

    EXPECT_EQ(flow.shouldTerminate(), Reply::terminateLater);
    EXPECT_EQ(shell.confirmationsShown, 2);
    EXPECT_EQ(flow.state(), State::asking);
}

TEST(QuitFlow, ConfirmSavesOnceAndEndsAfterTheGraceWithNoWayBack) {
    Shell shell;
    QuitFlow& flow = shell.flow;
    flow.shouldTerminate();
    flow.completeConfirmation(true);
    EXPECT_EQ(flow.state(), State::ending);
    EXPECT_FALSE(flow.terminationPromptActive());
    EXPECT_TRUE(flow.allowTermination());
    EXPECT_EQ(shell.saveRequests, 1);
    ASSERT_EQ(shell.delays, std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(200)});
    EXPECT_TRUE(shell.replies.empty()) << "the application may end only after the delay";

    // A further request ends at once without asking; later answers change nothing.
    EXPECT_EQ(flow.shouldTerminate(), Reply::terminateNow);
    flow.completeConfirmation(false);
    flow.completeConfirmation(true);
    EXPECT_EQ(flow.state(), State::ending);
    EXPECT_EQ(shell.confirmationsShown, 1);
    EXPECT_EQ(shell.saveRequests, 1) << "saveProgressRequested must be sent exactly once";
    ASSERT_EQ(shell.scheduled.size(), 1U);
    EXPECT_TRUE(shell.replies.empty());

    shell.scheduled[0]();
    EXPECT_EQ(shell.replies, std::vector<bool>{true});
}

TEST(QuitFlow, AnUnaskedEndSavesOnceAndEndsAfterOneSecondEvenWithTheConfirmationUp) {
    for (bool asking : {false, true}) {
        SCOPED_TRACE(asking);
        Shell shell;
        if (asking) shell.flow.shouldTerminate();
        EXPECT_EQ(shell.flow.endWithoutAsking(), Reply::terminateLater);
        EXPECT_EQ(shell.flow.state(), State::ending);
        EXPECT_EQ(shell.confirmationsShown, asking ? 1 : 0);
        EXPECT_EQ(shell.saveRequests, 1);
        EXPECT_EQ(shell.delays, std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(1000)});
        // A second signal, or the learner's late answer, neither saves again nor waits longer.
        EXPECT_EQ(shell.flow.endWithoutAsking(), Reply::terminateNow);
        shell.flow.completeConfirmation(false);
        EXPECT_EQ(shell.saveRequests, 1);
        EXPECT_TRUE(shell.replies.empty());
        shell.scheduled.at(0)();
        EXPECT_EQ(shell.replies, std::vector<bool>{true});
    }
}

TEST(QuitFlow, ARequestWhileTheConfirmationIsPutUpShowsNoSecondOne) {
    int shown = 0;
    QuitFlow* self = nullptr;
    QuitFlow nested({
        .presentConfirmation =
            [&] {
                ++shown;
                EXPECT_EQ(self->shouldTerminate(), Reply::terminateLater);
            },
        .requestSaveProgress = [] {},
        .replyToTermination = [](bool) {},
        .schedule = [](std::chrono::milliseconds, std::function<void()>) {},
    });
    self = &nested;
    nested.shouldTerminate();
    EXPECT_EQ(shown, 1);
}

}  // namespace
}  // namespace velmora
