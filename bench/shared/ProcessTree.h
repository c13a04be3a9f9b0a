#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace velmora::bench {

// A program's processes as /proc shows them: `root` and every process descending from it (for
// a WebKit application, its web and network processes).
class ProcessTree {
public:
    explicit ProcessTree(pid_t root) : root_(root) {}

    std::vector<pid_t> processes() const;
    // Of one process; 0 (or an empty name) for one that has ended.
    static std::string nameOf(pid_t pid);
    // Its proportional set size (smaps_rollup "Pss:").
    static long pssKiBOf(pid_t pid) { return rollupKiB(pid, "Pss:"); }
    static double cpuSecondsOf(pid_t pid);
    // Its anonymous memory (smaps_rollup "Anonymous:"): what a leak grows, whatever other programs
    // share of its libraries (which moves its PSS).
    static long anonymousKiBOf(pid_t pid) { return rollupKiB(pid, "Anonymous:"); }

private:
    static long rollupKiB(pid_t pid, std::string_view field);

    pid_t root_;
};

}  // namespace velmora::bench
