#pragma once

#include <filesystem>
#include <optional>
#include <vector>

namespace velmora {

// The packaged web UI folder ("app-ui"): beside the executable in a build or relocatable copy,
// else under the installed data folder.
class AppResources {
public:
    static constexpr const char* kFolderName = "app-ui";
    static constexpr const char* kMissingMessage = "应用界面资源缺失";

    // The folders searched, in order, for an executable at `executable` and an installed data
    // folder `installedDataDir` (for example /usr/share/velmora-classroom).
    static std::vector<std::filesystem::path> candidates(const std::filesystem::path& executable,
                                                         const std::filesystem::path& installedDataDir);

    // The first candidate that is a folder, or nullopt. Never throws.
    static std::optional<std::filesystem::path> locate(const std::filesystem::path& executable,
                                                       const std::filesystem::path& installedDataDir);
};

}  // namespace velmora
