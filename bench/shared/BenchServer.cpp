#include "BenchServer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

namespace velmora::bench {

namespace {

struct OpenFile {
    explicit OpenFile(const std::filesystem::path& file) : fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~OpenFile() {
        if (fd >= 0) ::close(fd);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int fd;
};

}  // namespace

BenchServer::BenchServer() : report_(reported_.get_future()) {
    server_.Post("/report", [this](const httplib::Request& request, httplib::Response& response) {
        response.set_header("Access-Control-Allow-Origin", "*");
        try {
            reported_.set_value(request.body);
        } catch (const std::future_error&) {  // a second report: the first one counts
        }
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ < 0) throw std::runtime_error("cannot bind the benchmark server");
}

BenchServer::~BenchServer() {
    server_.stop();
    if (serving_.joinable()) serving_.join();
}

void BenchServer::serveFile(const std::string& path, const std::filesystem::path& file) {
    auto descriptor = std::make_shared<OpenFile>(file);
    if (descriptor->fd < 0) throw std::runtime_error("cannot open " + file.string());
    const std::size_t size = std::filesystem::file_size(file);
    // httplib answers a Range request of a sized content provider with the asked part, reading only those bytes.
    server_.Get(path, [descriptor, size](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(size, "video/mp4", [descriptor](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            std::vector<char> buffer(std::min<std::size_t>(length, 1 << 20));
            ssize_t got = ::pread(descriptor->fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
            return got > 0 && sink.write(buffer.data(), static_cast<std::size_t>(got));
        });
    });
}

void BenchServer::start() {
    serving_ = std::thread([this] { server_.listen_after_bind(); });
}

std::string BenchServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string BenchServer::waitForReport(const TracedProcess& process, std::chrono::minutes limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (report_.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) {
        process.checkRunning();
        if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("the benchmark page did not report in time");
    }
    return report_.get();
}

}  // namespace velmora::bench
