#include "VaultTestSupport.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

using test::fromHex;

TEST(VaultFormatTest, OwnerTagAndHeaderVectors) {
    EXPECT_EQ(VaultManager::ownerHash("abc"), "ba7816bf8f01cfea414140de5dae2223");
    EXPECT_EQ(VaultManager::ownerHash(""), "e3b0c44298fc1c149afbf4c8996fb924");
    EXPECT_EQ(VaultManager::makeHeader(), fromHex("564c4d41433030310100000000001000" "00000000000000000000000000000000"));
    EXPECT_EQ(VaultManager::makeHeader(2'500'000), fromHex("564c4d41433030310100000000001000" "a0252600000000000000000000000000"));
}

TEST(VaultFormatTest, RecordsAreLengthNonceTagCiphertextWithFreshNonces) {
    const SecretBytes key = test::fixedMasterKey();
    for (auto [size, lengthField] : {std::pair<std::size_t, const char*>{1'048'576, "00001000"}, {5, "05000000"}}) {
        SCOPED_TRACE(size);
        const Bytes plain = test::numberedBytes(size);
        const Bytes first = VaultManager::encryptChunk(plain, key.span());
        const Bytes second = VaultManager::encryptChunk(plain, key.span());
        ASSERT_EQ(first.size(), size + 32);
        EXPECT_EQ(Bytes(first.begin(), first.begin() + 4), fromHex(lengthField));
        EXPECT_NE(Bytes(first.begin() + 4, first.begin() + 16), Bytes(second.begin() + 4, second.begin() + 16));
        for (const Bytes& record : {first, second}) {
            Bytes opened(size);
            ByteView view(record);
            ASSERT_TRUE(AesGcm256::open(key.span(), view.subspan(4, 12), view.subspan(32), {}, view.subspan(16, 16), opened));
            EXPECT_EQ(opened, plain);
        }
    }
    EXPECT_THROW(VaultManager::encryptChunk({}, key.span()), std::invalid_argument);
    EXPECT_THROW(VaultManager::encryptChunk(Bytes(1'048'577), key.span()), std::invalid_argument);
}

TEST(VaultFormatTest, MediaKeysAreHkdfSaltedByAssetWithTheRawAccountKeyAsInfo) {
    test::VaultFixture fixture;
    // From `openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt hexkey:0001…1f
    //   -kdfopt salt:lesson-01 -kdfopt info:account-K HKDF`.
    EXPECT_EQ(hexLower(fixture.vault.key("account-K", "lesson-01").span()),
              "4e0d3e97c957c1f1ad9ec3f9d4b2c86a28ccfe646b625986c04868313756e4e5");
    EXPECT_FALSE(fixture.vault.key("K", "A") == fixture.vault.key("K", "B"));
    EXPECT_FALSE(fixture.vault.key("K", "A") == fixture.vault.key("K2", "A"));
    EXPECT_EQ(test::modeOf(fixture.vault.rootURL()), 0700u);
}

}  // namespace
}  // namespace velmora
