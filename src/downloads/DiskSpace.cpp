#include "downloads/DiskSpace.h"

#include "core/Files.h"
#include "core/VelmoraError.h"

#include <sys/statvfs.h>

#include <array>
#include <cerrno>
#include <cmath>

namespace velmora {

std::uint64_t DiskSpace::available(const std::filesystem::path& folder) {
    struct statvfs status {};
    if (::statvfs(folder.c_str(), &status) != 0) throwSystemError(errno, folder);
    return static_cast<std::uint64_t>(status.f_bavail) * status.f_frsize;
}

void DiskSpace::require(const std::filesystem::path& folder, std::uint64_t bytes) { requireRoom(folder, bytes, "离线课程"); }

void DiskSpace::requireForCourseware(const std::filesystem::path& folder, std::uint64_t bytes) {
    requireRoom(folder, bytes, "课件");
}

void DiskSpace::requireRoom(const std::filesystem::path& folder, std::uint64_t bytes, std::string_view what) {
    std::uint64_t needed = bytes + kMarginBytes;
    std::uint64_t free = available(folder);
    if (free >= needed) return;
    throw DiskFullError("磁盘空间不足，无法保存" + std::string(what) + "（需要 " + formatBytes(needed) + "，可用 " +
                        formatBytes(free) + "）");
}

std::string DiskSpace::formatBytes(std::uint64_t bytes) {
    static constexpr std::array<const char*, 5> kUnits = {"B", "KB", "MB", "GB", "TB"};
    auto size = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (size >= 1024 && unit < kUnits.size() - 1) {
        size /= 1024;
        ++unit;
    }
    if (unit == 0) return std::to_string(bytes) + " B";
    // Halves round up, as the page's toFixed(1) does.
    auto tenths = static_cast<std::uint64_t>(std::floor(size * 10 + 0.5));
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " + kUnits[unit];
}

}  // namespace velmora
