#include "ProcessTree.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace velmora::bench {

namespace {

// The fields of /proc/<pid>/stat after the command name (which may hold spaces and parentheses).
std::vector<std::string> statFields(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(file, line);
    auto close = line.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos) return fields;
    std::istringstream rest(line.substr(close + 1));
    for (std::string field; rest >> field;) fields.push_back(field);
    return fields;
}

constexpr std::size_t kParent = 1;      // field 4 of stat, counted from the state (field 3)
constexpr std::size_t kUserTime = 11;   // field 14
constexpr std::size_t kSystemTime = 12; // field 15

}  // namespace

std::vector<pid_t> ProcessTree::processes() const {
    std::multimap<pid_t, pid_t> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::vector<std::string> fields = statFields(static_cast<pid_t>(std::stol(name)));
        if (fields.size() > kParent) children.emplace(static_cast<pid_t>(std::stol(fields[kParent])), static_cast<pid_t>(std::stol(name)));
    }
    std::vector<pid_t> tree{root_};
    for (std::size_t next = 0; next < tree.size(); ++next) {
        auto [first, last] = children.equal_range(tree[next]);
        for (auto child = first; child != last; ++child) tree.push_back(child->second);
    }
    return tree;
}

std::string ProcessTree::nameOf(pid_t pid) {
    std::string name;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
    return name;
}

long ProcessTree::rollupKiB(pid_t pid, std::string_view field) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string key; file >> key;) {
        long value = 0;
        if (key == field && file >> value) return value;
        file.ignore(1 << 12, '\n');
    }
    return 0;
}

double ProcessTree::cpuSecondsOf(pid_t pid) {
    std::vector<std::string> fields = statFields(pid);
    if (fields.size() <= kSystemTime) return 0;
    return static_cast<double>(std::stoll(fields[kUserTime]) + std::stoll(fields[kSystemTime])) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace velmora::bench
