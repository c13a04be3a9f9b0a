#pragma once

#include "core/Crypto.h"

#include <filesystem>
#include <optional>
#include <string>

namespace velmora::test {

// A fresh folder under the system temporary folder, removed with everything in it on destruction.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Writes bytes or text to a file, replacing it.
void writeFile(const std::filesystem::path& path, ByteView bytes);
void writeFile(const std::filesystem::path& path, const std::string& text);
std::string readText(const std::filesystem::path& path);

// Permission bits of a file or folder (e.g. 0600).
unsigned modeOf(const std::filesystem::path& path);

// Bytes from lower/upper-case hexadecimal text.
Bytes fromHex(std::string_view hex);

// The shared test data folder (Wycheproof vectors), or nullopt when it is not beside the checkout.
std::optional<std::filesystem::path> testDataDirectory();

}  // namespace velmora::test
