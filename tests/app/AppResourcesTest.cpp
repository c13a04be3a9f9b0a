#include "app/AppResources.h"

#include "support/TempDirectory.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

namespace fs = std::filesystem;

TEST(AppResources, PrefersTheFolderBesideTheExecutableThenTheInstalledOne) {
    test::TempDirectory root;
    fs::create_directories(root / "bin/app-ui");
    fs::create_directories(root / "share/velmora-classroom/app-ui");
    EXPECT_EQ(AppResources::locate(root / "bin/velmora-classroom", root / "share/velmora-classroom"), root / "bin/app-ui");
    fs::remove(root / "bin/app-ui");
    EXPECT_EQ(AppResources::locate(root / "bin/velmora-classroom", root / "share/velmora-classroom"),
              root / "share/velmora-classroom/app-ui");
}

TEST(AppResources, AFileNamedAppUiOrNoFolderGivesNothing) {
    test::TempDirectory root;
    EXPECT_EQ(AppResources::locate(root / "velmora-classroom", root / "share"), std::nullopt);
    EXPECT_EQ(AppResources::locate("", ""), std::nullopt);
    test::writeFile(root / "app-ui", std::string("not a folder"));
    EXPECT_EQ(AppResources::locate(root / "velmora-classroom", root / "nowhere"), std::nullopt);
}

}  // namespace
}  // namespace velmora
