// The courseware download command.
#include "bridge/CoursewareDownload.h"
#include "bridge/MacBridge.h"
#include "bridge/SavePanel.h"
#include "net/HttpSession.h"

namespace velmora {

void MacBridge::downloadResource(const Json& payload) {
    std::optional<std::string> url = CoursewareDownload::sourceURL(payload);
    if (!url) {
        post(CoursewareDownload::failedEvent(std::string(CoursewareDownload::kInvalidAddress)));
        return;
    }
    auto controller = appController_.lock();
    if (!controller || controller->mainWindow() == nullptr) return;
    if (!environment_.savePanel || !environment_.mainQueue) return;
    if (!environment_.http) {
        post(CoursewareDownload::failedEvent(environment_.httpUnavailableReason));
        return;
    }

    // The operation holds the bridge weakly: its events are dropped once the bridge is gone, but a
    // confirmed download still completes.
    std::weak_ptr<MacBridge> weak = weak_from_this();
    auto chosen = [weak, url = *url, http = environment_.http, mainQueue = environment_.mainQueue,
                   endpoints = environment_.endpoints,
                   timeout = environment_.coursewareTimeout](std::optional<std::filesystem::path> destination) {
        if (!destination) return;
        // The token held when the learner confirms, not when the page asked.
        std::string token;
        if (auto self = weak.lock(); self && self->session_) token = self->session_->token;
        std::filesystem::path folder = destination->parent_path();
        http->downloadTask(
            CoursewareDownload::request(url, token, endpoints, timeout), folder,
            [weak, mainQueue, destination = *destination](HttpDownloadResult result) {
                Json event = CoursewareDownload::finish(result, destination);
                mainQueue->post([weak, event] {
                    if (auto self = weak.lock()) self->post(event);
                });
            },
            [folder](std::uint64_t bytes) { CoursewareDownload::requireRoom(folder, bytes); });
    };
    environment_.savePanel->ask(CoursewareDownload::proposedName(payload, *url), std::move(chosen));
}

}  // namespace velmora
