#include "VaultTestSupport.h"

#include "core/Files.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace velmora {
namespace {

using test::fromHex;
using test::VaultFixture;

TEST(VaultFormatTest, OwnerTagsAreTheFirstHalfOfSha256InLowerHex) {
    EXPECT_EQ(VaultManager::ownerHash("abc"), "ba7816bf8f01cfea414140de5dae2223");
    EXPECT_EQ(VaultManager::ownerHash(""), "e3b0c44298fc1c149afbf4c8996fb924");
}

TEST(VaultFormatTest, HeaderBytes) {
    Bytes empty = VaultManager::makeHeader();
    EXPECT_EQ(empty, fromHex("564c4d4143303031" "01000000" "00001000" "0000000000000000" "0000000000000000"));
    Bytes sized = VaultManager::makeHeader(2'500'000);
    EXPECT_EQ(sized, fromHex("564c4d4143303031" "01000000" "00001000" "a025260000000000" "0000000000000000"));
}

TEST(VaultFormatTest, RecordsCarryLengthNonceTagThenCiphertext) {
    const SecretBytes key(test::fixedMasterKey());
    struct Case {
        std::size_t plainBytes;
        const char* lengthField;
    };
    for (Case c : {Case{1'048'576, "00001000"}, Case{5, "05000000"}, Case{1, "01000000"}}) {
        SCOPED_TRACE(c.plainBytes);
        Bytes plain = test::numberedBytes(c.plainBytes);
        Bytes record = VaultManager::encryptChunk(plain, key.span());
        ASSERT_EQ(record.size(), c.plainBytes + 32);
        EXPECT_EQ(Bytes(record.begin(), record.begin() + 4), fromHex(c.lengthField));
        Bytes opened(c.plainBytes);
        ByteView view(record);
        ASSERT_TRUE(AesGcm256::open(key.span(), view.subspan(4, 12), view.subspan(32), {}, view.subspan(16, 16), opened));
        EXPECT_EQ(opened, plain);
    }
}

TEST(VaultFormatTest, EachSealingUsesAFreshNonce) {
    const SecretBytes key(test::fixedMasterKey());
    Bytes plain = test::numberedBytes(4096);
    Bytes first = VaultManager::encryptChunk(plain, key.span());
    Bytes second = VaultManager::encryptChunk(plain, key.span());
    EXPECT_NE(Bytes(first.begin() + 4, first.begin() + 16), Bytes(second.begin() + 4, second.begin() + 16));
    EXPECT_NE(Bytes(first.begin() + 32, first.end()), Bytes(second.begin() + 32, second.end()));
}

TEST(VaultFormatTest, RefusesEmptyAndOversizedChunks) {
    const SecretBytes key(test::fixedMasterKey());
    EXPECT_THROW(VaultManager::encryptChunk({}, key.span()), std::invalid_argument);
    EXPECT_THROW(VaultManager::encryptChunk(Bytes(1'048'577), key.span()), std::invalid_argument);
    EXPECT_THROW(VaultManager::encryptChunk(Bytes(16), ByteView(key.span()).first(16)), std::invalid_argument);
}

TEST(VaultFormatTest, MediaKeyIsHkdfOfTheMasterKeySaltedByAssetWithTheRawAccountKeyAsInfo) {
    VaultFixture fixture;
    // Independent answer: `openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt hexkey:0001…1f
    //   -kdfopt salt:lesson-01 -kdfopt info:account-K HKDF`.
    EXPECT_EQ(hexLower(fixture.vault.key("account-K", "lesson-01").span()),
              "4e0d3e97c957c1f1ad9ec3f9d4b2c86a28ccfe646b625986c04868313756e4e5");
    SecretBytes base = fixture.vault.key("K", "A");
    EXPECT_FALSE(base == fixture.vault.key("K", "B"));
    EXPECT_FALSE(base == fixture.vault.key("K2", "A"));
    EXPECT_FALSE(base == fixture.vault.key(VaultManager::ownerHash("K"), "A"));
}

TEST(VaultFormatTest, LaysOutTheFolderAndFileNames) {
    test::TempDirectory root;
    VaultManager vault(root.path() / "deep" / "data", test::fixedMasterKey());
    const auto folder = root.path() / "deep" / "data" / "VelmoraClassroom" / "VaultDeviceV2";
    EXPECT_EQ(vault.rootURL(), folder);
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(test::modeOf(folder), 0700u);
    EXPECT_EQ(vault.mediaURL("A-1"), folder / "A-1.vlmedia");
    EXPECT_EQ(vault.partialURL("A-1"), folder / "A-1.part");
    EXPECT_EQ(vault.metadataURL("A-1"), folder / "A-1.json");
}

TEST(VaultFormatTest, RefusesAMasterKeyOfTheWrongSizeAndAFolderItCannotMake) {
    test::TempDirectory root;
    EXPECT_THROW(VaultManager(root.path(), SecretBytes(16)), std::invalid_argument);
    test::writeFile(root / "VelmoraClassroom", std::string("not a folder"));
    EXPECT_THROW(VaultManager(root.path(), test::fixedMasterKey()), std::system_error);
}

TEST(VaultFormatTest, ASecondVaultOverTheSameFolderAndKeyReadsEarlierLessons) {
    test::TempDirectory root;
    Bytes plain = test::numberedBytes(5000);
    {
        VaultManager first(root.path(), test::fixedMasterKey());
        test::storeLesson(first, test::lessonRequest("kept"), plain);
    }
    VaultManager second(root.path(), test::fixedMasterKey());
    EXPECT_EQ(second.readRange("owner-K", "kept", 0, 4999), plain);
    ASSERT_EQ(second.list("owner-K").size(), 1u);
}

}  // namespace
}  // namespace velmora
