// Start-up: the time from starting the app to the packaged page's first drawn frame, against a bare
// GTK 4 + WebKitGTK window loading the same index.html from file:// (bench_startup_bare), both under
// one virtual display, alternated, with one untimed warm-up start each. Also the time until the
// bridge has answered the page's first restoreSession. Then the same again with a year's library
// (1,000 stored lessons in 40 courses) in the app's vault, against the bare window in the same turns.
//
// Prints: startup_ms_p50, bare_startup_ms_p50, startup_ratio (target <= 1.1), restore_session_ms_p50
// (answered by the app), bare_restore_session_asked_ms_p50 (when the page in the bare window asks:
// its scripts are running), the slowest start of each, the median time of every step both print
// (trace_<step>_ms app and bare: main, startup, activate, load-requested, window-shown,
// load-committed, load-finished), and startup_ms_p50_1000_lessons with startup_ratio_1000_lessons
// (target <= 1.15).
//
// usage: bench_startup [runs]   (default 10 runs of each, in each vault)
#include "BenchFiles.h"
#include "TracedProcess.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace velmora::bench;
namespace fs = std::filesystem;

const std::vector<std::string> kSteps{"main", "startup", "activate", "load-requested", "window-shown", "load-committed", "load-finished"};
constexpr int kLibraryLessons = 1000;
constexpr int kLibraryCourses = 40;

// Milliseconds since the process started, of every traced event of one program's starts.
using Trace = std::map<std::string, std::vector<double>>;

// A start of `arguments` with private XDG folders under `home`, until the page's first frame and its
// restoreSession (answered by the app; only asked for in the bare window); its events go to `trace`.
void startOnce(const std::vector<std::string>& arguments, const fs::path& home, bool app, Trace& trace) {
    std::vector<std::string> environment{"XDG_DATA_HOME=" + (home / "data").string(), "XDG_CACHE_HOME=" + (home / "cache").string(),
                                         "XDG_CONFIG_HOME=" + (home / "config").string(),
                                         "XDG_STATE_HOME=" + (home / "state").string(), "VELMORA_TRACE_STARTUP=1"};
    TracedProcess process(arguments, environment, home / (app ? "app.log" : "bare.log"));
    for (const auto& [event, micros] : process.waitFor({"first-frame", "restore-session"}, std::chrono::seconds(120))) {
        trace[event].push_back(static_cast<double>(micros - process.startedMicros()) / 1000.0);
    }
}

struct Round {
    Trace app;
    Trace bare;
};

// Alternates the app and the bare window, `runs` times each, after one untimed start of each.
Round measure(const fs::path& home, int runs) {
    const std::vector<std::string> app{VELMORA_APP_BINARY};
    const std::vector<std::string> bare{VELMORA_BARE_BINARY, VELMORA_APP_UI_DIR "/index.html"};
    Round warmUp;
    startOnce(app, home, true, warmUp.app);
    startOnce(bare, home, false, warmUp.bare);
    Round round;
    for (int run = 0; run < runs; ++run) {
        // Alternate which goes first, so neither always follows the other's exit.
        for (int turn = 0; turn < 2; ++turn) {
            if ((run + turn) % 2 == 0) {
                startOnce(app, home, true, round.app);
            } else {
                startOnce(bare, home, false, round.bare);
            }
        }
    }
    return round;
}

double median(const Trace& trace, const std::string& event) {
    auto found = trace.find(event);
    return found == trace.end() ? 0 : percentile(found->second, 50);
}

void printEmptyVault(const Round& round, int runs) {
    double p50 = median(round.app, "first-frame");
    double bareP50 = median(round.bare, "first-frame");
    std::printf("runs %d\n", runs);
    std::printf("startup_ms_p50 %.1f ms\n", p50);
    std::printf("bare_startup_ms_p50 %.1f ms\n", bareP50);
    std::printf("startup_ratio %.3f (target <= 1.1)\n", p50 / bareP50);
    std::printf("restore_session_ms_p50 %.1f ms\n", median(round.app, "restore-session"));
    std::printf("bare_restore_session_asked_ms_p50 %.1f ms\n", median(round.bare, "restore-session"));
    std::printf("startup_ms_max %.1f ms\n", percentile(round.app.at("first-frame"), 100));
    std::printf("bare_startup_ms_max %.1f ms\n", percentile(round.bare.at("first-frame"), 100));
    for (const std::string& step : kSteps) {
        std::printf("trace_%s_ms %.1f app %.1f bare\n", step.c_str(), median(round.app, step), median(round.bare, step));
    }
}

void printLibrary(const Round& round) {
    double p50 = median(round.app, "first-frame");
    double bareP50 = median(round.bare, "first-frame");
    std::printf("startup_ms_p50_%d_lessons %.1f ms\n", kLibraryLessons, p50);
    std::printf("bare_startup_ms_p50_same_turns %.1f ms\n", bareP50);
    std::printf("startup_ratio_%d_lessons %.3f (target <= 1.15)\n", kLibraryLessons, p50 / bareP50);
    std::printf("restore_session_ms_p50_%d_lessons %.1f ms\n", kLibraryLessons, median(round.app, "restore-session"));
}

}  // namespace

int main(int argc, char** argv) {
    try {
        runUnderVirtualDisplay(argc, argv);
        int runs = argc > 1 ? std::atoi(argv[1]) : 10;
        if (runs < 1) throw std::runtime_error("usage: bench_startup [runs]");
        fs::path home = fs::temp_directory_path() / ("velmora-bench-startup-" + std::to_string(::getpid()));
        fs::create_directories(home / "data");
        Round empty = measure(home, runs);
        sealLibrary(home / "data", "bench-owner", yearOfLessons(kLibraryLessons, kLibraryCourses));
        Round library = measure(home, runs);
        fs::remove_all(home);
        printEmptyVault(empty, runs);
        printLibrary(library);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench startup: %s\n", error.what());
        return 1;
    }
}
