// Start-up: the time from starting the app to the packaged page's first drawn frame, against a bare
// GTK 4 + WebKitGTK window loading the same index.html from file:// (bench_startup_bare), both under
// one virtual display, alternated, with one untimed warm-up start each. Also the time until the
// bridge has answered the page's first restoreSession.
//
// Prints: startup_ms_p50, bare_startup_ms_p50, startup_ratio (target <= 1.2), restore_session_ms_p50
// (answered by the app), bare_restore_session_asked_ms_p50 (when the page in the bare window asks:
// its scripts are running) and the slowest start of each.
//
// usage: bench_startup [runs]   (default 10 runs of each)
#include "TracedProcess.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace velmora::bench;

struct Start {
    double firstFrameMs = 0;
    double restoreSessionMs = 0;
};

// A start of `arguments` with private XDG folders under `home`, until the page's first frame and its
// restoreSession (answered by the app; only asked for in the bare window).
Start startOnce(const std::vector<std::string>& arguments, const std::filesystem::path& home, bool app) {
    std::vector<std::string> environment{"XDG_DATA_HOME=" + (home / "data").string(), "XDG_CACHE_HOME=" + (home / "cache").string(),
                                         "XDG_CONFIG_HOME=" + (home / "config").string(),
                                         "XDG_STATE_HOME=" + (home / "state").string(), "VELMORA_TRACE_STARTUP=1"};
    TracedProcess process(arguments, environment, home / (app ? "app.log" : "bare.log"));
    auto times = process.waitFor({"first-frame", "restore-session"}, std::chrono::seconds(120));
    Start start;
    start.firstFrameMs = static_cast<double>(times["first-frame"] - process.startedMicros()) / 1000.0;
    start.restoreSessionMs = static_cast<double>(times["restore-session"] - process.startedMicros()) / 1000.0;
    return start;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        runUnderVirtualDisplay(argc, argv);
        int runs = argc > 1 ? std::atoi(argv[1]) : 10;
        if (runs < 1) throw std::runtime_error("usage: bench_startup [runs]");
        std::filesystem::path home = std::filesystem::temp_directory_path() / ("velmora-bench-startup-" + std::to_string(::getpid()));
        std::filesystem::create_directories(home / "data");
        const std::vector<std::string> app{VELMORA_APP_BINARY};
        const std::vector<std::string> bare{VELMORA_BARE_BINARY, VELMORA_APP_UI_DIR "/index.html"};

        startOnce(app, home, true);
        startOnce(bare, home, false);
        std::vector<double> ours, baseline, restored, bareAsked;
        for (int run = 0; run < runs; ++run) {
            // Alternate which goes first, so neither always follows the other's exit.
            for (int turn = 0; turn < 2; ++turn) {
                if ((run + turn) % 2 == 0) {
                    Start start = startOnce(app, home, true);
                    ours.push_back(start.firstFrameMs);
                    restored.push_back(start.restoreSessionMs);
                } else {
                    Start start = startOnce(bare, home, false);
                    baseline.push_back(start.firstFrameMs);
                    bareAsked.push_back(start.restoreSessionMs);
                }
            }
        }
        std::filesystem::remove_all(home);
        double p50 = percentile(ours, 50);
        double bareP50 = percentile(baseline, 50);
        std::printf("runs %d\n", runs);
        std::printf("startup_ms_p50 %.1f ms\n", p50);
        std::printf("bare_startup_ms_p50 %.1f ms\n", bareP50);
        std::printf("startup_ratio %.3f\n", p50 / bareP50);
        std::printf("restore_session_ms_p50 %.1f ms\n", percentile(restored, 50));
        std::printf("bare_restore_session_asked_ms_p50 %.1f ms\n", percentile(bareAsked, 50));
        std::printf("startup_ms_max %.1f ms\n", percentile(ours, 100));
        std::printf("bare_startup_ms_max %.1f ms\n", percentile(baseline, 100));
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench startup: %s\n", error.what());
        return 1;
    }
}
