#pragma once

#include "app/GLibHandles.h"
#include "core/MainQueue.h"
#include "schemes/SchemeTask.h"

#include <webkit/webkit.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

namespace velmora {

// Holds back data deliveries made off the main thread while WebKit has not yet read
// kMaxUnreadPieces earlier pieces of the same task, so a handler never runs ahead of its reader: a
// whole lesson is not decrypted into memory faster than WebKit takes it, and a stop is seen before
// the next piece. One per registered scheme. release() ends all holding for good; the shell calls
// it once its main loop has stopped, when nothing reads any more, so that a handler's queue can end.
class WebKitDeliveryGate {
public:
    static constexpr std::size_t kMaxUnreadPieces = 2;

    void release();

private:
    friend class WebKitSchemeTask;
    std::mutex mutex_;  // also guards each task's count of unread pieces
    std::condition_variable changed_;
    bool released_ = false;
};

// A SchemeTask over one WebKitURISchemeRequest. Deliveries may come from any thread (the media
// handler answers from its own queue): each one hops to the GLib main context before WebKit is
// touched, and one made on the main thread is passed on at once. The response head finishes the
// WebKit request at once with a response whose body is a stream that the data deliveries feed, so
// large answers flow through without being collected. When WebKit stops reading before the end
// (the page cancelled the load), `stopped` runs once on the main thread and every later delivery is
// ignored, as are deliveries after the end. A data
// delivery from another thread waits at `gate` while WebKit is behind (see WebKitDeliveryGate).
class WebKitSchemeTask : public SchemeTask, public std::enable_shared_from_this<WebKitSchemeTask> {
public:
    using StopHandler = std::function<void(const SchemeTask&)>;

    // Main thread. `mainQueue` runs work on the GLib main context.
    static std::shared_ptr<WebKitSchemeTask> create(WebKitURISchemeRequest* request, std::shared_ptr<MainQueue> mainQueue,
                                                    StopHandler stopped, std::shared_ptr<WebKitDeliveryGate> gate);

    // Only create() can make the key; tasks live in shared_ptrs (deliveries keep them alive).
    class ConstructionKey {
        friend class WebKitSchemeTask;
        ConstructionKey() = default;
    };
    WebKitSchemeTask(ConstructionKey, WebKitURISchemeRequest* request, std::shared_ptr<MainQueue> mainQueue, StopHandler stopped,
                     std::shared_ptr<WebKitDeliveryGate> gate);
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
    // The gate: a delivering thread waits for room; the reader and the end make room.
    void awaitReader();
    void pieceRead();
    void stopHolding();

    GObjectPtr<WebKitURISchemeRequest> webKitRequest_;  // until answered; released on the main thread
    GObjectPtr<GInputStream> body_;                     // while streaming
    std::shared_ptr<MainQueue> mainQueue_;
    StopHandler stopped_;
    SchemeRequest values_;
    Phase phase_ = Phase::waitingForResponse;
    std::shared_ptr<WebKitDeliveryGate> gate_;
    std::atomic<std::size_t> postedSteps_ = 0;  // posted to the main thread, not yet run
    std::size_t unreadPieces_ = 0;  // under gate_->mutex_
    bool holding_ = true;           // under gate_->mutex_; false once the answer has ended
};

// Registers `scheme` with WebKit: every request becomes a WebKitSchemeTask passed to `start`;
// `stop` hears of the tasks whose loads the page gave up. Returns the scheme's delivery gate.
std::shared_ptr<WebKitDeliveryGate> registerWebKitScheme(WebKitWebContext* context, const char* scheme,
                                                         std::shared_ptr<MainQueue> mainQueue,
                                                         std::function<void(std::shared_ptr<SchemeTask>)> start,
                                                         WebKitSchemeTask::StopHandler stop);

}  // namespace velmora
