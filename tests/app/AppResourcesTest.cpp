#include "app/AppResources.h"

#include "support/TempDirectory.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

namespace fs = std::filesystem;

TEST(AppResources, PrefersTheFolderBesideTheExecutable) {
    test::TempDirectory root;
    fs::create_directories(root / "bin/app-ui");
    fs::create_directories(root / "share/velmora-classroom/app-ui");
    EXPECT_EQ(AppResources::locate(root / "bin/velmora-classroom", root / "share/velmora-classroom"), root / "bin/app-ui");
}

TEST(AppResources, FallsBackToTheInstalledDataFolder) {
    test::TempDirectory root;
    fs::create_directories(root / "bin");
    fs::create_directories(root / "share/velmora-classroom/app-ui");
    EXPECT_EQ(AppResources::locate(root / "bin/velmora-classroom", root / "share/velmora-classroom"),
              root / "share/velmora-classroom/app-ui");
}

TEST(AppResources, AFileNamedAppUiIsNotTheFolder) {
    test::TempDirectory root;
    test::writeFile(root / "app-ui", std::string("not a folder"));
    EXPECT_EQ(AppResources::locate(root / "velmora-classroom", root / "nowhere"), std::nullopt);
}

TEST(AppResources, MissingEverywhereGivesNothing) {
    test::TempDirectory root;
    EXPECT_EQ(AppResources::locate(root / "velmora-classroom", root / "share"), std::nullopt);
    EXPECT_EQ(AppResources::locate("", ""), std::nullopt);
    EXPECT_STREQ(AppResources::kMissingMessage, "应用界面资源缺失");
}

}  // namespace
}  // namespace velmora
