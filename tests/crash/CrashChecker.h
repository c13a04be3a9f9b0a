#pragma once

#include <filesystem>

namespace velmora::crash {

struct CrashFindings {
    int lost = 0;        // committed before the kill, not being deleted, and not listed
    int unreadable = 0;  // listed, but readRange fails
    int torn = 0;        // bytes of no version it may hold, a lesson back from the dead, or a
                         // session or store entry that is neither the old nor the new value
    int stalePart = 0;   // ".part" files left after the vault was opened that cannot be resumed
};

// Opens the data root as the app does at start-up and compares it with the baseline moved on by
// the killed worker's journal. Writes what it found as the next baseline, and removes what it
// counted as damaged so that one fault is counted once. Problems are described on stderr.
CrashFindings checkAfterKill(const std::filesystem::path& dataRoot, const std::filesystem::path& baseline,
                             const std::filesystem::path& journal);

}  // namespace velmora::crash
