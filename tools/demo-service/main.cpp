// velmora-demo-service --state <folder> --media <folder> [--host 127.0.0.1] [--port 47443]
// Serves the demo classroom until SIGINT or SIGTERM.
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

#include "DemoService.h"

namespace {

int usage() {
    std::cerr << "usage: velmora-demo-service --state <folder> --media <folder> [--host 127.0.0.1] [--port 47443]\n";
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
        velmora::demo::DemoService service(
            {options["--state"], options["--media"], options["--host"], std::stoi(options["--port"])});
        service.start();
        std::cout << "velmora-demo-service: serving " << service.origin()
                  << "/ (CA: " << service.tlsFiles().caCertificate.string() << ")" << std::endl;
        int received = 0;
        sigwait(&stopSignals, &received);
        service.stop();
    } catch (const std::exception& error) {
        std::cerr << "velmora-demo-service: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
