#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace velmora::bench {

// A copy of the app under `root` with `page` as its page (the app finds its page beside its binary),
// and private XDG folders under `root`, so a suite neither sees nor leaves anything of the learner's.
// The folder is removed when destroyed.
class ScratchApp {
public:
    ScratchApp(const std::string& suite, const std::filesystem::path& page);
    ~ScratchApp();
    ScratchApp(const ScratchApp&) = delete;
    ScratchApp& operator=(const ScratchApp&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path binary() const { return root_ / "velmora-classroom"; }
    std::filesystem::path pageDir() const { return root_ / "app-ui"; }
    // The vault's and secure store's folder, as seal_lesson takes it.
    std::filesystem::path dataDir() const { return root_ / "data"; }
    std::vector<std::string> environment() const;

    // Copies `modules` beside the page and runs the first after the page's own scripts, with
    // `configJson` as window.benchConfig; the page may then post to 127.0.0.1 (its report).
    void addDriver(const std::vector<std::filesystem::path>& modules, const std::string& configJson) const;

private:
    std::filesystem::path root_;
};

}  // namespace velmora::bench
