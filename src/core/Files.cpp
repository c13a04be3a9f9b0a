#include "core/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

namespace velmora {

namespace fs = std::filesystem;

namespace {

// The destination name of a temporary file writeFileAtomically() makes, or nullopt when `name` is
// not one.
std::optional<std::string_view> atomicWriteDestination(std::string_view name) {
    constexpr std::size_t kSuffixLength = 7;  // "." and mkstemp's six letters or digits
    if (name.size() < 2 + kSuffixLength || name.front() != '.') return std::nullopt;
    std::string_view suffix = name.substr(name.size() - kSuffixLength);
    if (suffix.front() != '.' || !std::all_of(suffix.begin() + 1, suffix.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        })) {
        return std::nullopt;
    }
    return name.substr(1, name.size() - 1 - kSuffixLength);
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

void FileDescriptor::close() {
    int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "close");
}

void throwSystemError(int error, const fs::path& path) {
    throw std::system_error(error, std::generic_category(), path.string());
}

FileDescriptor openFile(const fs::path& path, int flags, mode_t mode) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0) throwSystemError(errno, path);
    return FileDescriptor(fd);
}

Bytes readWholeFile(const fs::path& path) {
    FileDescriptor file = openFile(path, O_RDONLY);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) throwSystemError(errno, path);
    Bytes bytes;
    bytes.reserve(static_cast<std::size_t>(info.st_size));
    std::uint8_t buffer[65536];
    for (;;) {
        ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            throwSystemError(errno, path);
        }
        if (got == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
}

void writeAll(int fd, ByteView bytes, const fs::path& path) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            throwSystemError(errno, path);
        }
        done += static_cast<std::size_t>(wrote);
    }
}

void preadExactly(int fd, std::span<std::uint8_t> out, off_t offset, const fs::path& path) {
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t got = ::pread(fd, out.data() + done, out.size() - done, offset + static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR) continue;
            throwSystemError(errno, path);
        }
        if (got == 0) throwSystemError(EIO, path);  // the file is shorter than its layout says
        done += static_cast<std::size_t>(got);
    }
}

void writeFileAtomically(const fs::path& path, ByteView bytes, mode_t mode) {
    fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    std::string pattern = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) throwSystemError(errno, path);
    FileDescriptor file(fd);
    fs::path temporary(pattern);
    try {
        if (::fchmod(file.get(), mode) != 0) throwSystemError(errno, temporary);
        writeAll(file.get(), bytes, temporary);
        if (::fsync(file.get()) != 0) throwSystemError(errno, temporary);
        file.close();
        if (::rename(temporary.c_str(), path.c_str()) != 0) throwSystemError(errno, path);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
}

void removeAtomicWriteLeftovers(const fs::path& folder,
                                const std::function<bool(std::string_view destination)>& isOwnDestination) {
    std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(folder.c_str()), &::closedir);
    if (!directory) return;
    std::vector<std::string> leftovers;
    while (const dirent* entry = ::readdir(directory.get())) {
        std::optional<std::string_view> destination = atomicWriteDestination(entry->d_name);
        if (destination && isOwnDestination(*destination)) leftovers.emplace_back(entry->d_name);
    }
    // Removed after the walk, which a change of the folder would otherwise disturb.
    for (const std::string& name : leftovers) ::unlinkat(::dirfd(directory.get()), name.c_str(), 0);
}

void createDirectories(const fs::path& path, mode_t mode) {
    if (path.empty()) return;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (!S_ISDIR(info.st_mode)) throwSystemError(ENOTDIR, path);
        return;
    }
    if (path.has_parent_path() && path.parent_path() != path) createDirectories(path.parent_path(), mode);
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) throwSystemError(errno, path);
    // mkdir's mode is filtered by the umask; set the exact mode on what was made.
    setMode(path, mode);
}

std::error_code setMode(const fs::path& path, mode_t mode) {
    if (::chmod(path.c_str(), mode) != 0) return {errno, std::generic_category()};
    return {};
}

std::error_code removeFile(const fs::path& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return {errno, std::generic_category()};
    return {};
}

}  // namespace velmora
