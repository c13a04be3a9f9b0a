// The media suite: a 256 MiB lesson read through the loopback media server with libcurl, against
// reading the same 2 MiB pieces with readRange directly; and the time to the first media byte of
// random "bytes=N-" requests, as a player's seeks make them.

#include "core/Crypto.h"
#include "schemes/MediaSchemeHandler.h"
#include "schemes/loopback/MediaLoopback.h"
#include "vault/LessonWriter.h"
#include "vault/VaultManager.h"

#include <curl/curl.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace velmora;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kLessonSizeBytes = 256ull * 1'048'576;
constexpr int kSequentialRounds = 7;
constexpr int kSeekRequests = 300;
const std::string kAssetId = "bench-lesson";
const std::string kOwnerKey = "bench-owner";

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// CPU seconds of the whole process (every thread: the media queue, the loopback and curl).
double processCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& time) { return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Wall and CPU seconds of one way of reading the lesson.
struct Cost {
    double wall = 1e9;
    double cpu = 1e9;
    template <typename Read>
    void keepBest(Read&& read) {
        double cpuBefore = processCpuSeconds();
        wall = std::min(wall, read());
        cpu = std::min(cpu, processCpuSeconds() - cpuBefore);
    }
};

// A temporary data root removed at exit.
struct ScratchFolder {
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmora-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::filesystem::path path;
};

void storeLesson(const VaultManager& vault) {
    DownloadRequest request;
    request.ownerKey = kOwnerKey;
    request.assetId = kAssetId;
    request.lessonTitle = "benchmark";
    request.classId = 1;
    request.lessonId = 1;
    LessonWriter writer(vault, request);
    const Bytes chunk = randomBytes(VaultManager::chunkSize);
    for (std::uint64_t offset = 0; offset < kLessonSizeBytes; offset += VaultManager::chunkSize) writer.append(chunk);
    writer.commit();
}

double directSeconds(const VaultManager& vault) {
    auto start = Clock::now();
    std::uint64_t total = 0;
    for (std::uint64_t cursor = 0; cursor < kLessonSizeBytes; cursor += MediaSchemeHandler::kPieceSizeBytes) {
        total += vault.readRange({kOwnerKey, kAssetId}, cursor, cursor + MediaSchemeHandler::kPieceSizeBytes - 1).size();
    }
    if (total != kLessonSizeBytes) throw std::runtime_error("direct read came back short");
    return secondsSince(start);
}

struct Transfer {
    std::uint64_t bytes = 0;
    Clock::time_point firstByte{};
    bool stopAtFirstByte = false;
};

// Times from sending a seek to its response head and to its first media byte, sorted.
struct SeekTimes {
    std::vector<double> headMs;
    std::vector<double> mediaMs;
};

std::size_t receive(char*, std::size_t size, std::size_t count, void* target) {
    auto* transfer = static_cast<Transfer*>(target);
    if (transfer->bytes == 0) transfer->firstByte = Clock::now();
    transfer->bytes += size * count;
    return transfer->stopAtFirstByte ? 0 : size * count;  // 0 aborts: the player seeks away
}

using CurlHandle = std::unique_ptr<CURL, void (*)(CURL*)>;

CurlHandle makeCurl(Transfer& transfer) {
    CurlHandle curl(curl_easy_init(), curl_easy_cleanup);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl.get(), CURLOPT_BUFFERSIZE, 512L * 1024);  // a media player reads in large blocks
    return curl;
}

double loopbackSeconds(const std::string& url) {
    Transfer transfer;
    CurlHandle curl = makeCurl(transfer);
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    auto start = Clock::now();
    CURLcode result = curl_easy_perform(curl.get());
    double seconds = secondsSince(start);
    if (result != CURLE_OK || transfer.bytes != kLessonSizeBytes) throw std::runtime_error("loopback read failed");
    return seconds;
}

SeekTimes seekTimes(const std::string& url) {
    std::mt19937_64 random(20261207);
    std::uniform_int_distribution<std::uint64_t> offsets(0, kLessonSizeBytes - 1);
    SeekTimes times;
    Transfer transfer;
    CurlHandle curl = makeCurl(transfer);
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    for (int i = 0; i < kSeekRequests; ++i) {
        transfer = Transfer{0, {}, true};
        std::string range = std::to_string(offsets(random)) + "-";
        curl_easy_setopt(curl.get(), CURLOPT_RANGE, range.c_str());
        auto start = Clock::now();
        curl_easy_perform(curl.get());  // ends with a write error by design
        if (transfer.bytes == 0) throw std::runtime_error("seek got no bytes");
        curl_off_t headMicroseconds = 0;
        curl_easy_getinfo(curl.get(), CURLINFO_STARTTRANSFER_TIME_T, &headMicroseconds);
        times.headMs.push_back(static_cast<double>(headMicroseconds) / 1000.0);
        times.mediaMs.push_back(std::chrono::duration<double, std::milli>(transfer.firstByte - start).count());
    }
    std::sort(times.headMs.begin(), times.headMs.end());
    std::sort(times.mediaMs.begin(), times.mediaMs.end());
    return times;
}

double percentile(const std::vector<double>& sorted, double fraction) {
    auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

}  // namespace

int main() {
    try {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        ScratchFolder folder;
        VaultManager vault(folder.path, SecretBytes(randomBytes(32)));
        storeLesson(vault);
        MediaSchemeHandler media(vault);
        MediaLoopback loopback(media);
        std::string url = loopback.baseAddress() + "/v1/" + kAssetId + "?owner=" + kOwnerKey;

        // Alternate the two ways and keep each one's best round, so a busy moment on a shared
        // machine does not land on one side only.
        Cost direct, served;
        for (int round = 0; round < kSequentialRounds; ++round) {
            direct.keepBest([&] { return directSeconds(vault); });
            served.keepBest([&] { return loopbackSeconds(url); });
        }
        SeekTimes seeks = seekTimes(url);

        const double mebibytes = static_cast<double>(kLessonSizeBytes) / 1'048'576.0;
        std::printf("direct_seq_throughput %.1f MiB/s\n", mebibytes / direct.wall);
        std::printf("loopback_seq_throughput %.1f MiB/s\n", mebibytes / served.wall);
        std::printf("loopback_seq_ratio %.3f ratio\n", direct.wall / served.wall);
        // The same comparison in CPU time of all threads, which other load on the machine moves less.
        std::printf("loopback_seq_cpu_ratio %.3f ratio\n", direct.cpu / served.cpu);
        // Time to first byte counted to the first media byte, not just the response head.
        std::printf("loopback_seek_ttfb_p50_ms %.3f ms\n", percentile(seeks.mediaMs, 0.50));
        std::printf("loopback_seek_ttfb_p99_ms %.3f ms\n", percentile(seeks.mediaMs, 0.99));
        std::printf("loopback_seek_head_p99_ms %.3f ms\n", percentile(seeks.headMs, 0.99));
        curl_global_cleanup();
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench media: %s\n", error.what());
        return 1;
    }
}
