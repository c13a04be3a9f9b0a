#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace velmora::crash {

struct CrashWorkerOptions {
    std::filesystem::path dataRoot;
    std::filesystem::path journal;
    int serverPort = 0;
    std::string caFile;
    std::uint64_t seed = 0;
};

// The process the harness kills: opens the vault as the app does at start-up, then, until it is
// killed, downloads lessons (some over a stored one, some cut short by the server), retitles and
// deletes stored ones and saves the session and a secure-store entry, journalling every step.
// Returns only when something fails that should not (non-zero).
int runCrashWorker(const CrashWorkerOptions& options);

}  // namespace velmora::crash
