#include "securestore/DeviceSecureStore.h"
#include "securestore/IdentitySource.h"

#include "core/Files.h"
#include "core/VelmoraError.h"
#include "support/FakeIdentity.h"
#include "support/TempDirectory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include <unistd.h>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using test::FakeIdentity;
using testing::ThrowsMessage;

const auto kNotOwned = ThrowsMessage<VelmoraError>(testing::StrEq("这份本机加密数据不属于当前 Mac 用户"));

auto loadingFrom(const DeviceSecureStore& store, const std::string& account) {
    return [&store, account] { store.load(account); };
}

struct StoreFixture : testing::Test {
    auto loading(const std::string& account) const { return loadingFrom(store, account); }
    Bytes loaded(const std::string& account) const {
        SecretBytes secret = *store.load(account);
        return Bytes(secret.data(), secret.data() + secret.size());
    }

    test::TempDirectory dir;
    std::shared_ptr<FakeIdentity> identity = std::make_shared<FakeIdentity>();
    DeviceSecureStore store{dir.path(), identity};
};

TEST_F(StoreFixture, EntryFileNamesFollowTheAccountDigest) {
    for (auto [account, name] : {std::pair{"vault-master-key", "device-v2-ac1e02995fb68e6dd27a23c5.secure"},
                                 {"desktop-session", "device-v2-26b339e8b42488060c0b2a04.secure"},
                                 {"", "device-v2-e3b0c44298fc1c149afbf4c8.secure"}}) {
        EXPECT_EQ(store.fileURL(account), dir.path() / "VelmoraClassroom/SecureStore" / name) << account;
    }
}

// Opens an entry with a key computed from the six components, independently of the store.
TEST_F(StoreFixture, EntryOpensWithTheIndependentlyDerivedKey) {
    store.save(bytesOf("secret session"), "desktop-session");
    Bytes file = readWholeFile(store.fileURL("desktop-session"));
    ASSERT_EQ(file.size(), 12u + 14u + 16u);
    Sha256Digest key = sha256(bytesOf("VelmoraClassroom|device-v2|4C4C4544-0042-3510-8052-B4C04F4E3732|501|learner|desktop-session"));
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
    EXPECT_EQ(store.wrappingKey("a"), SecretBytes(sha256(bytesOf("VelmoraClassroom|device-v2|mac|learner-laptop|501|learner|a"))));
    identity->host = "renamed";
    EXPECT_THAT(loading("a"), kNotOwned);
}

TEST_F(StoreFixture, SavesWithModesAndFreshNoncesAndTheLastWins) {
    EXPECT_FALSE(store.load("never-saved"));
    store.deleteEntry("never-saved");
    store.save({}, "empty");
    EXPECT_EQ(fs::file_size(store.fileURL("empty")), 28u);
    EXPECT_TRUE(loaded("empty").empty());
    EXPECT_EQ(test::modeOf(store.directory()), 0700u);
    EXPECT_EQ(test::modeOf(dir.path() / "VelmoraClassroom"), 0700u);
    EXPECT_EQ(test::modeOf(store.fileURL("empty")), 0600u);

    store.save(bytesOf("same"), "acct");
    Bytes first = readWholeFile(store.fileURL("acct"));
    store.save(bytesOf("same"), "acct");
    EXPECT_NE(readWholeFile(store.fileURL("acct")), first);
    store.save(bytesOf("newer"), "acct");
    EXPECT_EQ(loaded("acct"), Bytes(bytesOf("newer").begin(), bytesOf("newer").end()));
}

TEST_F(StoreFixture, AlteredTruncatedOrUnreadableEntriesAreNotThisUsersData) {
    store.save(bytesOf("0123456789"), "acct");
    fs::path file = store.fileURL("acct");
    Bytes original = readWholeFile(file);
    for (std::size_t i = 0; i < original.size(); ++i) {
        Bytes altered = original;
        altered[i] ^= 0x01;
        test::writeFile(file, altered);
        EXPECT_THAT(loading("acct"), kNotOwned) << "byte " << i;
    }
    store.save({}, "acct");
    test::writeFile(file, ByteView(readWholeFile(file)).first(27));
    EXPECT_THAT(loading("acct"), kNotOwned);
    test::writeFile(file, std::string());
    EXPECT_THAT(loading("acct"), kNotOwned);
    fs::remove(file);
    fs::create_directory(file);
    EXPECT_THAT(loading("acct"), kNotOwned);
}

