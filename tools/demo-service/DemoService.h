#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "DemoCatalogue.h"
#include "DemoCertificates.h"
#include "DemoResponses.h"
#include "DemoSigner.h"
#include "ProgressStore.h"

namespace velmora::demo {

struct DemoServiceConfig {
    std::filesystem::path stateFolder;  // CA, server certificate, signing secret, saved progress
    std::filesystem::path mediaFolder;  // clip-short.mp4, clip-medium.mp4, clip-long.mp4
    std::string host = "127.0.0.1";     // bound and written into every address the service hands out
    int port = 47443;                   // 0: any free port
    // Closes the first whole-clip media transfer (one without "Range", as a download asks) once
    // it has sent this many bytes, so that resuming can be seen. Only once per service run.
    std::optional<std::uint64_t> dropMediaOnceAt;
    // With the drop: for this long after it the service does not listen at all (connections are
    // refused), as when the classroom is unreachable; then it serves again on the same port.
    std::chrono::seconds outageAfterDrop{0};
};

// The classroom service played on one HTTPS origin: the course API under "/api/web/v2/", lesson
// media with byte ranges under "/media/", courseware under "/files/" and the web site at "/".
class DemoService {
public:
    explicit DemoService(DemoServiceConfig config, const DemoCatalogue& catalogue = DemoCatalogue::standard());
    ~DemoService();
    DemoService(const DemoService&) = delete;
    DemoService& operator=(const DemoService&) = delete;

    // Binds and serves on a background thread; returns the port once it serves. Throws std::runtime_error when
    // the TLS set-up or the bind fails.
    int start();
    void stop();

    // Media bytes sent to clients so far, over every transfer.
    std::uint64_t mediaBytesSent() const { return mediaDrop_.sent(); }

    const TlsFiles& tlsFiles() const { return tls_; }
    // "https://" host ":" port
    std::string origin() const;

private:
    void makeServer();
    void serve();
    void beginOutage();
    void routeApi();
    void routeCatalogue();
    void routeLessons();
    void routeFiles();

    DemoServiceConfig config_;
    const DemoCatalogue& catalogue_;
    TlsFiles tls_;
    DemoSigner signer_;
    ProgressStore progress_;
    MediaDrop mediaDrop_;
    std::unique_ptr<httplib::SSLServer> server_;
    std::thread thread_;
    std::thread outage_;  // stops the server, waits out the outage and serves again
    std::atomic<bool> stopping_{false};
    int port_ = 0;
};

}  // namespace velmora::demo
