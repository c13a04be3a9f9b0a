#include "VaultTestSupport.h"

#include "securestore/DeviceSecureStore.h"
#include "support/FakeIdentity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace velmora {
namespace {

// The data root of a death-test child, removed when the child exits (it never unwinds its stack).
std::filesystem::path childRoot;

// Each case runs in a fresh process: the shared vault is made once per process.
class VaultSharedTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    void configureInChild() {
        childRoot = root.path();
        std::atexit([] { std::filesystem::remove_all(childRoot); });
        VaultManager::configureShared(root.path(), [store = DeviceSecureStore(root.path(), identity)] {
            return store.loadOrCreateMasterKey();
        });
    }

    test::TempDirectory root;
    std::shared_ptr<test::FakeIdentity> identity = std::make_shared<test::FakeIdentity>();
};

TEST_F(VaultSharedTest, IsMadeOnceOverTheSecureStoresMasterKey) {
    EXPECT_EXIT(
        {
            configureInChild();
            std::vector<VaultManager*> seen(4);
            std::vector<std::thread> threads;
            for (std::size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&, i] { seen[i] = &VaultManager::shared(); });
            for (std::thread& thread : threads) thread.join();
            bool same = std::all_of(seen.begin(), seen.end(), [&](VaultManager* v) { return v == &VaultManager::shared(); });
            test::storeLesson(VaultManager::shared(), test::lessonRequest("kept"), test::numberedBytes(4000));
            // A later launch derives the same keys from the stored master key.
            VaultManager relaunched(root.path(), DeviceSecureStore(root.path(), identity).loadOrCreateMasterKey());
            bool readable = relaunched.readRange({"owner-K", "kept"}, 0, 3999) == test::numberedBytes(4000);
            std::exit(same && readable && VaultManager::shared().rootURL() == relaunched.rootURL() ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(VaultSharedTest, EndsTheProcessWhenTheVaultCannotBeMade) {
    test::writeFile(root / "VelmoraClassroom", std::string("a file where the folder belongs"));
    EXPECT_EXIT(
        {
            configureInChild();
            VaultManager::shared();
        },
        ::testing::ExitedWithCode(EXIT_FAILURE), "^无法初始化星禾课堂加密媒体库：.+");
}

}  // namespace
}  // namespace velmora
