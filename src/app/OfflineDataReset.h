#pragma once

#include <chrono>
#include <filesystem>
#include <vector>

namespace velmora {

// Puts this machine's offline data aside when its master key does not open (a home folder moved
// from another machine or user), so the application can start fresh: the secure store and the
// vault folders are renamed beside themselves, never deleted, and nothing in them is lost.
struct OfflineDataReset {
    // Renames each of the two folders that exists to "<name>.reset-<UTC yyyymmdd-hhmmss>" (with
    // "-2", "-3"… added when that name is taken) and returns the new paths. Throws
    // std::system_error with the platform's text when a rename fails; one done before stays done.
    static std::vector<std::filesystem::path> moveAside(const std::filesystem::path& dataRoot,
                                                        std::chrono::system_clock::time_point now);
};

}  // namespace velmora
