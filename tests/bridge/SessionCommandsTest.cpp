#include "core/Files.h"
#include "securestore/DeviceSecureStore.h"
#include "support/FakeIdentity.h"
#include "support/FakePage.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <sys/wait.h>
#include <unistd.h>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using test::FakePage;

const Json kNoSession = {{"type", "noSession"}};

Json errorEvent(const std::string& message) { return {{"type", "error"}, {"message", message}}; }

std::string repeated(const std::string& unit, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += unit;
    return out;
}

BridgeEnvironment storeIn(const fs::path& root, const std::shared_ptr<test::FakeIdentity>& identity) {
    BridgeEnvironment env;
    env.dataRoot = root;
    env.identity = identity;
    return env;
}

struct SessionCommandsTest : testing::Test {
    BridgeEnvironment environment() { return storeIn(dir.path(), identity); }

    DeviceSecureStore store() const { return DeviceSecureStore(dir.path(), identity); }

    void save(const Json& fields) {
        Json body = fields;
        body["type"] = "saveSession";
        page.send(body);
    }

    test::TempDirectory dir;
    std::shared_ptr<test::FakeIdentity> identity = std::make_shared<test::FakeIdentity>();
    FakePage page{environment()};
};

TEST_F(SessionCommandsTest, SaveStoresSilentlyAndRestoreAnswersTheSession) {
    save({{"token", "tok"}, {"ownerKey", "owner"}, {"userName", "李雷"}});
    EXPECT_TRUE(page.messages().empty());
    EXPECT_EQ(page.bridge->heldSession(), (DesktopSession{"tok", "owner", "李雷"}));
    EXPECT_EQ(store().loadSession(), (DesktopSession{"tok", "owner", "李雷"}));

    FakePage relaunched{environment()};
    relaunched.send({{"type", "restoreSession"}});
    EXPECT_EQ(relaunched.messages(),
              (std::vector<Json>{{{"type", "session"}, {"token", "tok"}, {"ownerKey", "owner"}, {"userName", "李雷"}}}));
    EXPECT_EQ(relaunched.bridge->heldSession(), (DesktopSession{"tok", "owner", "李雷"}));
}

TEST_F(SessionCommandsTest, MissingOrNonTextUserNameBecomesTheDefault) {
    save({{"token", "tok"}, {"ownerKey", "owner"}});
    EXPECT_EQ(store().loadSession()->userName, "星禾同学");
    save({{"token", "tok"}, {"ownerKey", "owner"}, {"userName", 42}});
    EXPECT_EQ(store().loadSession()->userName, "星禾同学");
    save({{"token", "tok"}, {"ownerKey", "owner"}, {"userName", ""}});
    EXPECT_EQ(store().loadSession()->userName, "");
}

