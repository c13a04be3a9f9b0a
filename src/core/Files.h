#pragma once

#include "core/Crypto.h"

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace velmora {

// File helpers over POSIX calls. Failures throw std::system_error whose text is the system's own
// (strerror) prefixed with the path concerned.

// An RAII file descriptor.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    ~FileDescriptor();

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now and reports a failure of close() (which can carry a delayed write error).
    void close();

private:
    int fd_ = -1;
};

[[noreturn]] void throwSystemError(int error, const std::filesystem::path& path);

// Opens with open(2) flags; throws on failure.
FileDescriptor openFile(const std::filesystem::path& path, int flags, mode_t mode = 0600);

// Reads the whole file. Throws when it cannot be opened or read.
Bytes readWholeFile(const std::filesystem::path& path);

// Writes all bytes at the current offset / at `offset`, retrying short writes and EINTR.
void writeAll(int fd, ByteView bytes, const std::filesystem::path& path);
void preadExactly(int fd, std::span<std::uint8_t> out, off_t offset, const std::filesystem::path& path);

// Replaces `path` whole: writes a temporary file in the same folder with `mode`, fsyncs it and
// renames it over the destination, so readers see either the old or the new file, never a mix.
// The temporary file is named "." + the destination's name + "." + six letters or digits.
void writeFileAtomically(const std::filesystem::path& path, ByteView bytes, mode_t mode = 0600);

// Removes the temporary files that atomic writes into `folder` left when their process ended
// mid-write, of the destinations `isOwnDestination` accepts (only the caller knows which names in
// the folder are its own). Only while no atomic write into the folder can be running. Never fails.
void removeAtomicWriteLeftovers(const std::filesystem::path& folder,
                                const std::function<bool(std::string_view destination)>& isOwnDestination);

// Creates the folder and its missing parents; the folders it creates get `mode`.
void createDirectories(const std::filesystem::path& path, mode_t mode);

// chmod; failures are returned, not thrown (callers that clean up ignore them).
std::error_code setMode(const std::filesystem::path& path, mode_t mode);

// Removes a file; a missing file is not an error. Returns the failure, if any.
std::error_code removeFile(const std::filesystem::path& path);

}  // namespace velmora
