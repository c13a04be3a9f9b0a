// Memory and CPU while playing: the long 720p clip sealed in the vault and played offline in the
// app's own player after sign-in (its packaged page with bench/memory/page/playback-driver.js added
// to a scratch copy), against a bare GTK 4 + WebKitGTK window (bench_startup_bare) playing the same
// clip from a static HTTP server on 127.0.0.1. From the moment each plays, over 60 s: the CPU-seconds
// of all the program's processes (UI, web, network); then their proportional set size (PSS, from
// /proc/<pid>/smaps_rollup); then how many distinct pictures the screen showed over 5 s, from a
// lossless 50 fps capture of the virtual display (the clip has 25 frames a second, so 125 is every
// frame). Then the app goes on seeking and playing for the growth run, and the
// growth of its own (UI) process's anonymous memory over it is measured.
//
// Prints: app_pss_mib, bare_pss_mib, memory_ratio (target <= 1.1), app_playback_cpu_s,
// bare_playback_cpu_s, playback_cpu_ratio (target <= 1.05), app_frames_shown, bare_frames_shown,
// ui_growth_mib (target <= 16); and where the memory and the CPU time are, process by process
// (app_pss_by_process, bare_pss_by_process, app_cpu_by_process, bare_cpu_by_process).
//
// usage: bench_memory [growth minutes] [clip.mp4]   (default 10 minutes, the long clip of tools/make-clips)
#include "BenchFiles.h"
#include "BenchServer.h"
#include "ProcessTree.h"
#include "ScratchApp.h"
#include "TracedProcess.h"

#include <nlohmann/json.hpp>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

namespace {

using namespace velmora::bench;
namespace fs = std::filesystem;
using Json = nlohmann::json;

const std::string kOwnerKey = "bench-owner";
const std::string kAssetId = "bench-long-lesson";
constexpr auto kPlayback = std::chrono::seconds(60);
constexpr int kCaptureSeconds = 5;
constexpr int kClipFramesPerSecond = 25;  // the long clip of tools/make-clips
// The app's page starts seeking only after the playback minute and the capture, with room to spare.
constexpr auto kQuiet = kPlayback + std::chrono::seconds(2 * kCaptureSeconds);
constexpr int kSeekEverySeconds = 5;
constexpr double kMiB = 1024.0;

// One figure of a program's processes: their sum, and each one's share as "name 12.3 name 45.6"
// (shares under 0.05 left out).
struct ByProcess {
    double total = 0;
    std::string shares;

    void add(pid_t pid, double value) {
        total += value;
        if (value < 0.05) return;
        char share[32];
        std::snprintf(share, sizeof share, " %.1f", value);
        if (!shares.empty()) shares += ' ';
        shares += ProcessTree::nameOf(pid);
        shares += share;
    }
};

struct Playback {
    ByProcess cpuSeconds;
    ByProcess pssMiB;
    int framesShown = 0;
};

// Distinct pictures on the virtual display over kCaptureSeconds, captured losslessly at 50 fps into
// `folder`; a frame that repeats the one before it is not counted.
int framesShown(const fs::path& folder) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr) throw std::runtime_error("no DISPLAY to capture");
    const fs::path capture = folder / "shown.mkv";
    run("ffmpeg -loglevel error -y -f x11grab -framerate 50 -video_size 1440x900 -i " + std::string(display) + " -t " +
        std::to_string(kCaptureSeconds) + " -c:v libx264 -qp 0 -preset ultrafast " + quoted(capture.string()));
    const std::string count = "ffmpeg -i " + quoted(capture.string()) + " -vf mpdecimate=hi=1:lo=1:frac=0,showinfo -f null - 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> output(::popen(count.c_str(), "r"), ::pclose);
    if (!output) throw std::runtime_error("failed: " + count);
    int frames = 0;
    char line[4096];
    while (std::fgets(line, sizeof line, output.get()) != nullptr) {
        if (std::strstr(line, "pts_time:") != nullptr) ++frames;
    }
    std::error_code ignored;
    fs::remove(capture, ignored);
    return frames;
}

// Waits for the page's "playing" report, then measures `process`'s tree over the playback minute.
Playback measurePlayback(BenchServer& server, const TracedProcess& process, const fs::path& folder) {
    Json report = Json::parse(server.waitForReport(process, std::chrono::minutes(5)));
    if (report.contains("error")) throw std::runtime_error("the page failed: " + report["error"].get<std::string>());
    ProcessTree tree(process.pid());
    std::map<pid_t, double> cpuBefore;
    for (pid_t pid : tree.processes()) cpuBefore[pid] = ProcessTree::cpuSecondsOf(pid);
    std::this_thread::sleep_for(kPlayback);
    process.checkRunning();
    Playback playback;
    for (pid_t pid : tree.processes()) {
        // A process that started during the minute counts from its start.
        playback.cpuSeconds.add(pid, ProcessTree::cpuSecondsOf(pid) - cpuBefore[pid]);
        playback.pssMiB.add(pid, static_cast<double>(ProcessTree::pssKiBOf(pid)) / kMiB);
    }
    playback.framesShown = framesShown(folder);
    return playback;
}

