#include "securestore/DeviceSecureStore.h"

#include "core/Files.h"
#include "core/VelmoraError.h"
#include "support/FakeIdentity.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <thread>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using test::FakeIdentity;
using test::TempDirectory;

constexpr const char* kOwnershipMessage = "这份本机加密数据不属于当前 Mac 用户";

struct StoreFixture : testing::Test {
    DeviceSecureStore storeFor(std::shared_ptr<FakeIdentity> who) const { return DeviceSecureStore(dir.path(), std::move(who)); }

    TempDirectory dir;
    std::shared_ptr<FakeIdentity> identity = std::make_shared<FakeIdentity>();
    DeviceSecureStore store{dir.path(), identity};
};

void expectOwnershipFailure(const DeviceSecureStore& store, std::string_view account) {
    try {
        store.load(account);
        ADD_FAILURE() << "load succeeded";
    } catch (const VelmoraError& error) {
        EXPECT_STREQ(error.what(), kOwnershipMessage);
    }
}

Bytes bytesOfSecret(const SecretBytes& secret) { return Bytes(secret.data(), secret.data() + secret.size()); }

TEST_F(StoreFixture, EntryFileNamesFollowTheAccountDigest) {
    struct Case {
        const char* account;
        const char* name;
    };
    for (Case c : {Case{"vault-master-key", "device-v2-ac1e02995fb68e6dd27a23c5.secure"},
                   Case{"desktop-session", "device-v2-26b339e8b42488060c0b2a04.secure"},
                   Case{"", "device-v2-e3b0c44298fc1c149afbf4c8.secure"}}) {
        SCOPED_TRACE(c.account);
        EXPECT_EQ(store.fileURL(c.account), dir.path() / "VelmoraClassroom/SecureStore" / c.name);
    }
}

// Opens an entry with a key computed from the six components, independently of the store.
TEST_F(StoreFixture, EntryOpensWithTheIndependentlyDerivedKey) {
    store.save(bytesOf("secret session"), "desktop-session");
    Bytes file = readWholeFile(store.fileURL("desktop-session"));
    ASSERT_EQ(file.size(), 12u + 14u + 16u);

    std::string keyText = "VelmoraClassroom|device-v2|4C4C4544-0042-3510-8052-B4C04F4E3732|501|learner|desktop-session";
    Sha256Digest key = sha256(bytesOf(keyText));
    Bytes plaintext(14);
    ByteView all(file);
    ASSERT_TRUE(AesGcm256::open(key, all.first(12), all.subspan(12, 14), {}, all.last(16), plaintext));
    EXPECT_EQ(std::string(plaintext.begin(), plaintext.end()), "secret session");
}

TEST_F(StoreFixture, FallbackIdentityJoinsHostNames) {
    identity->platform = "";
    EXPECT_EQ(store.machineIdentity(), "Learner's Laptop|learner-laptop");
    identity->localizedHost = "";
    EXPECT_EQ(store.machineIdentity(), "mac|learner-laptop");
    store.save(bytesOf("x"), "a");
    Sha256Digest key = sha256(bytesOf("VelmoraClassroom|device-v2|mac|learner-laptop|501|learner|a"));
    EXPECT_EQ(store.wrappingKey("a"), SecretBytes(key));
    identity->host = "renamed";
    expectOwnershipFailure(store, "a");
}

TEST_F(StoreFixture, SaveLoadRoundTripsAndSetsModes) {
    EXPECT_FALSE(store.load("never-saved"));
    store.deleteEntry("never-saved");

    store.save({}, "empty");
    EXPECT_EQ(fs::file_size(store.fileURL("empty")), 28u);
    auto empty = store.load("empty");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());

    EXPECT_EQ(test::modeOf(store.directory()), 0700u);
    EXPECT_EQ(test::modeOf(dir.path() / "VelmoraClassroom"), 0700u);
    EXPECT_EQ(test::modeOf(store.fileURL("empty")), 0600u);
}

TEST_F(StoreFixture, EverySaveUsesAFreshNonceAndTheLastWins) {
    store.save(bytesOf("same"), "acct");
    Bytes first = readWholeFile(store.fileURL("acct"));
    store.save(bytesOf("same"), "acct");
    Bytes second = readWholeFile(store.fileURL("acct"));
    EXPECT_NE(first, second);
    store.save(bytesOf("newer"), "acct");
    EXPECT_EQ(bytesOfSecret(*store.load("acct")), Bytes(bytesOf("newer").begin(), bytesOf("newer").end()));
}

TEST_F(StoreFixture, AnyAlteredByteOrTruncationFailsWithTheOwnershipMessage) {
    store.save(bytesOf("0123456789"), "acct");
    fs::path file = store.fileURL("acct");
    Bytes original = readWholeFile(file);
    for (std::size_t i = 0; i < original.size(); ++i) {
        SCOPED_TRACE("byte " + std::to_string(i));
        Bytes altered = original;
        altered[i] ^= 0x01;
        test::writeFile(file, altered);
        expectOwnershipFailure(store, "acct");
    }
    store.save({}, "acct");
    Bytes shortest = readWholeFile(file);
    test::writeFile(file, ByteView(shortest).first(27));
    expectOwnershipFailure(store, "acct");
    test::writeFile(file, std::string());
    expectOwnershipFailure(store, "acct");
}

