#include "app/AppResources.h"

#include <system_error>

namespace velmora {

std::vector<std::filesystem::path> AppResources::candidates(const std::filesystem::path& executable,
                                                            const std::filesystem::path& installedDataDir) {
    std::vector<std::filesystem::path> out;
    if (executable.has_parent_path()) out.push_back(executable.parent_path() / kFolderName);
    if (!installedDataDir.empty()) out.push_back(installedDataDir / kFolderName);
    return out;
}

std::optional<std::filesystem::path> AppResources::locate(const std::filesystem::path& executable,
                                                          const std::filesystem::path& installedDataDir) {
    for (const std::filesystem::path& folder : candidates(executable, installedDataDir)) {
        std::error_code error;
        if (std::filesystem::is_directory(folder, error)) return folder;
    }
    return std::nullopt;
}

}  // namespace velmora
