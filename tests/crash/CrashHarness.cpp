// Kills a worker with SIGKILL at seeded random moments while it downloads, commits, retitles,
// deletes and saves, and after every kill checks from a fresh process that nothing committed was
// lost or torn. Modes:
//   crash_harness run [--points N] [--seed S]     the whole test (default 200 points, random seed)
//   crash_harness work <root> <journal> <port> <ca file> <seed>
//   crash_harness check <root> <baseline> <journal> <findings file>
#include "CrashChecker.h"
#include "CrashJournal.h"
#include "CrashLessons.h"
#include "CrashWorker.h"

#include "core/Files.h"
#include "support/TempDirectory.h"
#include "support/TestHttpsServer.h"
#include "support/TestTls.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace velmora::crash {

namespace {

constexpr int kDefaultPoints = 200;
constexpr int kShortestRunMs = 20;
constexpr int kLongestRunMs = 900;

std::string selfPath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

pid_t spawn(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int error = ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (error != 0) throw std::system_error(error, std::generic_category(), "posix_spawn");
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// The media of /media/<lesson>/<version>, cut short for the versions that must fail, and the
// authorisation answer that points at it.
void serveLessons(test::TestHttpsServer& server) {
    server.server().Get("/api/web/v2/classes/getClassChapterItemStashInfo", [&server](const httplib::Request& request,
                                                                                      httplib::Response& response) {
        std::string address = server.url("/media/" + request.get_param_value("class_id") + "/" + request.get_param_value("id"));
        response.set_content(R"({"code":0,"data":{"offline_download_url":")" + address + R"("}})", "application/json");
    });
    server.server().Get(R"(/media/(\d+)/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
        const int lesson = std::stoi(request.matches[1]);
        const std::uint64_t version = std::stoull(request.matches[2]);
        const std::uint64_t size = versionSize(lesson, version);
        const std::uint64_t sent = versionFails(version) ? size / 2 : size;
        response.set_content_provider(size, "video/mp4", [lesson, version, sent](std::size_t offset, std::size_t length,
                                                                                 httplib::DataSink& sink) {
            if (offset >= sent) return false;  // closes the connection short of the announced length
            std::size_t piece = std::min<std::size_t>({length, 256 * 1024, sent - offset});
            Bytes bytes = versionBytes(lesson, version, offset, piece);
            return sink.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        });
    });
}

struct Totals {
    CrashFindings findings;
    int steps = 0;
    int commits = 0;
};

void addJournal(const std::filesystem::path& journal, Totals& totals) {
    for (const CrashJournal::Line& line : CrashJournal::read(journal)) {
        ++totals.steps;
        if (line.kind == "committed") ++totals.commits;
    }
}

// One point: a worker runs for a random time and is killed; a fresh process checks the root.
void runPoint(const std::filesystem::path& folder, int port, std::uint64_t seed, std::mt19937_64& random, Totals& totals) {
    const std::filesystem::path root = folder / "data", journal = folder / "journal", findingsFile = folder / "findings";
    std::filesystem::remove(journal);
    pid_t worker = spawn({selfPath(), "work", root.string(), journal.string(), std::to_string(port),
                          test::TestTls::shared().caFile().string(), std::to_string(seed)});
    std::uniform_int_distribution<int> runTime(kShortestRunMs, kLongestRunMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(runTime(random)));
    ::kill(worker, SIGKILL);
    int status = waitFor(worker);
    if (!WIFSIGNALED(status)) throw std::runtime_error("the worker ended by itself before the kill");
    addJournal(journal, totals);

    int checked = waitFor(spawn({selfPath(), "check", root.string(), (folder / "baseline").string(), journal.string(),
                                 findingsFile.string()}));
    if (!WIFEXITED(checked) || WEXITSTATUS(checked) != 0) throw std::runtime_error("the check did not run through");
    std::ifstream in(findingsFile);
    CrashFindings found;
    in >> found.lost >> found.unreadable >> found.torn >> found.stalePart;
    totals.findings.lost += found.lost;
    totals.findings.unreadable += found.unreadable;
    totals.findings.torn += found.torn;
    totals.findings.stalePart += found.stalePart;
}

int run(int points, std::uint64_t seed) {
    std::printf("seed %llu\n", static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    test::TempDirectory folder;
    test::TestHttpsServer server;
    serveLessons(server);
    server.start();
    std::mt19937_64 random(seed);
    Totals totals;
    for (int point = 0; point < points; ++point) runPoint(folder.path(), server.port(), random(), random, totals);
    const CrashFindings& f = totals.findings;
    std::printf("steps %d commits %d\n", totals.steps, totals.commits);
    std::printf("points %d lost %d unreadable %d torn %d stale_part %d\n", points, f.lost, f.unreadable, f.torn, f.stalePart);
    return f.lost + f.unreadable + f.torn + f.stalePart == 0 ? 0 : 1;
}

int check(char** argv) {
    CrashFindings found = checkAfterKill(argv[2], argv[3], argv[4]);
    std::ofstream(argv[5]) << found.lost << ' ' << found.unreadable << ' ' << found.torn << ' ' << found.stalePart << '\n';
    return 0;
}

int usage() {
    std::fprintf(stderr, "usage: crash_harness run [--points N] [--seed S]\n");
    return 2;
}

int runHarness(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "work" && argc == 7) {
        return runCrashWorker({argv[2], argv[3], std::stoi(argv[4]), argv[5], std::stoull(argv[6])});
    }
    if (mode == "check" && argc == 6) return check(argv);
    if (mode != "run") return usage();
    int points = kDefaultPoints;
    std::uint64_t seed = std::random_device()();
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--points") == 0) {
            points = std::stoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--seed") == 0) {
            seed = std::stoull(argv[i + 1]);
        } else {
            return usage();
        }
    }
    if (argc % 2 != 0) return usage();
    return run(points, seed);
}

}  // namespace
}  // namespace velmora::crash

int main(int argc, char** argv) {
    try {
        return velmora::crash::runHarness(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "crash_harness: %s\n", error.what());
        return 2;
    }
}
