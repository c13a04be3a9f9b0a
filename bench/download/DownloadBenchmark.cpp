// Encrypted download throughput and memory against a local HTTPS server serving 1 GiB, side by side
// with `curl -s -o /dev/null` of the same URL in the same run.
//
// Prints: curl_seconds, download_seconds, download_ratio (curl time / our time; higher is better,
// target >= 0.85) and download_rss_growth_mib (peak resident growth while downloading; target <= 16).
// For context it also times writing and syncing the same number of bytes to the vault's disk in
// 1 MiB writes, bypassing the page cache where the file system allows it, as the vault's record
// writer does (disk_write_seconds): the download can be no faster than that, and curl's baseline
// writes nothing. disk_bound_ratio is therefore the best
// download_ratio this disk allows (curl time over the slower of curl and the disk).
// curl_to_disk_seconds is curl saving the same URL on that disk and syncing it, a plain download
// with no sealing; download_vs_curl_to_disk_ratio (its time over ours) says what sealing and the
// vault cost on top of receiving and storing. bound_seconds is the machine's limit for the
// download, the slower of curl to /dev/null and the disk; download_vs_bound (bound over ours;
// target >= 0.85) is how close the download comes to it.
//
// What the download costs: the CPU time of the work it cannot avoid, each measured on its own in
// the same run: curl_cpu_seconds (the curl client receiving the body to /dev/null: TLS and TCP),
// seal_cpu_seconds (sealing the same bytes into records with encryptChunk) and disk_cpu_seconds
// (the writing thread of disk_write_seconds). download_cpu_efficiency is the download process's
// CPU time (all its threads, not the server) over their sum; target <= 1.15. CPU times are the
// least of the rounds, and much less sensitive than wall times to other load on the machine.
// Over loopback the kernel's TCP work is shared between the two ends: a receiver slower than the
// sender takes on part of the sender's transmitting (it runs when the receiver's window update
// arrives). So the server's CPU time during that curl and that download is printed too
// (server_cpu_for_curl_seconds, server_cpu_for_download_seconds), and
// download_cpu_efficiency_with_server counts both ends on both sides.
// The server runs in a process of its own, so it does not take the download's cores. For the best
// download it also prints the CPU time of the server, and how busy all cores were (machine_busy,
// 1.0 = every core busy throughout): the resource that bounds the download.
#include "ProcessTree.h"
#include "downloads/EncryptedDownload.h"
#include "support/TempDirectory.h"
#include "support/TestHttpsServer.h"
#include "support/TestTls.h"
#include "vault/VaultManager.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace velmora;
using bench::ProcessTree;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kBodyBytes = std::size_t{1} << 30;
constexpr std::size_t kPieceBytes = 1 << 20;
constexpr int kRounds = 3;

// Resident set figures from /proc/self/status, in KiB.
long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + std::char_traits<char>::length(field), nullptr, 10);
    }
    return -1;
}

void resetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double secondsOf(const timeval& time) { return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6; }

struct CurlRun {
    double seconds;
    double cpuSeconds;  // of the curl process alone
};

// curl fetching the URL into `output`, synced there unless it is /dev/null.
CurlRun runCurl(const std::string& url, const std::filesystem::path& output = "/dev/null") {
    std::string caFile = test::TestTls::shared().caFile().string();
    std::vector<std::string> arguments{"curl", "-s", "-o", output.string(), "--cacert", caFile, url};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    auto start = Clock::now();
    pid_t child = ::fork();
    if (child < 0) throwSystemError(errno, "fork");
    if (child == 0) {
        ::execvp("curl", argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("curl failed");
    }
    if (output != "/dev/null" && ::fsync(openFile(output, O_RDONLY).get()) != 0) throwSystemError(errno, output);
    return {secondsSince(start), secondsOf(usage.ru_utime) + secondsOf(usage.ru_stime)};
}

// CPU time used so far by this process, or by process `pid`, in seconds.
double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return secondsOf(usage.ru_utime) + secondsOf(usage.ru_stime);
}

// CPU time used so far by the calling thread, in seconds.
double threadCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// All cores' busy and total time so far, in clock ticks, from the first line of /proc/stat.
struct MachineTicks {
    double busy = 0;
    double total = 0;
};

MachineTicks machineTicks() {
    std::ifstream stat("/proc/stat");
    std::string cpu;
    stat >> cpu;
    MachineTicks ticks;
    double value = 0;
    for (int column = 0; column < 8 && stat >> value; ++column) {
        ticks.total += value;
        if (column != 3 && column != 4) ticks.busy += value;  // idle and iowait are not busy
    }
    return ticks;
}

struct Measured {
    double seconds;
    double rssGrowthMiB;
    double cpuSeconds = 0;
    double serverCpuSeconds = 0;
    double machineBusy = 0;
};

struct Timed {
    double seconds;
    double cpuSeconds;
};

// A piece-sized buffer at a page boundary, as direct writes need.
std::unique_ptr<std::uint8_t, decltype(&std::free)> alignedCopy(const std::string& piece) {
    std::unique_ptr<std::uint8_t, decltype(&std::free)> buffer(static_cast<std::uint8_t*>(std::aligned_alloc(4096, piece.size())), &std::free);
    if (!buffer) throw std::bad_alloc();
    std::memcpy(buffer.get(), piece.data(), piece.size());
    return buffer;
}