Playback bareWindow(const fs::path& clip, const fs::path& folder) {
    BenchServer server;
    server.serveFile("/" + clip.filename().string(), clip);
    server.start();
    fs::copy_file(VELMORA_BARE_PAGE, folder / "bare.html");
    Json config = {{"report", server.url("/report")}, {"src", server.url("/" + clip.filename().string())}};
    std::ofstream(folder / "bench-config.js") << "window.benchConfig = " << config.dump() << ";\n";
    TracedProcess process({VELMORA_BARE_BINARY, (folder / "bare.html").string()},
                          {"XDG_DATA_HOME=" + (folder / "data").string(), "XDG_CACHE_HOME=" + (folder / "cache").string()},
                          folder / "bare.log");
    return measurePlayback(server, process, folder);
}

struct AppRun {
    Playback playback;
    double growthMiB = 0;
};

AppRun appRun(const fs::path& clip, std::chrono::minutes growth) {
    BenchServer server;
    server.start();
    ScratchApp app("memory", VELMORA_APP_UI_DIR);
    app.addDriver({VELMORA_DRIVER, VELMORA_SESSION_MODULE}, Json{{"report", server.url("/report")},
                                                                 {"ownerKey", kOwnerKey},
                                                                 {"assetId", kAssetId},
                                                                 {"quietSeconds", kQuiet.count()},
                                                                 {"seekEverySeconds", kSeekEverySeconds}}
                                                                .dump());
    sealLesson(app.dataDir(), kOwnerKey, kAssetId, clip);
    TracedProcess process({app.binary().string()}, app.environment(), app.root() / "app.log");
    AppRun run{measurePlayback(server, process, app.root())};
    long before = ProcessTree::anonymousKiBOf(process.pid());
    std::this_thread::sleep_for(growth);
    process.checkRunning();
    run.growthMiB = static_cast<double>(ProcessTree::anonymousKiBOf(process.pid()) - before) / kMiB;
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        runUnderVirtualDisplay(argc, argv);
        int minutes = argc > 1 ? std::atoi(argv[1]) : 10;
        if (minutes < 1) throw std::runtime_error("usage: bench_memory [growth minutes >= 1] [clip.mp4]");
        fs::path clip = argc > 2 ? fs::path(argv[2]) : longClip();
        if (!fs::is_regular_file(clip)) throw std::runtime_error("no clip at " + clip.string());

        fs::path folder = fs::temp_directory_path() / ("velmora-bench-memory-bare-" + std::to_string(::getpid()));
        fs::create_directories(folder);
        Playback bare = bareWindow(clip, folder);
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        AppRun ours = appRun(clip, std::chrono::minutes(minutes));

        std::printf("app_pss_mib %.1f MiB\n", ours.playback.pssMiB.total);
        std::printf("bare_pss_mib %.1f MiB\n", bare.pssMiB.total);
        std::printf("app_pss_by_process %s\n", ours.playback.pssMiB.shares.c_str());
        std::printf("bare_pss_by_process %s\n", bare.pssMiB.shares.c_str());
        std::printf("memory_ratio %.3f (target <= 1.1)\n", ours.playback.pssMiB.total / bare.pssMiB.total);
        std::printf("app_playback_cpu_s %.2f s over %lld s\n", ours.playback.cpuSeconds.total, static_cast<long long>(kPlayback.count()));
        std::printf("bare_playback_cpu_s %.2f s over %lld s\n", bare.cpuSeconds.total, static_cast<long long>(kPlayback.count()));
        std::printf("app_cpu_by_process %s\n", ours.playback.cpuSeconds.shares.c_str());
        std::printf("bare_cpu_by_process %s\n", bare.cpuSeconds.shares.c_str());
        std::printf("playback_cpu_ratio %.3f (target <= 1.05)\n", ours.playback.cpuSeconds.total / bare.cpuSeconds.total);
        std::printf("app_frames_shown %d of %d over %d s\n", ours.playback.framesShown, kClipFramesPerSecond * kCaptureSeconds, kCaptureSeconds);
        std::printf("bare_frames_shown %d of %d over %d s\n", bare.framesShown, kClipFramesPerSecond * kCaptureSeconds, kCaptureSeconds);
        std::printf("ui_growth_mib %.1f MiB anonymous over %d min of seek-and-play (target <= 16)\n", ours.growthMiB, minutes);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench memory: %s\n", error.what());
        return 1;
    }
}
