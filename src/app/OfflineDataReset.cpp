#include "app/OfflineDataReset.h"

#include "securestore/DeviceSecureStore.h"
#include "vault/VaultManager.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <system_error>

namespace velmora {

namespace {

namespace fs = std::filesystem;

std::string utcStamp(std::chrono::system_clock::time_point now) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &utc);
    return text;
}

// Renames `folder` to the first free "<folder>.reset-<stamp>[-n]"; never replaces anything.
fs::path renameAside(const fs::path& folder, const std::string& stamp) {
    for (int attempt = 1;; ++attempt) {
        fs::path target = folder;
        target += ".reset-" + stamp + (attempt > 1 ? "-" + std::to_string(attempt) : "");
        if (::renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return target;
        if (errno != EEXIST) throw std::system_error(errno, std::generic_category(), folder.string());
    }
}

}  // namespace

std::vector<fs::path> OfflineDataReset::moveAside(const fs::path& dataRoot, std::chrono::system_clock::time_point now) {
    std::string stamp = utcStamp(now);
    std::vector<fs::path> moved;
    for (const fs::path& folder : {DeviceSecureStore::directory(dataRoot), VaultManager::rootURL(dataRoot)}) {
        std::error_code error;
        if (!fs::exists(fs::symlink_status(folder, error))) continue;
        moved.push_back(renameAside(folder, stamp));
    }
    return moved;
}

}  // namespace velmora