TEST_F(StoreFixture, EntriesAreBoundToAccountMachineAndUser) {
    store.save(bytesOf("session"), "desktop-session");
    fs::copy_file(store.fileURL("desktop-session"), store.fileURL("vault-master-key"));
    expectOwnershipFailure(store, "vault-master-key");

    auto changes = std::vector<std::pair<const char*, std::function<void(FakeIdentity&)>>>{
        {"uid", [](FakeIdentity& who) { who.uid = 502; }},
        {"user", [](FakeIdentity& who) { who.user = "other"; }},
        {"machine", [](FakeIdentity& who) { who.platform = "another-machine"; }},
    };
    for (auto& [what, change] : changes) {
        SCOPED_TRACE(what);
        auto other = std::make_shared<FakeIdentity>(*identity);
        change(*other);
        expectOwnershipFailure(storeFor(other), "desktop-session");
    }
    EXPECT_TRUE(store.load("desktop-session"));
}

TEST_F(StoreFixture, UnreadableEntryIsNotThisUsersData) {
    store.save(bytesOf("x"), "acct");
    fs::remove(store.fileURL("acct"));
    fs::create_directory(store.fileURL("acct"));
    expectOwnershipFailure(store, "acct");
}

TEST_F(StoreFixture, MasterKeyIsMadeOnceAndKept) {
    SecretBytes key = store.loadOrCreateMasterKey();
    EXPECT_EQ(key.size(), 32u);
    EXPECT_EQ(store.loadOrCreateMasterKey(), key);
    EXPECT_TRUE(fs::exists(dir.path() / "VelmoraClassroom/SecureStore/device-v2-ac1e02995fb68e6dd27a23c5.secure"));
}

TEST_F(StoreFixture, ShortMasterKeyIsReplaced) {
    store.save(Bytes(16, 0xAB), "vault-master-key");
    SecretBytes key = store.loadOrCreateMasterKey();
    EXPECT_EQ(key.size(), 32u);
    EXPECT_EQ(*store.load("vault-master-key"), key);
}

TEST_F(StoreFixture, MasterKeyThatDoesNotOpenIsNotReplaced) {
    store.loadOrCreateMasterKey();
    fs::path file = store.fileURL("vault-master-key");
    Bytes sealed = readWholeFile(file);
    identity->uid = 9999;
    EXPECT_THROW(store.loadOrCreateMasterKey(), VelmoraError);
    EXPECT_EQ(readWholeFile(file), sealed);
}

TEST_F(StoreFixture, ConcurrentSavesLeaveOneWholeValue) {
    Bytes a(300, 'a');
    Bytes b(200, 'b');
    std::thread first([&] { for (int i = 0; i < 200; ++i) store.save(a, "desktop-session"); });
    std::thread second([&] { for (int i = 0; i < 200; ++i) store.save(b, "desktop-session"); });
    first.join();
    second.join();
    Bytes loaded = bytesOfSecret(*store.load("desktop-session"));
    EXPECT_TRUE(loaded == a || loaded == b);
    EXPECT_EQ(std::distance(fs::directory_iterator(store.directory()), fs::directory_iterator()), 1);
}

TEST_F(StoreFixture, SaveIntoAFileWhereTheFolderShouldBeThrowsThePlatformError) {
    test::writeFile(dir.path() / "VelmoraClassroom", std::string("not a folder"));
    try {
        store.save(bytesOf("x"), "acct");
        FAIL() << "save succeeded";
    } catch (const std::system_error& error) {
        EXPECT_NE(std::string(error.what()).find("Not a directory"), std::string::npos) << error.what();
    }
}

TEST_F(StoreFixture, SessionRecordRoundTripsAndClears) {
    EXPECT_FALSE(store.loadSession());
    DesktopSession session{"tok\"en", "owner-1", "星禾同学 Ünïcode"};
    store.saveSession(session);
    EXPECT_EQ(store.loadSession(), session);
    store.saveSession({"t2", "o2", "second"});
    EXPECT_EQ(store.loadSession()->token, "t2");
    store.clearSession();
    store.clearSession();
    EXPECT_FALSE(store.loadSession());
}

TEST_F(StoreFixture, SessionDecodingErrorsPassThroughUnchanged) {
    store.save(bytesOf(R"({"token":"t","ownerKey":"o"})"), "desktop-session");
    EXPECT_THROW(store.loadSession(), Json::out_of_range);
    store.save(bytesOf(R"({"token":"t","ownerKey":"o","userName":5})"), "desktop-session");
    EXPECT_THROW(store.loadSession(), Json::type_error);
    store.save(bytesOf("not json"), "desktop-session");
    EXPECT_THROW(store.loadSession(), Json::parse_error);
    store.save(bytesOf(R"({"token":"t","ownerKey":"o","userName":"u","extra":[1]})"), "desktop-session");
    EXPECT_EQ(store.loadSession(), (DesktopSession{"t", "o", "u"}));
}

}  // namespace
}  // namespace velmora
