#include "app/WebKitSchemeTask.h"

#include "app/GioPushInputStream.h"

#include <libsoup/soup.h>

#include <utility>

namespace velmora {

namespace {

GQuark schemeErrorQuark() { return g_quark_from_static_string("velmora-scheme-error"); }

SchemeRequest copyRequest(WebKitURISchemeRequest* request) {
    SchemeRequest values;
    if (const char* method = webkit_uri_scheme_request_get_http_method(request)) values.method = method;
    if (const char* uri = webkit_uri_scheme_request_get_uri(request)) values.url = Url::parse(uri);
    if (SoupMessageHeaders* headers = webkit_uri_scheme_request_get_http_headers(request)) {
        soup_message_headers_foreach(
            headers,
            [](const char* name, const char* value, gpointer data) {
                static_cast<SchemeRequest*>(data)->headers.emplace(name, value);
            },
            &values);
    }
    return values;
}

std::string contentType(const SchemeResponse& head) {
    if (head.textEncoding.empty()) return head.mimeType;
    return head.mimeType + "; charset=" + head.textEncoding;
}

GObjectPtr<WebKitURISchemeResponse> buildResponse(const SchemeResponse& head, GInputStream* body) {
    auto response = adoptGObject(webkit_uri_scheme_response_new(body, head.expectedContentLength));
    webkit_uri_scheme_response_set_status(response.get(), static_cast<guint>(head.statusCode), nullptr);
    if (!head.mimeType.empty()) webkit_uri_scheme_response_set_content_type(response.get(), contentType(head).c_str());
    if (!head.headers.empty()) {
        SoupMessageHeaders* fields = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
        for (const auto& [name, value] : head.headers) soup_message_headers_append(fields, name.c_str(), value.c_str());
        webkit_uri_scheme_response_set_http_headers(response.get(), fields);  // takes the header set
    }
    return response;
}

struct SchemeRegistration {
    std::shared_ptr<MainQueue> mainQueue;
    std::function<void(std::shared_ptr<SchemeTask>)> start;
    WebKitSchemeTask::StopHandler stop;
    std::shared_ptr<WebKitDeliveryGate> gate;
};

void onSchemeRequest(WebKitURISchemeRequest* request, gpointer data) {
    auto* registration = static_cast<SchemeRegistration*>(data);
    registration->start(WebKitSchemeTask::create(request, registration->mainQueue, registration->stop, registration->gate));
}

void destroyRegistration(gpointer data) { std::unique_ptr<SchemeRegistration> owned(static_cast<SchemeRegistration*>(data)); }

}  // namespace

void WebKitDeliveryGate::release() {
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    changed_.notify_all();
}

WebKitSchemeTask::WebKitSchemeTask(ConstructionKey, WebKitURISchemeRequest* request, std::shared_ptr<MainQueue> mainQueue,
                                   StopHandler stopped, std::shared_ptr<WebKitDeliveryGate> gate)
    : webKitRequest_(retainGObject(request)),
      mainQueue_(std::move(mainQueue)),
      stopped_(std::move(stopped)),
      values_(copyRequest(request)),
      gate_(std::move(gate)) {}

std::shared_ptr<WebKitSchemeTask> WebKitSchemeTask::create(WebKitURISchemeRequest* request, std::shared_ptr<MainQueue> mainQueue,
                                                           StopHandler stopped, std::shared_ptr<WebKitDeliveryGate> gate) {
    return std::make_shared<WebKitSchemeTask>(ConstructionKey(), request, std::move(mainQueue), std::move(stopped),
                                              std::move(gate));
}

WebKitSchemeTask::~WebKitSchemeTask() {
    // A task dropped unanswered fails rather than leaving the page waiting. The last owner may be
    // a worker thread, so WebKit objects are released on the main thread.
    if (!mainQueue_ || (!webKitRequest_ && !body_)) return;
    mainQueue_->post([request = std::shared_ptr<WebKitURISchemeRequest>(webKitRequest_.release(), GReleaser<g_object_unref>()),
                      body = std::shared_ptr<GInputStream>(body_.release(), GReleaser<g_object_unref>())] {
        constexpr const char* kDropped = "The scheme handler dropped the request.";
        if (body) GioPushInputStream::fail(body.get(), kDropped);
        if (request) {
            GErrorPtr error(g_error_new_literal(schemeErrorQuark(), 0, kDropped));
            webkit_uri_scheme_request_finish_error(request.get(), error.get());
        }
    });
}

// A delivery made on the main thread (the app scheme answers inside start()) is passed to WebKit at
// once, unless steps posted from another thread are still waiting: they go first, in order.
void WebKitSchemeTask::onMain(std::function<void(WebKitSchemeTask&)> step) {
    if (postedSteps_ == 0 && g_main_context_is_owner(g_main_context_default())) {
        if (phase_ != Phase::ended) step(*this);
        return;
    }
    ++postedSteps_;
    mainQueue_->post([self = shared_from_this(), step = std::move(step)] {
        --self->postedSteps_;
        if (self->phase_ != Phase::ended) step(*self);
    });
}

void WebKitSchemeTask::didReceive(const SchemeResponse& response) {
    onMain([response](WebKitSchemeTask& task) { task.respondOnMain(response); });
}

void WebKitSchemeTask::didReceive(ByteView data) { didReceive(Bytes(data.begin(), data.end())); }

void WebKitSchemeTask::didReceive(Bytes&& data) {
    if (data.empty()) return;  // nothing to read, so nothing would ever make room for it
    awaitReader();
    onMain([bytes = std::move(data)](WebKitSchemeTask& task) mutable {
        if (task.phase_ == Phase::streaming) GioPushInputStream::push(task.body_.get(), std::move(bytes));
    });
}

void WebKitSchemeTask::didFinish() {
    onMain([](WebKitSchemeTask& task) { task.finishOnMain(); });
}

void WebKitSchemeTask::didFail(const std::string& message) {
    onMain([message](WebKitSchemeTask& task) { task.failOnMain(message); });
}

void WebKitSchemeTask::respondOnMain(const SchemeResponse& head) {
    if (phase_ != Phase::waitingForResponse) return;
    phase_ = Phase::streaming;
    body_ = GioPushInputStream::create(
        [weak = weak_from_this(), queue = mainQueue_] {
            queue->post([weak] {
                if (auto task = weak.lock()) task->stopOnMain();
            });
        },
        [weak = weak_from_this()] {
            if (auto task = weak.lock()) task->pieceRead();
        });
    GObjectPtr<WebKitURISchemeRequest> request = std::move(webKitRequest_);
    webkit_uri_scheme_request_finish_with_response(request.get(), buildResponse(head, body_.get()).get());
}

void WebKitSchemeTask::finishOnMain() {
    if (phase_ == Phase::waitingForResponse) {
        failOnMain("The scheme handler finished without a response.");
        return;
    }
    phase_ = Phase::ended;
    stopHolding();
    GioPushInputStream::finish(body_.get());
    body_.reset();
}

void WebKitSchemeTask::failOnMain(const std::string& message) {
    if (phase_ == Phase::streaming) {
        GioPushInputStream::fail(body_.get(), message);
        body_.reset();
    } else {
        GErrorPtr error(g_error_new_literal(schemeErrorQuark(), 0, message.c_str()));
        webkit_uri_scheme_request_finish_error(webKitRequest_.get(), error.get());
        webKitRequest_.reset();
    }
    phase_ = Phase::ended;
    stopHolding();
}

void WebKitSchemeTask::stopOnMain() {
    if (phase_ == Phase::ended) return;
    phase_ = Phase::ended;
    body_.reset();
    if (stopped_) stopped_(*this);
    stopHolding();  // after the stop: the delivery let through finds the task stopped
}

// The main thread queues its own deliveries without waiting: it is the thread that passes them on.
void WebKitSchemeTask::awaitReader() {
    bool mainThread = g_main_context_is_owner(g_main_context_default());
    std::unique_lock lock(gate_->mutex_);
    gate_->changed_.wait(lock, [&] {
        return mainThread || !holding_ || gate_->released_ || unreadPieces_ < WebKitDeliveryGate::kMaxUnreadPieces;
    });
    ++unreadPieces_;
}

void WebKitSchemeTask::pieceRead() {
    {
        std::lock_guard lock(gate_->mutex_);
        if (unreadPieces_ > 0) --unreadPieces_;
    }
    gate_->changed_.notify_all();
}

void WebKitSchemeTask::stopHolding() {
    {
        std::lock_guard lock(gate_->mutex_);
        holding_ = false;
    }
    gate_->changed_.notify_all();
}

std::shared_ptr<WebKitDeliveryGate> registerWebKitScheme(WebKitWebContext* context, const char* scheme,
                                                         std::shared_ptr<MainQueue> mainQueue,
                                                         std::function<void(std::shared_ptr<SchemeTask>)> start,
                                                         WebKitSchemeTask::StopHandler stop) {
    auto gate = std::make_shared<WebKitDeliveryGate>();
    auto registration =
        std::make_unique<SchemeRegistration>(SchemeRegistration{std::move(mainQueue), std::move(start), std::move(stop), gate});
    webkit_web_context_register_uri_scheme(context, scheme, onSchemeRequest, registration.release(), destroyRegistration);
    return gate;
}

}  // namespace velmora