// Writes the body's size in pieces to the vault's disk and syncs it: directly, bypassing the page
// cache, when the file system allows it, else through the page cache with each piece handed to
// write-back at once.
Timed timeDiskWrite(const std::filesystem::path& folder, const std::string& piece) {
    std::filesystem::path file = folder / "disk-baseline";
    auto buffer = alignedCopy(piece);
    ByteView bytes(buffer.get(), piece.size());
    auto start = Clock::now();
    double cpuBefore = threadCpuSeconds();
    {
        FileDescriptor out = openFile(file, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        bool direct = ::fcntl(out.get(), F_SETFL, O_DIRECT) == 0;
        for (std::size_t written = 0; written < kBodyBytes; written += piece.size()) {
            writeAll(out.get(), bytes, file);
            if (!direct) {
                ::sync_file_range(out.get(), static_cast<off_t>(written), static_cast<off_t>(piece.size()), SYNC_FILE_RANGE_WRITE);
            }
        }
        if (::fsync(out.get()) != 0) throwSystemError(errno, file);
    }
    Timed timed{secondsSince(start), threadCpuSeconds() - cpuBefore};
    std::filesystem::remove(file);
    return timed;
}

// CPU time of sealing the body's size into records, one piece at a time, on this thread.
double sealCpuSeconds(const std::string& piece) {
    SecretBytes key(randomBytes(kAes256KeySizeBytes));
    Bytes record(VaultManager::recordOverhead + piece.size());
    double before = threadCpuSeconds();
    for (std::size_t sealed = 0; sealed < kBodyBytes; sealed += piece.size()) {
        VaultManager::encryptChunk(bytesOf(piece), key.span(), record);
    }
    return threadCpuSeconds() - before;
}

Measured timeDownload(const std::string& url, const VaultManager& vault, const TlsTrust& trust, int round, pid_t server) {
    DownloadRequest request;
    request.ownerKey = "bench-owner";
    request.token = "token";
    request.assetId = "bench-" + std::to_string(round);
    request.classId = 1;
    request.lessonId = 1;
    std::promise<DownloadResult> finished;
    resetPeakResident();
    long residentBefore = statusKiB("VmRSS:");
    double cpuBefore = cpuSeconds();
    double serverCpuBefore = ProcessTree::cpuSecondsOf(server);
    MachineTicks machineBefore = machineTicks();
    auto start = Clock::now();
    auto download = EncryptedDownload::make(
        request, url, vault, [](std::uint64_t, std::uint64_t, const std::string&) {},
        [&finished](const DownloadResult& result) { finished.set_value(result); }, {trust});
    download->start();
    DownloadResult result = finished.get_future().get();
    double seconds = secondsSince(start);
    MachineTicks machineAfter = machineTicks();
    Measured measured{seconds, 0, cpuSeconds() - cpuBefore, ProcessTree::cpuSecondsOf(server) - serverCpuBefore,
                      (machineAfter.busy - machineBefore.busy) / std::max(1.0, machineAfter.total - machineBefore.total)};
    long peak = statusKiB("VmHWM:");
    if (!result.succeeded) throw std::runtime_error("download failed: " + result.message);
    vault.deleteItem({"bench-owner", request.assetId});
    measured.rssGrowthMiB = static_cast<double>(peak - residentBefore) / 1024.0;
    return measured;
}

// The HTTPS server serving the 1 GiB body at /lesson.mp4, in a child process made before this one
// starts any thread; it ends with this object (or with this process).
class ServerProcess {
public:
    explicit ServerProcess(const std::string& piece) {
        const test::TestTls& tls = test::TestTls::shared();  // made here, so the child shares its files
        int ready[2];
        if (::pipe(ready) != 0) throwSystemError(errno, "pipe");
        pid_ = ::fork();
        if (pid_ < 0) throwSystemError(errno, "fork");
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::close(ready[0]);
            serve(piece, ready[1]);
        }
        ::close(ready[1]);
        bool started = ::read(ready[0], &port_, sizeof port_) == static_cast<ssize_t>(sizeof port_);
        ::close(ready[0]);
        if (!started) throw std::runtime_error("the server process did not start");
        caFile_ = tls.caFile().string();
    }
    ~ServerProcess() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    Endpoints endpoints() const {
        Endpoints endpoints;
        endpoints.apiHost = "127.0.0.1";
        endpoints.apiPort = static_cast<std::uint16_t>(port_);
        endpoints.webHost = "velmora.test";
        endpoints.caFile = caFile_;
        return endpoints;
    }

private:
    [[noreturn]] static void serve(const std::string& piece, int ready) {
        try {
            test::TestHttpsServer server;
            server.server().Get("/lesson.mp4", [&piece](const httplib::Request&, httplib::Response& response) {
                response.set_content_provider(kBodyBytes, "video/mp4", [&piece](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    std::size_t inPiece = offset % kPieceBytes;
                    return sink.write(piece.data() + inPiece, std::min(kPieceBytes - inPiece, kBodyBytes - offset));
                });
            });
            server.start();
            int port = server.port();
            if (::write(ready, &port, sizeof port) == static_cast<ssize_t>(sizeof port)) {
                while (true) ::pause();
            }
        } catch (const std::exception& error) {
            std::fprintf(stderr, "bench download server: %s\n", error.what());
        }
        ::_exit(1);  // never the parent's exit handlers: they own the shared temporary files
    }

    pid_t pid_ = -1;
    int port_ = 0;
    std::string caFile_;
};

}  // namespace

