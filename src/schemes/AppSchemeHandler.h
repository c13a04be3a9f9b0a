#pragma once

#include "schemes/SchemeTask.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

namespace velmora {

// Serves the packaged web UI under "velmora-app" from one folder (the resource root) and nowhere
// else. Every request is answered completely inside start(); there is no per-task state.
// Main thread only, like every call the web view makes on it.
class AppSchemeHandler : public SchemeHandler {
public:
    explicit AppSchemeHandler(std::filesystem::path resourceRoot);

    const std::filesystem::path& resourceRoot() const { return resourceRoot_; }

    // Answers `task` before returning: response, one data delivery and finish; or a single failure
    // ("应用资源地址无效", "应用资源路径无效"); a file that cannot be read gets the 404 answer.
    void start(std::shared_ptr<SchemeTask> task) override;

    // Nothing to stop: start() has already finished every task.
    void stop(const SchemeTask& task) override;

    // The MIME type and text encoding for a lower-cased file extension (without the dot).
    static std::string_view mimeType(std::string_view extension);
    static std::optional<std::string_view> textEncoding(std::string_view extension);

private:
    void answer(SchemeTask& task) const;
    static void answerNotFound(SchemeTask& task);

    std::filesystem::path resourceRoot_;
};

}  // namespace velmora
