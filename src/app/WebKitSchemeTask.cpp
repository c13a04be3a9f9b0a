#include "app/WebKitSchemeTask.h"

#include <libsoup/soup.h>

#include <utility>

namespace velmora {

namespace {

GQuark schemeErrorQuark() { return g_quark_from_static_string("velmora-scheme-error"); }

SchemeRequest copyRequest(WebKitURISchemeRequest* request) {
    SchemeRequest values;
    if (const char* method = webkit_uri_scheme_request_get_http_method(request)) values.method = method;
    if (const char* uri = webkit_uri_scheme_request_get_uri(request)) values.url = uri;
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

WebKitURISchemeResponse* buildResponse(const SchemeResponse& head, const Bytes& body) {
    GBytesPtr bytes(g_bytes_new(body.data(), body.size()));
    auto stream = adoptGObject(g_memory_input_stream_new_from_bytes(bytes.get()));
    WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(stream.get(), static_cast<gint64>(body.size()));
    webkit_uri_scheme_response_set_status(response, static_cast<guint>(head.statusCode), nullptr);
    if (!head.mimeType.empty()) webkit_uri_scheme_response_set_content_type(response, contentType(head).c_str());
    if (!head.headers.empty()) {
        SoupMessageHeaders* fields = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
        for (const auto& [name, value] : head.headers) soup_message_headers_append(fields, name.c_str(), value.c_str());
        webkit_uri_scheme_response_set_http_headers(response, fields);  // takes the header set
    }
    return response;
}

struct SchemeRegistration {
    std::shared_ptr<MainQueue> mainQueue;
    std::function<void(std::shared_ptr<SchemeTask>)> start;
};

void onSchemeRequest(WebKitURISchemeRequest* request, gpointer data) {
    auto* registration = static_cast<SchemeRegistration*>(data);
    registration->start(WebKitSchemeTask::create(request, registration->mainQueue));
}

void destroyRegistration(gpointer data) { std::unique_ptr<SchemeRegistration> owned(static_cast<SchemeRegistration*>(data)); }

}  // namespace

WebKitSchemeTask::WebKitSchemeTask(ConstructionKey, WebKitURISchemeRequest* request, std::shared_ptr<MainQueue> mainQueue)
    : webKitRequest_(retainGObject(request)), mainQueue_(std::move(mainQueue)), values_(copyRequest(request)) {}

std::shared_ptr<WebKitSchemeTask> WebKitSchemeTask::create(WebKitURISchemeRequest* request, std::shared_ptr<MainQueue> mainQueue) {
    return std::make_shared<WebKitSchemeTask>(ConstructionKey(), request, std::move(mainQueue));
}

WebKitSchemeTask::~WebKitSchemeTask() {
    // The last owner may be a worker thread; an unanswered WebKit request is released on the main
    // thread all the same.
    if (webKitRequest_ && mainQueue_) {
        mainQueue_->post([request = std::shared_ptr<WebKitURISchemeRequest>(webKitRequest_.release(), g_object_unref)] {});
    }
}

void WebKitSchemeTask::onMain(std::function<void(WebKitSchemeTask&)> step) {
    mainQueue_->post([self = shared_from_this(), step = std::move(step)] {
        if (self->webKitRequest_) step(*self);
    });
}

void WebKitSchemeTask::didReceive(const SchemeResponse& response) {
    onMain([response](WebKitSchemeTask& task) {
        if (!task.head_) task.head_ = response;
    });
}

void WebKitSchemeTask::didReceive(ByteView data) {
    onMain([bytes = Bytes(data.begin(), data.end())](WebKitSchemeTask& task) {
        if (task.head_) task.body_.insert(task.body_.end(), bytes.begin(), bytes.end());
    });
}

void WebKitSchemeTask::didFinish() {
    onMain([](WebKitSchemeTask& task) { task.finishOnMain(); });
}

void WebKitSchemeTask::didFail(const std::string& message) {
    onMain([message](WebKitSchemeTask& task) { task.failOnMain(message); });
}

void WebKitSchemeTask::finishOnMain() {
    if (!head_) {
        failOnMain("The scheme handler finished without a response.");
        return;
    }
    GObjectPtr<WebKitURISchemeRequest> request = std::move(webKitRequest_);
    auto response = adoptGObject(buildResponse(*head_, body_));
    webkit_uri_scheme_request_finish_with_response(request.get(), response.get());
    body_.clear();
}

void WebKitSchemeTask::failOnMain(const std::string& message) {
    GObjectPtr<WebKitURISchemeRequest> request = std::move(webKitRequest_);
    GErrorPtr error(g_error_new_literal(schemeErrorQuark(), 0, message.c_str()));
    webkit_uri_scheme_request_finish_error(request.get(), error.get());
    body_.clear();
}

void registerWebKitScheme(WebKitWebContext* context, const char* scheme, std::shared_ptr<MainQueue> mainQueue,
                          std::function<void(std::shared_ptr<SchemeTask>)> start) {
    auto registration = std::make_unique<SchemeRegistration>(SchemeRegistration{std::move(mainQueue), std::move(start)});
    webkit_web_context_register_uri_scheme(context, scheme, onSchemeRequest, registration.release(), destroyRegistration);
}

}  // namespace velmora
