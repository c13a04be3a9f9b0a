#pragma once

#include "app/GLibHandles.h"
#include "core/MainQueue.h"
#include "schemes/SchemeTask.h"

#include <webkit/webkit.h>

#include <functional>
#include <memory>

namespace velmora {

// A SchemeTask over one WebKitURISchemeRequest. Deliveries may come from any thread (the media
// handler answers from its own queue): each one hops to the GLib main context before WebKit is
// touched. The response head finishes the WebKit request at once with a response whose body is a
// stream that the data deliveries feed, so large answers flow through without being collected.
// When WebKit stops reading before the end (the page cancelled the load), `stopped` runs once on
// the main thread and every later delivery is ignored, as are deliveries after the end.
class WebKitSchemeTask : public SchemeTask, public std::enable_shared_from_this<WebKitSchemeTask> {
public:
    using StopHandler = std::function<void(const SchemeTask&)>;

    // Main thread. `mainQueue` runs work on the GLib main context.
    static std::shared_ptr<WebKitSchemeTask> create(WebKitURISchemeRequest* request, std::shared_ptr<MainQueue> mainQueue,
                                                    StopHandler stopped);

    // Only create() can make the key; tasks live in shared_ptrs (deliveries keep them alive).
    class ConstructionKey {
        friend class WebKitSchemeTask;
        ConstructionKey() = default;
    };
    WebKitSchemeTask(ConstructionKey, WebKitURISchemeRequest* request, std::shared_ptr<MainQueue> mainQueue, StopHandler stopped);
    ~WebKitSchemeTask() override;

    const SchemeRequest& request() const override { return values_; }
    void didReceive(const SchemeResponse& response) override;
    void didReceive(ByteView data) override;
    void didReceive(Bytes&& data) override;
    void didFinish() override;
    void didFail(const std::string& message) override;

private:
    enum class Phase { waitingForResponse, streaming, ended };

    // Main thread only.
    void onMain(std::function<void(WebKitSchemeTask&)> step);
    void respondOnMain(const SchemeResponse& head);
    void finishOnMain();
    void failOnMain(const std::string& message);
    void stopOnMain();

    GObjectPtr<WebKitURISchemeRequest> webKitRequest_;  // until answered; released on the main thread
    GObjectPtr<GInputStream> body_;                     // while streaming
    std::shared_ptr<MainQueue> mainQueue_;
    StopHandler stopped_;
    SchemeRequest values_;
    Phase phase_ = Phase::waitingForResponse;
};

// Registers `scheme` with WebKit: every request becomes a WebKitSchemeTask passed to `start`;
// `stop` hears of the tasks whose loads the page gave up.
void registerWebKitScheme(WebKitWebContext* context, const char* scheme, std::shared_ptr<MainQueue> mainQueue,
                          std::function<void(std::shared_ptr<SchemeTask>)> start, WebKitSchemeTask::StopHandler stop);

}  // namespace velmora
