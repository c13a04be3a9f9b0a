#include "app/OfflineDataReset.h"

#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace velmora {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(OfflineDataReset, RenamesTheStoreAndVaultAsideKeepingEveryFileAndNeverReplacing) {
    test::TempDirectory dir;
    const fs::path app = dir.path() / "VelmoraClassroom";
    const auto now = std::chrono::system_clock::from_time_t(1'765'248'000);  // 2025-12-09 02:40:00 UTC
    EXPECT_TRUE(OfflineDataReset::moveAside(dir.path(), now).empty());

    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        fs::create_directories(app / "SecureStore");
        fs::create_directories(app / "VaultDeviceV2");
        test::writeFile(app / "SecureStore/device-v2-ac1e02995fb68e6dd27a23c5.secure", "sealed key " + std::to_string(run));
        test::writeFile(app / "VaultDeviceV2/lesson-1.vlmedia", "media " + std::to_string(run));
        const std::string suffix = ".reset-20251209-024000" + std::string(run == 2 ? "-2" : "");
        EXPECT_EQ(OfflineDataReset::moveAside(dir.path(), now),
                  (std::vector<fs::path>{app / ("SecureStore" + suffix), app / ("VaultDeviceV2" + suffix)}));
        EXPECT_FALSE(fs::exists(app / "SecureStore"));
        EXPECT_FALSE(fs::exists(app / "VaultDeviceV2"));
        EXPECT_EQ(contents(app / ("SecureStore" + suffix) / "device-v2-ac1e02995fb68e6dd27a23c5.secure"),
                  "sealed key " + std::to_string(run));
        EXPECT_EQ(contents(app / ("VaultDeviceV2" + suffix) / "lesson-1.vlmedia"), "media " + std::to_string(run));
    }
}

}  // namespace
}  // namespace velmora
