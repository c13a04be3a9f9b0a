#include "TracedProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace velmora::bench {

namespace {

constexpr const char* kMarker = "VELMORA_BENCH_VIRTUAL_DISPLAY";

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (std::string& text : texts) out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

bool ended(pid_t pid, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

long long monotonicMicros() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1'000;
}

void runUnderVirtualDisplay(int argc, char** argv) {
    if (std::getenv(kMarker) != nullptr) return;
    ::setenv(kMarker, "1", 1);
    std::vector<std::string> command{"xvfb-run", "-a", "-s", "-screen 0 1440x900x24", "dbus-run-session", "--",
                                     std::filesystem::read_symlink("/proc/self/exe").string()};
    command.insert(command.end(), argv + 1, argv + argc);
    std::vector<char*> args = pointers(command);
    ::execvp(args[0], args.data());
    throw std::runtime_error("cannot run xvfb-run (scripts/setup installs it)");
}

double percentile(std::vector<double> values, double rank) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    auto index = static_cast<std::size_t>(std::ceil(rank / 100.0 * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(index, 1, values.size()) - 1];
}

TracedProcess::TracedProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                             std::filesystem::path logFile)
    : logFile_(std::move(logFile)) {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) variables.emplace_back(*entry);
    variables.insert(variables.end(), environment.begin(), environment.end());
    std::vector<std::string> argumentTexts = arguments;
    std::vector<char*> argv = pointers(argumentTexts);
    std::vector<char*> envp = pointers(variables);

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    started_ = monotonicMicros();
    int error = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    ::posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start " + arguments.front());
}

TracedProcess::~TracedProcess() { stop(); }

void TracedProcess::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!ended(pid_, std::chrono::seconds(10))) {
        ::kill(pid_, SIGKILL);
        ended(pid_, std::chrono::seconds(10));
    }
    pid_ = -1;
}

void TracedProcess::checkRunning() const {
    int status = 0;
    if (pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) == 0) return;
    pid_ = -1;
    throw std::runtime_error(logFile_.filename().string() + " ended early:\n" + logTail());
}

std::map<std::string, long long> TracedProcess::waitFor(const std::vector<std::string>& events,
                                                        std::chrono::seconds limit) const {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        std::map<std::string, long long> found;
        std::ifstream log(logFile_);
        std::string line;
        while (std::getline(log, line)) {
            std::istringstream fields(line);
            std::string tag, event;
            long long micros = 0;
            if (fields >> tag >> event >> micros && tag == "velmora-trace" && !found.count(event)) found[event] = micros;
        }
        if (std::all_of(events.begin(), events.end(), [&found](const std::string& event) { return found.count(event); })) {
            return found;
        }
        checkRunning();
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error(logFile_.filename().string() + " printed no trace in time:\n" + logTail());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string TracedProcess::logTail() const {
    std::ifstream log(logFile_);
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

}  // namespace velmora::bench
