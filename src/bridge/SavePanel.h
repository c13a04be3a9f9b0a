#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace velmora {

// Asks the learner where to save a file, as a sheet on the main window. Main thread only.
class SavePanel {
public:
    virtual ~SavePanel() = default;
    // Shows the panel with `suggestedName` filled in; `done` runs once on the main thread with the
    // chosen path, or nullopt when the learner cancels.
    virtual void ask(const std::string& suggestedName, std::function<void(std::optional<std::filesystem::path>)> done) = 0;
};

}  // namespace velmora
