// velmora-demo-service --state <folder> --media <folder> [--host 127.0.0.1] [--port 47443]
//                      [--drop-media-once-at <bytes> [--outage-seconds <seconds>]]
// Serves the demo classroom until SIGINT or SIGTERM. The drop closes the first whole-clip media
// transfer after that many bytes, so a download's resume can be seen; with the outage the service
// then refuses connections for that long, so a download's wait for the classroom can be seen. On
// the way out it says how many media bytes it sent in all.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <string>

#include "DemoService.h"

namespace {

int usage() {
    std::cerr << "usage: velmora-demo-service --state <folder> --media <folder> [--host 127.0.0.1] [--port 47443]"
                 " [--drop-media-once-at <bytes> [--outage-seconds <seconds>]]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> options{{"--host", "127.0.0.1"}, {"--port", "47443"}};
    for (int i = 1; i + 1 < argc; i += 2) options[argv[i]] = argv[i + 1];
    if (argc % 2 == 0 || !options.contains("--state") || !options.contains("--media")) return usage();

    // Block the stop signals before any thread starts, so that only sigwait() below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        std::optional<std::uint64_t> dropAt;
        if (options.contains("--drop-media-once-at")) dropAt = std::stoull(options["--drop-media-once-at"]);
        std::chrono::seconds outage{options.contains("--outage-seconds") ? std::stoll(options["--outage-seconds"]) : 0};
        velmora::demo::DemoService service(
            {options["--state"], options["--media"], options["--host"], std::stoi(options["--port"]), dropAt, outage});
        service.start();
        std::cout << "velmora-demo-service: serving " << service.origin()
                  << "/ (CA: " << service.tlsFiles().caCertificate.string() << ")" << std::endl;
        int received = 0;
        sigwait(&stopSignals, &received);
        service.stop();
        std::cout << "velmora-demo-service: sent " << service.mediaBytesSent() << " media bytes" << std::endl;
    } catch (const std::exception& error) {
        std::cerr << "velmora-demo-service: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
