#include "support/TestHttpsServer.h"

#include <memory>
#include <stdexcept>

#include "support/TestTls.h"

namespace velmora::test {

namespace {

constexpr const char* kContentType = "Content-Type";
constexpr const char* kHiddenContentType = "X-Test-Multipart-Content-Type";

// httplib parses multipart bodies into parts and keeps no raw body. Before routing, the content
// type is moved aside so the body is read as plain bytes; handleAll() puts it back. The request
// is a non-const object inside httplib, handed to this hook as const.
httplib::Server::HandlerResponse hideMultipartContentType(const httplib::Request& request, httplib::Response&) {
    if (request.is_multipart_form_data()) {
        auto& mutableRequest =
            const_cast<httplib::Request&>(request);  // NOLINT(cppcoreguidelines-pro-type-const-cast): see above
        std::string value = request.get_header_value(kContentType);
        mutableRequest.headers.erase(kContentType);
        mutableRequest.headers.emplace(kHiddenContentType, value);
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

void restoreMultipartContentType(httplib::Request& request) {
    if (!request.has_header(kHiddenContentType)) return;
    std::string value = request.get_header_value(kHiddenContentType);
    request.headers.erase(kHiddenContentType);
    request.headers.emplace(kContentType, value);
}

// Enough workers that tests with many requests in flight never wait for a free one.
constexpr std::size_t kWorkerThreads = 48;

}  // namespace

TestHttpsServer::TestHttpsServer()
    : server_(TestTls::shared().certificateFile().c_str(), TestTls::shared().privateKeyFile().c_str()) {
    if (!server_.is_valid()) throw std::runtime_error("the test HTTPS server cannot load its certificate");
    // httplib owns the queue it gets from this hook and deletes it itself.
    server_.new_task_queue = [] { return std::make_unique<httplib::ThreadPool>(kWorkerThreads).release(); };
    server_.set_keep_alive_timeout(1);
    server_.set_pre_routing_handler(hideMultipartContentType);
}

TestHttpsServer::~TestHttpsServer() {
    stopping_ = true;
    server_.stop();
    if (thread_.joinable()) thread_.join();
}

void TestHttpsServer::handleAll(const std::string& pattern, const httplib::Server::Handler& handler) {
    auto restored = [handler](const httplib::Request& request, httplib::Response& response) {
        httplib::Request original = request;
        restoreMultipartContentType(original);
        handler(original, response);
    };
    server_.Get(pattern, restored);
    server_.Post(pattern, restored);
    server_.Put(pattern, restored);
    server_.Patch(pattern, restored);
    server_.Delete(pattern, restored);
    server_.Options(pattern, restored);
}

void TestHttpsServer::start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("the test HTTPS server cannot bind to 127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::string TestHttpsServer::url(std::string_view path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::string TestHttpsServer::localhostURL(std::string_view path) const {
    return "https://localhost:" + std::to_string(port_) + std::string(path);
}

Endpoints TestHttpsServer::endpoints() const {
    Endpoints endpoints;
    endpoints.apiHost = "127.0.0.1";
    endpoints.apiPort = static_cast<std::uint16_t>(port_);
    endpoints.webHost = "velmora.test";
    endpoints.caFile = TestTls::shared().caFile().string();
    return endpoints;
}

void TestHttpsServer::holdUntilStopped(std::chrono::milliseconds limit) const {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!stopping_ && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace velmora::test
