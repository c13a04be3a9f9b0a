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
#include "TracedProcess.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace velmora::bench;
namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr int kSeeks = 40;
constexpr int kSeed = 20261208;
const std::string kOwnerKey = "bench-owner";
const std::string kAssetId = "bench-long-lesson";

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

fs::path defaultClip() {
    fs::path folder = fs::path(VELMORA_BENCH_BINARY_DIR) / "clips";
    run("'" VELMORA_SOURCE_DIR "/tools/make-clips' '" + folder.string() + "' long >&2");
    return folder / "clip-long.mp4";
}

// A copy of the app with the benchmark page as its page (the app finds its page beside its binary).
fs::path installApp(const fs::path& root, int serverPort, const std::string& clipName) {
    fs::create_directories(root / "data");
    fs::copy_file(VELMORA_APP_BINARY, root / "velmora-classroom");
    fs::copy(VELMORA_PAGE_DIR, root / "app-ui", fs::copy_options::recursive);
    std::string plain = "http://127.0.0.1:" + std::to_string(serverPort) + "/" + clipName;
    Json config = {{"seed", kSeed},
                   {"seeks", kSeeks},
                   {"report", "http://127.0.0.1:" + std::to_string(serverPort) + "/report"},
                   {"sources",
                    {{{"name", "offline"}, {"src", "velmora-media://local/v1/" + kAssetId + "?owner=" + kOwnerKey}},
                     {{"name", "plain"}, {"src", plain}}}}};
    std::ofstream(root / "app-ui" / "config.js") << "window.benchConfig = " << config.dump() << ";\n";
    return root / "velmora-classroom";
}

// Serves `file` at `path`, reading only the bytes a request asks for (httplib answers Range
// requests of a sized content provider with the asked part).
struct OpenFile {
    explicit OpenFile(const fs::path& file) : fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~OpenFile() {
        if (fd >= 0) ::close(fd);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int fd;
};

void serveFile(httplib::Server& server, const std::string& path, const fs::path& file) {
    auto descriptor = std::make_shared<OpenFile>(file);
    if (descriptor->fd < 0) throw std::runtime_error("cannot open " + file.string());
    const std::size_t size = fs::file_size(file);
    server.Get(path, [descriptor, size](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(size, "video/mp4", [descriptor](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            std::vector<char> buffer(std::min<std::size_t>(length, 1 << 20));
            ssize_t got = ::pread(descriptor->fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
            return got > 0 && sink.write(buffer.data(), static_cast<std::size_t>(got));
        });
    });
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
        fs::path clip = argc > 1 ? fs::path(argv[1]) : defaultClip();
        if (!fs::is_regular_file(clip)) throw std::runtime_error("no clip at " + clip.string());

        httplib::Server server;
        serveFile(server, "/" + clip.filename().string(), clip);
        std::promise<std::string> reported;
        server.Post("/report", [&reported](const httplib::Request& request, httplib::Response& response) {
            response.set_header("Access-Control-Allow-Origin", "*");
            try {
                reported.set_value(request.body);
            } catch (const std::future_error&) {  // a second report: the first one counts
            }
        });
        int port = server.bind_to_any_port("127.0.0.1");
        std::thread serving([&server] { server.listen_after_bind(); });

        fs::path root = fs::temp_directory_path() / ("velmora-bench-player-" + std::to_string(::getpid()));
        fs::path app = installApp(root, port, clip.filename().string());
        run("'" VELMORA_SEAL_BINARY "' '" + (root / "data").string() + "' " + kOwnerKey + " " + kAssetId + " '" + clip.string() + "'");

        std::string report;
        {
            TracedProcess process({app.string()}, {"XDG_DATA_HOME=" + (root / "data").string(), "XDG_CACHE_HOME=" + (root / "cache").string(),
                                                   "XDG_CONFIG_HOME=" + (root / "config").string()},
                                  root / "app.log");
            std::future<std::string> answer = reported.get_future();
            auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(20);
            while (answer.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) {
                process.checkRunning();
                if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("the benchmark page did not report in time");
            }
            report = answer.get();
        }
        server.stop();
        serving.join();
        fs::remove_all(root);

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