int main() {
    try {
        std::string piece(kPieceBytes, '\0');
        for (std::size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>(i * 2654435761u >> 13);
        ServerProcess server(piece);
        std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/lesson.mp4";

        test::TempDirectory folder;
        VaultManager vault(folder.path(), SecretBytes(randomBytes(32)));
        TlsTrust trust = TlsTrust::fromEndpoints(server.endpoints());

        double bestCurl = 1e9;
        double leastCurlCpu = 1e9;
        Measured bestOurs{1e9, 0};
        double leastOursCpu = 1e9;
        double serverCpuForCurl = 0;  // during the curl and the download of least CPU time
        double serverCpuForOurs = 0;
        double bestDisk = 1e9;
        double leastDiskCpu = 1e9;
        double leastSealCpu = 1e9;
        double bestCurlToDisk = 1e9;
        double worstGrowth = 0;
        for (int round = 0; round < kRounds; ++round) {
            double serverBeforeCurl = ProcessTree::cpuSecondsOf(server.pid());
            CurlRun curl = runCurl(url);
            bestCurl = std::min(bestCurl, curl.seconds);
            if (curl.cpuSeconds < leastCurlCpu) {
                leastCurlCpu = curl.cpuSeconds;
                serverCpuForCurl = ProcessTree::cpuSecondsOf(server.pid()) - serverBeforeCurl;
            }
            Measured ours = timeDownload(url, vault, trust, round, server.pid());
            if (ours.seconds < bestOurs.seconds) bestOurs = ours;
            if (ours.cpuSeconds < leastOursCpu) {
                leastOursCpu = ours.cpuSeconds;
                serverCpuForOurs = ours.serverCpuSeconds;
            }
            worstGrowth = std::max(worstGrowth, ours.rssGrowthMiB);
            Timed disk = timeDiskWrite(vault.rootURL(), piece);
            bestDisk = std::min(bestDisk, disk.seconds);
            leastDiskCpu = std::min(leastDiskCpu, disk.cpuSeconds);
            leastSealCpu = std::min(leastSealCpu, sealCpuSeconds(piece));
            std::filesystem::path curlCopy = vault.rootURL() / "curl-baseline";
            bestCurlToDisk = std::min(bestCurlToDisk, runCurl(url, curlCopy).seconds);
            std::filesystem::remove(curlCopy);
        }
        std::printf("body_bytes %zu bytes\n", kBodyBytes);
        std::printf("curl_seconds %.3f s\n", bestCurl);
        std::printf("disk_write_seconds %.3f s\n", bestDisk);
        std::printf("curl_to_disk_seconds %.3f s\n", bestCurlToDisk);
        std::printf("download_seconds %.3f s\n", bestOurs.seconds);
        std::printf("download_ratio %.3f\n", bestCurl / bestOurs.seconds);
        double bound = std::max(bestCurl, bestDisk);
        std::printf("bound_seconds %.3f s\n", bound);
        std::printf("download_vs_bound %.3f\n", bound / bestOurs.seconds);
        std::printf("disk_bound_ratio %.3f\n", bestCurl / std::max(bestCurl, bestDisk));
        std::printf("download_vs_curl_to_disk_ratio %.3f\n", bestCurlToDisk / bestOurs.seconds);
        std::printf("curl_cpu_seconds %.3f s\n", leastCurlCpu);
        std::printf("seal_cpu_seconds %.3f s\n", leastSealCpu);
        std::printf("disk_cpu_seconds %.3f s\n", leastDiskCpu);
        std::printf("download_cpu_seconds %.3f s\n", leastOursCpu);
        std::printf("download_cpu_efficiency %.3f\n", leastOursCpu / (leastCurlCpu + leastSealCpu + leastDiskCpu));
        std::printf("server_cpu_for_curl_seconds %.3f s\n", serverCpuForCurl);
        std::printf("server_cpu_for_download_seconds %.3f s\n", serverCpuForOurs);
        std::printf("download_cpu_efficiency_with_server %.3f\n",
                    (leastOursCpu + serverCpuForOurs) / (leastCurlCpu + serverCpuForCurl + leastSealCpu + leastDiskCpu));
        std::printf("server_cpu_seconds %.3f s\n", bestOurs.serverCpuSeconds);
        std::printf("machine_busy %.2f of %ld cores\n", bestOurs.machineBusy, ::sysconf(_SC_NPROCESSORS_ONLN));
        std::printf("download_rss_growth_mib %.1f MiB\n", worstGrowth);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench download: %s\n", error.what());
        return 1;
    }
}
