#include "securestore/DeviceSecureStore.h"

#include "core/Files.h"
#include "core/VelmoraError.h"
#include "support/FakeIdentity.h"
#include "support/FakeKeyring.h"
#include "support/TempDirectory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace velmora {
namespace {

using testing::ThrowsMessage;

const auto kNotOwned = ThrowsMessage<VelmoraError>(testing::StrEq("这份本机加密数据不属于当前 Mac 用户"));

TEST(SecretKeyringTest, SecretIsMadeOnceThenReusedAndAbsentWhenTheKeyringCannotKeepIt) {
    test::FakeKeyring keyring;
    std::optional<SecretBytes> first = keyring.loadOrCreateSecret();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 32u);
    EXPECT_EQ(keyring.loadOrCreateSecret(), first);

    keyring.stored = SecretBytes(Bytes(16, 1));
    EXPECT_EQ(keyring.loadOrCreateSecret()->size(), 32u) << "a secret of another size is not ours";

    test::FakeKeyring unreachable;
    unreachable.reachable = false;
    EXPECT_FALSE(unreachable.loadOrCreateSecret());
    test::FakeKeyring locked;
    locked.writable = false;
    EXPECT_FALSE(locked.loadOrCreateSecret());
}

struct KeyringStoreTest : testing::Test {
    DeviceSecureStore identityOnly() const { return DeviceSecureStore(dir.path(), identity); }
    DeviceSecureStore withKeyring() const { return DeviceSecureStore(dir.path(), identity, secret); }

    test::TempDirectory dir;
    std::shared_ptr<test::FakeIdentity> identity = std::make_shared<test::FakeIdentity>();
    std::shared_ptr<const SecretBytes> secret = std::make_shared<const SecretBytes>(Bytes(32, 7));
};

// The public facts alone no longer open an entry; the documented derivation does.
TEST_F(KeyringStoreTest, EntriesSealedWithTheKeyringSecretNeedIt) {
    withKeyring().save(bytesOf("secret session"), "desktop-session");
    EXPECT_THAT([&] { identityOnly().load("desktop-session"); }, kNotOwned);

    Bytes file = readWholeFile(withKeyring().fileURL("desktop-session"));
    Sha256Digest identityKey =
        sha256(bytesOf("VelmoraClassroom|device-v2|4C4C4544-0042-3510-8052-B4C04F4E3732|501|learner|desktop-session"));
    SecretBytes key = hkdfSha256(secret->span(), identityKey, bytesOf("VelmoraClassroom|device-v2|keyring"), 32);
    Bytes plaintext(14);
    ByteView all(file);
    ASSERT_TRUE(AesGcm256::open(key.span(), all.first(12), all.subspan(12, 14), {}, all.last(16), plaintext));
    EXPECT_EQ(std::string(plaintext.begin(), plaintext.end()), "secret session");
}

TEST_F(KeyringStoreTest, ResealMovesTheSessionAndMasterKeyAndLeavesForeignEntries) {
    identityOnly().saveSession({"tok", "owner", "李雷"});
    SecretBytes masterKey = identityOnly().loadOrCreateMasterKey();
    EXPECT_EQ(withKeyring().loadSession(), (DesktopSession{"tok", "owner", "李雷"})) << "read before the reseal";

    withKeyring().resealUnderKeyringSecret();
    EXPECT_EQ(withKeyring().loadSession(), (DesktopSession{"tok", "owner", "李雷"}));
    EXPECT_EQ(withKeyring().loadOrCreateMasterKey(), masterKey);
    EXPECT_THAT([&] { identityOnly().loadSession(); }, kNotOwned);
    EXPECT_THAT([&] { identityOnly().loadOrCreateMasterKey(); }, kNotOwned);

    Bytes session = readWholeFile(withKeyring().fileURL("desktop-session"));
    withKeyring().resealUnderKeyringSecret();
    EXPECT_EQ(readWholeFile(withKeyring().fileURL("desktop-session")), session) << "resealed twice";

    identity->uid = 9999;  // another user's master key
    identityOnly().save(Bytes(32, 3), "vault-master-key");
    Bytes foreign = readWholeFile(withKeyring().fileURL("vault-master-key"));
    identity->uid = 501;
    withKeyring().resealUnderKeyringSecret();
    EXPECT_EQ(readWholeFile(withKeyring().fileURL("vault-master-key")), foreign);
    EXPECT_THAT([&] { withKeyring().loadOrCreateMasterKey(); }, kNotOwned);
}

}  // namespace
}  // namespace velmora
