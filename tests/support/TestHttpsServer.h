#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>

#include "core/Endpoints.h"

namespace velmora::test {

// An HTTPS server on 127.0.0.1 (any free port) with the shared test certificate. Register
// handlers on server() before start(); handlers run on the server's worker threads.
class TestHttpsServer {
public:
    TestHttpsServer();
    // Releases handlers waiting in holdUntilStopped(), stops the server and joins its thread.
    ~TestHttpsServer();
    TestHttpsServer(const TestHttpsServer&) = delete;
    TestHttpsServer& operator=(const TestHttpsServer&) = delete;

    httplib::Server& server() { return server_; }

    // Registers `handler` for every method the server routes (GET, POST, PUT, PATCH, DELETE,
    // OPTIONS) on paths matching the regular expression `pattern`; the request's body is the raw
    // bytes received, multipart or not (plain httplib handlers see multipart bodies only as
    // parsed parts). Earlier registrations win.
    void handleAll(const std::string& pattern, const httplib::Server::Handler& handler);

    // Binds and starts serving; returns once the server accepts connections.
    void start();

    int port() const { return port_; }
    // "https://127.0.0.1:<port>" + path (or "https://localhost:<port>" + path).
    std::string url(std::string_view path) const;
    std::string localhostURL(std::string_view path) const;

    // The API endpoints of this server: host 127.0.0.1, its port, the test CA.
    Endpoints endpoints() const;

    // For handlers that must not answer: blocks until the server is being destroyed or `limit`
    // has passed.
    void holdUntilStopped(std::chrono::milliseconds limit) const;

private:
    httplib::SSLServer server_;
    std::atomic<bool> stopping_ = false;
    int port_ = 0;
    std::thread thread_;
};

}  // namespace velmora::test
