#include "app/QuitFlow.h"

#include <utility>

namespace velmora {

QuitFlow::QuitFlow(Actions actions) : actions_(std::move(actions)) {}

QuitFlow::State QuitFlow::state() const {
    if (allowTermination_) return State::ending;
    return terminationPromptActive_ ? State::asking : State::running;
}

QuitFlow::Reply QuitFlow::shouldTerminate() {
    if (allowTermination_) return Reply::terminateNow;
    if (terminationPromptActive_) return Reply::terminateLater;
    terminationPromptActive_ = true;
    actions_.presentConfirmation();
    return Reply::terminateLater;
}

void QuitFlow::completeConfirmation(bool confirmed) {
    // A stale answer (no confirmation up) must not end or revive anything.
    if (!terminationPromptActive_) return;
    terminationPromptActive_ = false;
    if (!confirmed) {
        actions_.replyToTermination(false);
        return;
    }
    saveThenEnd(kSaveGrace);
}

QuitFlow::Reply QuitFlow::endWithoutAsking() {
    if (allowTermination_) return Reply::terminateNow;
    terminationPromptActive_ = false;
    saveThenEnd(kUnaskedSaveGrace);
    return Reply::terminateLater;
}

void QuitFlow::saveThenEnd(std::chrono::milliseconds grace) {
    actions_.requestSaveProgress();
    allowTermination_ = true;
    actions_.schedule(grace, [reply = actions_.replyToTermination] { reply(true); });
}

}  // namespace velmora