TEST_F(StoreFixture, EntriesAreBoundToAccountMachineAndUser) {
    store.save(bytesOf("session"), "desktop-session");
    fs::copy_file(store.fileURL("desktop-session"), store.fileURL("vault-master-key"));
    EXPECT_THAT(loading("vault-master-key"), kNotOwned);
    for (auto change : {+[](FakeIdentity& who) { who.uid = 502; }, +[](FakeIdentity& who) { who.user = "other"; },
                        +[](FakeIdentity& who) { who.platform = "another-machine"; }}) {
        auto other = std::make_shared<FakeIdentity>(*identity);
        change(*other);
        DeviceSecureStore elsewhere(dir.path(), other);
        EXPECT_THAT(loadingFrom(elsewhere, "desktop-session"), kNotOwned) << other->uid << other->user << other->platform;
    }
    EXPECT_TRUE(store.load("desktop-session"));
}

TEST_F(StoreFixture, MasterKeyIsMadeOnceKeptReplacedWhenShortAndNeverWhenUnreadable) {
    SecretBytes key = store.loadOrCreateMasterKey();
    EXPECT_EQ(key.size(), 32u);
    EXPECT_EQ(store.loadOrCreateMasterKey(), key);

    store.save(Bytes(16, 0xAB), "vault-master-key");
    key = store.loadOrCreateMasterKey();
    EXPECT_EQ(key.size(), 32u);
    EXPECT_EQ(*store.load("vault-master-key"), key);

    Bytes sealed = readWholeFile(store.fileURL("vault-master-key"));
    identity->uid = 9999;
    EXPECT_THROW(store.loadOrCreateMasterKey(), VelmoraError);
    EXPECT_EQ(readWholeFile(store.fileURL("vault-master-key")), sealed);
}

TEST_F(StoreFixture, ConcurrentSavesLeaveOneWholeValue) {
    Bytes a(300, 'a'), b(200, 'b');
    std::thread first([&] { for (int i = 0; i < 200; ++i) store.save(a, "desktop-session"); });
    std::thread second([&] { for (int i = 0; i < 200; ++i) store.save(b, "desktop-session"); });
    first.join();
    second.join();
    EXPECT_THAT(loaded("desktop-session"), testing::AnyOf(a, b));
    EXPECT_EQ(std::distance(fs::directory_iterator(store.directory()), fs::directory_iterator()), 1);
}

TEST_F(StoreFixture, StartUpRemovesTheTemporariesOfKilledSaves) {
    store.saveSession({"token", "owner", "name"});
    const std::string entry = store.fileURL(DeviceSecureStore::kSessionAccount).filename().string();
    test::writeFile(store.directory() / ("." + entry + ".k1LLed"), std::string("half"));
    test::writeFile(store.directory() / ".notes.txt.k1LLed", std::string("not ours"));
    store.removeLeftoverTemporaries();
    std::set<std::string> names;
    for (const auto& file : fs::directory_iterator(store.directory())) names.insert(file.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{entry, ".notes.txt.k1LLed"}));
    EXPECT_EQ(store.loadSession()->token, "token");
}

TEST_F(StoreFixture, SaveIntoAFileWhereTheFolderShouldBeThrowsThePlatformError) {
    test::writeFile(dir.path() / "VelmoraClassroom", std::string("not a folder"));
    EXPECT_THAT([&] { store.save(bytesOf("x"), "acct"); }, ThrowsMessage<std::system_error>(testing::HasSubstr("Not a directory")));
}

