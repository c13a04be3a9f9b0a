#pragma once

#include "app/GLibHandles.h"
#include "core/MainQueue.h"
#include "schemes/SchemeTask.h"

#include <webkit/webkit.h>

#include <functional>
#include <memory>
#include <optional>

namespace velmora {

// A SchemeTask over one WebKitURISchemeRequest. The deliveries may come from any thread (the
// media handler answers from its own queue): each one hops to the GLib main context before
// WebKit is touched. The response head and data are collected and handed to WebKit as one
// response with its status and header fields when the task finishes; deliveries after the task
// finished or failed are ignored.
class WebKitSchemeTask : public SchemeTask, public std::enable_shared_from_this<WebKitSchemeTask> {
public:
    // Main thread. `mainQueue` is the GLib main context's queue.
    static std::shared_ptr<WebKitSchemeTask> create(WebKitURISchemeRequest* request, std::shared_ptr<MainQueue> mainQueue);
    ~WebKitSchemeTask() override;

    const SchemeRequest& request() const override { return values_; }
    void didReceive(const SchemeResponse& response) override;
    void didReceive(ByteView data) override;
    void didFinish() override;
    void didFail(const std::string& message) override;

    // Only create() can make the key; tasks live in shared_ptrs (deliveries keep them alive).
    class ConstructionKey {
        friend class WebKitSchemeTask;
        ConstructionKey() = default;
    };
    WebKitSchemeTask(ConstructionKey, WebKitURISchemeRequest* request, std::shared_ptr<MainQueue> mainQueue);

private:

    // Main thread only.
    void onMain(std::function<void(WebKitSchemeTask&)> step);
    void finishOnMain();
    void failOnMain(const std::string& message);

    GObjectPtr<WebKitURISchemeRequest> webKitRequest_;  // released on the main thread once answered
    std::shared_ptr<MainQueue> mainQueue_;
    SchemeRequest values_;
    std::optional<SchemeResponse> head_;
    Bytes body_;
};

// Registers `scheme` with WebKit; every request becomes a WebKitSchemeTask passed to `start`.
void registerWebKitScheme(WebKitWebContext* context, const char* scheme, std::shared_ptr<MainQueue> mainQueue,
                          std::function<void(std::shared_ptr<SchemeTask>)> start);

}  // namespace velmora
