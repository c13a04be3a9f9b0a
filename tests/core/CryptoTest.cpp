#include "core/Crypto.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

using test::fromHex;

TEST(CryptoTest, Sha256KnownAnswers) {
    EXPECT_EQ(hexLower(sha256(bytesOf(""))), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hexLower(sha256(bytesOf("abc"))), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

struct HkdfCase {
    const char* name;
    const char* ikm;
    const char* salt;
    const char* info;
    std::size_t length;
    const char* okm;
};

// RFC 5869 appendix A, test cases 1 to 3.
std::vector<HkdfCase> rfc5869Cases() {
    return {
        {"Basic", "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "000102030405060708090a0b0c", "f0f1f2f3f4f5f6f7f8f9", 42,
         "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
        {"LongInputs",
         "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f404142434445464748494a4b4c4d4e4f",
         "606162636465666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9fa0a1a2a3a4a5a6a7a8a9aaabacadaeaf",
         "b0b1b2b3b4b5b6b7b8b9babbbcbdbebfc0c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedfe0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4f5f6f7f8f9fafbfcfdfeff",
         82,
         "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e590e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
        {"EmptySaltAndInfo", "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "", "", 42,
         "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
    };
}

class Rfc5869Test : public testing::TestWithParam<HkdfCase> {};

TEST_P(Rfc5869Test, DerivesTheRfcOutput) {
    const HkdfCase& c = GetParam();
    SecretBytes okm = hkdfSha256(fromHex(c.ikm), fromHex(c.salt), fromHex(c.info), c.length);
    EXPECT_EQ(hexLower(okm.span()), c.okm);
}

INSTANTIATE_TEST_SUITE_P(Hkdf, Rfc5869Test, testing::ValuesIn(rfc5869Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CryptoTest, HkdfRefusesOversizedOutput) {
    EXPECT_THROW(hkdfSha256(bytesOf("key"), {}, {}, 255 * 32 + 1), std::runtime_error);
}

// The AES-256 vector of the GCM submission (test case 16: 60-byte plaintext with 20-byte AAD).
TEST(CryptoTest, AesGcmKnownAnswer) {
    Bytes key = fromHex("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
    Bytes nonce = fromHex("cafebabefacedbaddecaf888");
    Bytes plaintext = fromHex(
        "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39");
    Bytes aad = fromHex("feedfacedeadbeeffeedfacedeadbeefabaddad2");
    Bytes ciphertext(plaintext.size());
    std::array<std::uint8_t, kGcmTagSizeBytes> tag{};
    AesGcm256::seal(key, nonce, plaintext, aad, ciphertext, tag);
    EXPECT_EQ(hexLower(ciphertext),
              "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662");
    EXPECT_EQ(hexLower(tag), "76fc6ece0f4e1768cddf8853bb2d551b");

    Bytes opened(ciphertext.size());
    ASSERT_TRUE(AesGcm256::open(key, nonce, ciphertext, aad, tag, opened));
    EXPECT_EQ(opened, plaintext);
}

TEST(CryptoTest, AesGcmRejectsEveryTamperedPart) {
    Bytes key = randomBytes(32);
    Bytes nonce = randomBytes(12);
    Bytes plaintext = randomBytes(100);
    Bytes ciphertext(plaintext.size());
    std::array<std::uint8_t, kGcmTagSizeBytes> tag{};
    AesGcm256::seal(key, nonce, plaintext, {}, ciphertext, tag);
    Bytes out(plaintext.size());

    Bytes badCiphertext = ciphertext;
    badCiphertext[50] ^= 1;
    EXPECT_FALSE(AesGcm256::open(key, nonce, badCiphertext, {}, tag, out));
    auto badTag = tag;
    badTag[0] ^= 0x80;
    EXPECT_FALSE(AesGcm256::open(key, nonce, ciphertext, {}, badTag, out));
    Bytes badNonce = nonce;
    badNonce[11] ^= 1;
    EXPECT_FALSE(AesGcm256::open(key, badNonce, ciphertext, {}, tag, out));
    Bytes otherKey = randomBytes(32);
    EXPECT_FALSE(AesGcm256::open(otherKey, nonce, ciphertext, {}, tag, out));
    EXPECT_FALSE(AesGcm256::open(key, nonce, ciphertext, bytesOf("aad"), tag, out));
    EXPECT_TRUE(AesGcm256::open(key, nonce, ciphertext, {}, tag, out));
    EXPECT_EQ(out, plaintext);
}

TEST(CryptoTest, AesGcmSealsInPlaceAndEmptyInput) {
    Bytes key(32, 7);
    Bytes nonce(12, 9);
    Bytes buffer = {1, 2, 3, 4, 5};
    Bytes original = buffer;
    std::array<std::uint8_t, kGcmTagSizeBytes> tag{};
    AesGcm256::seal(key, nonce, buffer, {}, buffer, tag);
    EXPECT_NE(buffer, original);
    ASSERT_TRUE(AesGcm256::open(key, nonce, buffer, {}, tag, buffer));
    EXPECT_EQ(buffer, original);

    Bytes empty;
    AesGcm256::seal(key, nonce, empty, {}, empty, tag);
    EXPECT_TRUE(AesGcm256::open(key, nonce, empty, {}, tag, empty));
}

TEST(CryptoTest, AesGcmRefusesWrongSizes) {
    Bytes data(4);
    std::array<std::uint8_t, kGcmTagSizeBytes> tag{};
    EXPECT_THROW(AesGcm256::seal(Bytes(16), Bytes(12), data, {}, data, tag), std::invalid_argument);
    EXPECT_THROW(AesGcm256::seal(Bytes(32), Bytes(16), data, {}, data, tag), std::invalid_argument);
}

TEST(CryptoTest, RandomBytesDiffer) {
    EXPECT_EQ(randomBytes(32).size(), 32u);
    EXPECT_NE(randomBytes(32), randomBytes(32));
}

}  // namespace
}  // namespace velmora
