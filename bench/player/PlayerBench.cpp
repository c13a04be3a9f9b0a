// Seeking in the real player: the long clip sealed in the vault and played offline through the app's
// own path (velmora-media, served by the loopback), against the same clip in plain from a static
// HTTP server on 127.0.0.1 (cpp-httplib, with Range), both played by the app's window showing a
// benchmark page (bench/player/page, installed as the app's page in a scratch copy of the app).
// The page alternates the sources in blocks and times 40 seeded random seeks of each: from setting
// currentTime to "seeked", and to the first "timeupdate" with playback past the target.
//
// Prints p50/p99 of both, seek_ratio_p50 and seek_ratio_p99 (offline over plain, "seeked"; target
// <= 1.2), the same ratios to playback past the target, and the time to the first frame of each.
//
// usage: bench_player [clip.mp4]   (default: the long clip of tools/make-clips in build-bench/clips)
#include "BenchFiles.h"
#include "BenchServer.h"
#include "ScratchApp.h"
#include "TracedProcess.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace velmora::bench;
namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr int kSeeks = 40;
constexpr int kSeed = 20261208;
const std::string kOwnerKey = "bench-owner";
const std::string kAssetId = "bench-long-lesson";

// The benchmark page's settings, beside it in the scratch app: the seeks and both sources.
void writeConfig(const ScratchApp& app, const BenchServer& server, const std::string& clipName) {
    Json config = {{"seed", kSeed},
                   {"seeks", kSeeks},
                   {"report", server.url("/report")},
                   {"sources",
                    {{{"name", "offline"}, {"src", "velmora-media://local/v1/" + kAssetId + "?owner=" + kOwnerKey}},
                     {{"name", "plain"}, {"src", server.url("/" + clipName)}}}}};
    std::ofstream(app.pageDir() / "config.js") << "window.benchConfig = " << config.dump() << ";\n";
}

struct Figures {
    std::vector<double> seeked, playing, firstFrame;
};

void print(const std::string& name, const std::vector<double>& values) {
    std::printf("%s_p50 %.1f ms\n", name.c_str(), percentile(values, 50));
    std::printf("%s_p99 %.1f ms\n", name.c_str(), percentile(values, 99));
}

}  // namespace

int main(int argc, char** argv) {
    try {
        runUnderVirtualDisplay(argc, argv);
        fs::path clip = argc > 1 ? fs::path(argv[1]) : longClip();
        if (!fs::is_regular_file(clip)) throw std::runtime_error("no clip at " + clip.string());

        std::string report;
        {
            BenchServer server;
            server.serveFile("/" + clip.filename().string(), clip);
            server.start();
            ScratchApp app("player", VELMORA_PAGE_DIR);
            writeConfig(app, server, clip.filename().string());
            sealLesson(app.dataDir(), kOwnerKey, kAssetId, clip);
            TracedProcess process({app.binary().string()}, app.environment(), app.root() / "app.log");
            report = server.waitForReport(process, std::chrono::minutes(20));
        }

        Json result = Json::parse(report);
        if (result.contains("error")) throw std::runtime_error("the benchmark page failed: " + result["error"].get<std::string>());
        std::map<std::string, Figures> figures;
        for (const Json& block : result.at("blocks")) {
            Figures& of = figures[block.at("source").get<std::string>()];
            of.firstFrame.push_back(block.at("firstFrameMs").get<double>());
            for (const Json& value : block.at("seekedMs")) of.seeked.push_back(value.get<double>());
            for (const Json& value : block.at("playingMs")) of.playing.push_back(value.get<double>());
        }
        const Figures& offline = figures.at("offline");
        const Figures& plain = figures.at("plain");
        std::printf("seeks %zu per source\n", offline.seeked.size());
        print("offline_seeked_ms", offline.seeked);
        print("plain_seeked_ms", plain.seeked);
        print("offline_seek_to_play_ms", offline.playing);
        print("plain_seek_to_play_ms", plain.playing);
        std::printf("seek_ratio_p50 %.3f\n", percentile(offline.seeked, 50) / percentile(plain.seeked, 50));
        std::printf("seek_ratio_p99 %.3f\n", percentile(offline.seeked, 99) / percentile(plain.seeked, 99));
        std::printf("seek_to_play_ratio_p50 %.3f\n", percentile(offline.playing, 50) / percentile(plain.playing, 50));
        std::printf("seek_to_play_ratio_p99 %.3f\n", percentile(offline.playing, 99) / percentile(plain.playing, 99));
        std::printf("offline_first_frame_ms %.1f ms\n", percentile(offline.firstFrame, 50));
        std::printf("plain_first_frame_ms %.1f ms\n", percentile(plain.firstFrame, 50));
        std::printf("first_frame_ratio %.3f\n", percentile(offline.firstFrame, 50) / percentile(plain.firstFrame, 50));
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench player: %s\n", error.what());
        return 1;
    }
}
