#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bridge/SavePanel.h"

namespace velmora::test {

// A save panel that records what it was asked and lets the test answer later, as the learner would.
class FakeSavePanel : public SavePanel {
public:
    void ask(const std::string& suggestedName, std::function<void(std::optional<std::filesystem::path>)> done) override {
        suggestedNames.push_back(suggestedName);
        pending.push_back(std::move(done));
    }

    // Answers the oldest open panel with a chosen path, or with cancel (nullopt).
    void answer(std::optional<std::filesystem::path> choice) {
        auto done = std::move(pending.front());
        pending.erase(pending.begin());
        done(std::move(choice));
    }

    std::vector<std::string> suggestedNames;
    std::vector<std::function<void(std::optional<std::filesystem::path>)>> pending;
};

}  // namespace velmora::test
