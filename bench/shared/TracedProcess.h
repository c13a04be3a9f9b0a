#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace velmora::bench {

// CLOCK_MONOTONIC in microseconds, the clock of the "velmora-trace <event> <us>" lines.
long long monotonicMicros();

// Re-runs this program under a fresh virtual display (xvfb-run, 1440x900) and a private session bus
// (dbus-run-session), unless it already runs there; returns only in the re-run program.
void runUnderVirtualDisplay(int argc, char** argv);

// Nearest-rank percentile (0..100) of `values`; 0 when empty.
double percentile(std::vector<double> values, double rank);

// A program started with `environment` added to this one's and its stderr in `logFile`, from which
// the "velmora-trace <event> <us>" lines are read back. Stopped (SIGTERM, then SIGKILL after a grace
// period) when destroyed.
class TracedProcess {
public:
    TracedProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                  std::filesystem::path logFile);
    ~TracedProcess();
    TracedProcess(const TracedProcess&) = delete;
    TracedProcess& operator=(const TracedProcess&) = delete;

    // The monotonic time just before the program was started.
    long long startedMicros() const { return started_; }
    // The program's process id; -1 once stopped.
    pid_t pid() const { return pid_; }

    // Waits until every one of `events` has been printed; their times. Throws std::runtime_error
    // with the end of the log when the program ends first or `limit` passes.
    std::map<std::string, long long> waitFor(const std::vector<std::string>& events, std::chrono::seconds limit) const;

    // Throws std::runtime_error when the program has already ended.
    void checkRunning() const;

    void stop();

private:
    std::string logTail() const;

    std::filesystem::path logFile_;
    long long started_ = 0;
    mutable pid_t pid_ = -1;  // -1 once stopped or reaped
};

}  // namespace velmora::bench
