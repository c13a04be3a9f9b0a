#pragma once

#include "TracedProcess.h"

#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

namespace velmora::bench {

// A static HTTP server on 127.0.0.1 for the GUI suites: serves files (answering Range requests
// with the asked part) and takes the one report a benchmark page posts to /report. Stopped when
// destroyed.
class BenchServer {
public:
    BenchServer();
    ~BenchServer();
    BenchServer(const BenchServer&) = delete;
    BenchServer& operator=(const BenchServer&) = delete;

    // Serves `file` at `path`; only before start().
    void serveFile(const std::string& path, const std::filesystem::path& file);
    void start();

    int port() const { return port_; }
    std::string url(const std::string& path) const;

    // The body of the page's first report. Throws std::runtime_error when `process` ends first or
    // `limit` passes.
    std::string waitForReport(const TracedProcess& process, std::chrono::minutes limit);

private:
    httplib::Server server_;
    std::promise<std::string> reported_;
    std::future<std::string> report_;
    int port_ = 0;
    std::thread serving_;
};

}  // namespace velmora::bench
