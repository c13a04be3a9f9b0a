#include "support/TestHttpsServer.h"

#include "support/TestTls.h"

#include <memory>
#include <stdexcept>

namespace velmora::test {

namespace {

// Enough workers that tests with many requests in flight never wait for a free one.
constexpr std::size_t kWorkerThreads = 48;

}  // namespace

TestHttpsServer::TestHttpsServer()
    : server_(TestTls::shared().certificateFile().c_str(), TestTls::shared().privateKeyFile().c_str()) {
    if (!server_.is_valid()) throw std::runtime_error("the test HTTPS server cannot load its certificate");
    // httplib owns the queue it gets from this hook and deletes it itself.
    server_.new_task_queue = [] { return std::make_unique<httplib::ThreadPool>(kWorkerThreads).release(); };
    server_.set_keep_alive_timeout(1);
}

TestHttpsServer::~TestHttpsServer() {
    stopping_ = true;
    server_.stop();
    if (thread_.joinable()) thread_.join();
}

void TestHttpsServer::handleAll(const std::string& pattern, const httplib::Server::Handler& handler) {
    server_.Get(pattern, handler);
    server_.Post(pattern, handler);
    server_.Put(pattern, handler);
    server_.Patch(pattern, handler);
    server_.Delete(pattern, handler);
    server_.Options(pattern, handler);
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