TEST_F(SessionCommandsTest, LimitsCountUserPerceivedCharacters) {
    struct Case {
        const char* name;
        std::string token;
        std::string ownerKey;
        bool accepted;
    };
    std::vector<Case> cases = {
        {"AtBothLimits", std::string(65536, 't'), std::string(512, 'o'), true},
        {"TokenOneOver", std::string(65537, 't'), "o", false},
        {"OwnerKeyOneOver", "t", std::string(513, 'o'), false},
        {"WideCharactersAtLimit", "t", repeated("中", 512), true},
        {"CombiningSequencesAtLimit", repeated("e\xCC\x81", 65536), "o", true},
        {"CombiningSequencesOneOver", "t", repeated("e\xCC\x81", 513), false},
        {"EmptyToken", "", "o", false},
        {"EmptyOwnerKey", "t", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePage fresh{environment()};
        store().clearSession();
        Json body = {{"type", "saveSession"}, {"token", c.token}, {"ownerKey", c.ownerKey}};
        fresh.send(body);
        if (c.accepted) {
            EXPECT_TRUE(fresh.messages().empty());
            EXPECT_EQ(store().loadSession()->token, c.token);
        } else {
            EXPECT_EQ(fresh.messages(), (std::vector<Json>{errorEvent("登录凭证格式无效，未写入本机")}));
            EXPECT_FALSE(store().loadSession());
            EXPECT_FALSE(fresh.bridge->heldSession());
        }
    }
}

TEST_F(SessionCommandsTest, NonTextTokenIsRefusedAndTheHeldSessionKept) {
    save({{"token", "good"}, {"ownerKey", "owner"}});
    save({{"token", 12345}, {"ownerKey", "owner"}});
    EXPECT_EQ(page.messages(), (std::vector<Json>{errorEvent("登录凭证格式无效，未写入本机")}));
    EXPECT_EQ(page.bridge->heldSession()->token, "good");
    EXPECT_EQ(store().loadSession()->token, "good");
}

TEST_F(SessionCommandsTest, RestoreWithNothingOrAnEmptyFieldKeepsTheHeldSession) {
    page.send({{"type", "restoreSession"}});
    EXPECT_EQ(page.messages(), std::vector<Json>{kNoSession});

    save({{"token", "tok"}, {"ownerKey", "owner"}});
    store().saveSession({"stored-token", "", "name"});
    page.send({{"type", "restoreSession"}});
    EXPECT_EQ(page.messages(), (std::vector<Json>{kNoSession, kNoSession}));
    EXPECT_EQ(page.bridge->heldSession(), (DesktopSession{"tok", "owner", "星禾同学"}));
}

TEST_F(SessionCommandsTest, UnreadableStoredSessionClearsTheHeldOne) {
    save({{"token", "tok"}, {"ownerKey", "owner"}});
    fs::path file = store().fileURL("desktop-session");
    Bytes sealed = readWholeFile(file);
    sealed.back() ^= 1;
    test::writeFile(file, sealed);
    page.send({{"type", "restoreSession"}});
    EXPECT_EQ(page.messages(), (std::vector<Json>{kNoSession, errorEvent("登录凭证无法从本机加密存储读取，请重新登录")}));
    EXPECT_FALSE(page.bridge->heldSession());
}

TEST_F(SessionCommandsTest, ClearRemovesTheStoredSessionSilently) {
    save({{"token", "tok"}, {"ownerKey", "owner"}});
    page.send({{"type", "clearSession"}});
    page.send({{"type", "clearSession"}});
    EXPECT_TRUE(page.messages().empty());
    EXPECT_FALSE(page.bridge->heldSession());
    EXPECT_FALSE(fs::exists(store().fileURL("desktop-session")));
    page.send({{"type", "restoreSession"}});
    EXPECT_EQ(page.messages(), std::vector<Json>{kNoSession});
}

// A session entry that cannot be removed (here a folder in its place) is reported with the
// system's text, and no later start restores a session from it.
TEST_F(SessionCommandsTest, ClearThatCannotRemoveTheEntryReportsTheSystemText) {
    save({{"token", "tok"}, {"ownerKey", "owner"}});
    fs::path file = store().fileURL("desktop-session");
    fs::remove(file);
    fs::create_directories(file / "held");
    page.send({{"type", "clearSession"}});
    EXPECT_EQ(page.messages(), std::vector<Json>{errorEvent(std::error_code(EISDIR, std::generic_category()).message())});
    EXPECT_FALSE(page.bridge->heldSession());

    FakePage relaunched{environment()};
    relaunched.send({{"type", "restoreSession"}});
    EXPECT_EQ(relaunched.messages().at(0), kNoSession);
}

TEST_F(SessionCommandsTest, AnEmptySealedRecordIsNoSession) {
    store().save({}, "desktop-session");
    page.send({{"type", "restoreSession"}});
    EXPECT_EQ(page.messages(), std::vector<Json>{kNoSession});
}

// A read-only store folder: the save fails with the system's text, the held session and every
// stored entry stay as they were. Root ignores folder permissions, so as root the scenario runs
// in a child process that has given up its privileges.
std::string saveIntoReadOnlyStore(const fs::path& root, const std::shared_ptr<test::FakeIdentity>& identity) {
    FakePage page{storeIn(root, identity)};
    page.send({{"type", "saveSession"}, {"token", "first"}, {"ownerKey", "owner"}});
    DeviceSecureStore store(root, identity);
    SecretBytes masterKey = store.loadOrCreateMasterKey();
    fs::permissions(store.directory(), fs::perms::owner_read | fs::perms::owner_exec);
    page.send({{"type", "saveSession"}, {"token", "second"}, {"ownerKey", "owner"}});
    auto messages = page.messages();
    if (messages.size() != 1 || messages[0]["type"] != "error") return "expected one error event";
    if (messages[0]["message"].get<std::string>().find("Permission denied") == std::string::npos) {
        return "error text: " + messages[0]["message"].get<std::string>();
    }
    if (page.bridge->heldSession()->token != "first") return "held session changed";
    if (store.loadSession()->token != "first") return "stored session changed";
    if (!(store.loadOrCreateMasterKey() == masterKey)) return "master key changed";
    return "";
}

TEST_F(SessionCommandsTest, ReadOnlyStoreReportsTheSystemTextAndDamagesNothing) {
    if (::geteuid() != 0) {
        EXPECT_EQ(saveIntoReadOnlyStore(dir.path(), identity), "");
        return;
    }
    constexpr uid_t kNobody = 65534;
    fs::path root = dir.path() / "unprivileged";
    fs::create_directory(root);
    ASSERT_EQ(::chown(dir.path().c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chown(root.c_str(), kNobody, kNobody), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string failure = (::setgid(kNobody) == 0 && ::setuid(kNobody) == 0) ? saveIntoReadOnlyStore(root, identity)
                                                                                  : "cannot drop privileges";
        if (!failure.empty()) std::fprintf(stderr, "%s\n", failure.c_str());  // shown in the test's output
        ::_exit(failure.empty() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace velmora
