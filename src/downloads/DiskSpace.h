#pragma once

#include "core/VelmoraError.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace velmora {

// The file system has no room for what is about to be written.
class DiskFullError : public VelmoraError {
public:
    using VelmoraError::VelmoraError;
};

// Free space of the file system that holds the vault, checked before lesson records are written
// so that a full disk is found before the download, not hundreds of megabytes into it.
class DiskSpace {
public:
    // Kept free beyond what a lesson needs, for the catalogue, the system and other programs.
    static constexpr std::uint64_t kMarginBytes = 64 * 1'048'576;

    // Bytes an unprivileged process may still write on the file system holding `folder`.
    // Throws std::system_error when it cannot be asked.
    static std::uint64_t available(const std::filesystem::path& folder);

    // Throws DiskFullError "磁盘空间不足，无法保存离线课程（需要 X，可用 Y）" when less than `bytes` plus
    // kMarginBytes is available (X is that sum).
    static void require(const std::filesystem::path& folder, std::uint64_t bytes);

    // The same check before courseware is saved into `folder`: throws DiskFullError
    // "磁盘空间不足，无法保存课件（需要 X，可用 Y）".
    static void requireForCourseware(const std::filesystem::path& folder, std::uint64_t bytes);

    // A size as the page writes it: whole bytes below 1 KB ("512 B"), else one decimal in the
    // largest 1024-based unit up to TB ("1.5 KB", "66.0 MB").
    static std::string formatBytes(std::uint64_t bytes);

private:
    // Throws "磁盘空间不足，无法保存" + `what` + "（需要 X，可用 Y）" when the room is missing.
    static void requireRoom(const std::filesystem::path& folder, std::uint64_t bytes, std::string_view what);
};

}  // namespace velmora