TEST_F(StoreFixture, SessionRecordRoundTripsClearsAndPassesDecodingErrorsOn) {
    EXPECT_FALSE(store.loadSession());
    DesktopSession session{"tok\"en", "owner-1", "星禾同学 Ünïcode"};
    store.saveSession(session);
    EXPECT_EQ(store.loadSession(), session);
    store.saveSession({"t2", "o2", "second"});
    EXPECT_EQ(store.loadSession()->token, "t2");
    store.clearSession();
    store.clearSession();
    EXPECT_FALSE(store.loadSession());

    store.save(bytesOf(R"({"token":"t","ownerKey":"o"})"), "desktop-session");
    EXPECT_THROW(store.loadSession(), Json::out_of_range);
    store.save(bytesOf("not json"), "desktop-session");
    EXPECT_THROW(store.loadSession(), Json::parse_error);

    // The stored form: the three members as strings; extra members are ignored.
    EXPECT_EQ(session.toJson(), (Json{{"token", "tok\"en"}, {"ownerKey", "owner-1"}, {"userName", "星禾同学 Ünïcode"}}));
    EXPECT_THROW(DesktopSession::fromJson(Json{{"token", 1}, {"ownerKey", "o"}, {"userName", "u"}}), Json::type_error);
    EXPECT_THROW(DesktopSession::fromJson(Json{{"token", nullptr}, {"ownerKey", "o"}, {"userName", "u"}}), Json::type_error);
    EXPECT_THROW(DesktopSession::fromJson(Json{{"token", "t"}, {"ownerKey", "o"}, {"userName", 5}}), Json::type_error);
    EXPECT_THROW(DesktopSession::fromJson(Json::array()), Json::exception);
    EXPECT_EQ(DesktopSession::fromJson(Json{{"token", " t "}, {"ownerKey", ""}, {"userName", "u"}, {"x", Json::array({1})}}),
              (DesktopSession{" t ", "", "u"}));
}

SystemIdentitySource sourceIn(const test::TempDirectory& dir) {
    return SystemIdentitySource({dir / "machine-id", dir / "dbus-machine-id", dir / "machine-info"});
}

TEST(IdentitySourceTest, MachineIdComesFromTheFirstFileWithTrailingNewlineRemoved) {
    test::TempDirectory dir;
    EXPECT_EQ(sourceIn(dir).platformIdentity(), "");
    test::writeFile(dir / "dbus-machine-id", std::string("dbus0123\n"));
    EXPECT_EQ(sourceIn(dir).platformIdentity(), "dbus0123");
    test::writeFile(dir / "machine-id", std::string(" etc0123 \n"));
    EXPECT_EQ(sourceIn(dir).platformIdentity(), " etc0123 ");  // used as read, only the newline goes
    test::writeFile(dir / "machine-id", std::string("\n"));
    EXPECT_EQ(sourceIn(dir).platformIdentity(), "dbus0123");
}

TEST(IdentitySourceTest, PrettyHostNameHandlesShellQuoting) {
    EXPECT_EQ(SystemIdentitySource::prettyHostName(""), "");
    EXPECT_EQ(SystemIdentitySource::prettyHostName("CHASSIS=laptop\nPRETTY_HOSTNAME=Plain\n"), "Plain");
    EXPECT_EQ(SystemIdentitySource::prettyHostName("PRETTY_HOSTNAME=\"Lin's \\\"Book\\\"\"\n"), "Lin's \"Book\"");
    EXPECT_EQ(SystemIdentitySource::prettyHostName("PRETTY_HOSTNAME='星禾 | 书房'"), "星禾 | 书房");
    EXPECT_EQ(SystemIdentitySource::prettyHostName("#PRETTY_HOSTNAME=no\n"), "");
}

TEST(IdentitySourceTest, UserAndHostComeFromTheProcess) {
    test::TempDirectory dir;
    SystemIdentitySource source = sourceIn(dir);
    EXPECT_EQ(source.userId(), ::getuid());
    EXPECT_FALSE(source.userName().empty());
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_EQ(source.hostName(), host);
    EXPECT_EQ(source.localizedHostName(), "");
}

}  // namespace
}  // namespace velmora
