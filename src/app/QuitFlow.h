#pragma once

#include <chrono>
#include <functional>

namespace velmora {

// The quit confirmation as a state machine, apart from any dialog. Every request to end the
// application asks shouldTerminate(); the first one while running puts up one confirmation, and
// its answer either keeps the application running or lets the page save its progress and ends
// the application a fixed 0.2 s later. An end that is not the learner's (a signal, the desktop
// session ending) asks nothing but still lets the page save, for up to one second. Main thread only.
class QuitFlow {
public:
    enum class State { running, asking, ending };
    enum class Reply { terminateNow, terminateCancel, terminateLater };

    static constexpr std::chrono::milliseconds kSaveGrace{200};
    static constexpr std::chrono::milliseconds kUnaskedSaveGrace{1000};

    // What the flow asks of the shell. Every member must be set.
    struct Actions {
        // Bring the window forward and show the confirmation; its answer comes back through
        // completeConfirmation(), never inline.
        std::function<void()> presentConfirmation;
        // Tell the page to store its learning progress (the shell skips it when no bridge exists).
        std::function<void()> requestSaveProgress;
        // Answer a request that was answered terminateLater: true lets the application end.
        std::function<void(bool mayTerminate)> replyToTermination;
        // Run `work` on the main loop after `delay`.
        std::function<void(std::chrono::milliseconds delay, std::function<void()> work)> schedule;
    };

    explicit QuitFlow(Actions actions);

    // A request to end the application, from a menu, the bridge or the desktop.
    Reply shouldTerminate();

    // SIGTERM, SIGINT or the end of the desktop session: no confirmation (one already up is left to
    // the end), the page is asked to save and the application ends kUnaskedSaveGrace later. Answers
    // terminateNow when already ending (a second signal ends at once), else terminateLater.
    Reply endWithoutAsking();

    // The confirmation's answer: true when the learner chose to quit. Ignored unless asking.
    void completeConfirmation(bool confirmed);

    State state() const;
    bool terminationPromptActive() const { return terminationPromptActive_; }
    bool allowTermination() const { return allowTermination_; }

private:
    void saveThenEnd(std::chrono::milliseconds grace);

    Actions actions_;
    bool allowTermination_ = false;
    bool terminationPromptActive_ = false;
};

}  // namespace velmora
