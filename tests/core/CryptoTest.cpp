#include "core/Crypto.h"
#include "core/Payload.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <fstream>

namespace velmora {
namespace {

using test::fromHex;
using Tag = std::array<std::uint8_t, kGcmTagSizeBytes>;

TEST(CryptoTest, Sha256KnownAnswers) {
    EXPECT_EQ(hexLower(sha256(bytesOf(""))), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hexLower(sha256(bytesOf("abc"))), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(CryptoTest, HkdfMatchesRfc5869AndRefusesOversizedOutput) {
    struct Case {
        const char *name, *ikm, *salt, *info;
        std::size_t length;
        const char* okm;
    };
    const Case cases[] = {  // RFC 5869 appendix A, test cases 1 to 3
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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SecretBytes okm = hkdfSha256(fromHex(c.ikm), fromHex(c.salt), fromHex(c.info), c.length);
        EXPECT_EQ(hexLower(okm.span()), c.okm);
    }
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
    Tag tag{};
    AesGcm256::seal(key, nonce, plaintext, aad, ciphertext, tag);
    EXPECT_EQ(hexLower(ciphertext),
              "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662");
    EXPECT_EQ(hexLower(tag), "76fc6ece0f4e1768cddf8853bb2d551b");
    Bytes opened(ciphertext.size());
    ASSERT_TRUE(AesGcm256::open(key, nonce, ciphertext, aad, tag, opened));
    EXPECT_EQ(opened, plaintext);
}

// A second randomBytes(32) serves as the wrong key, so a constant generator fails here too.
TEST(CryptoTest, AesGcmRejectsEveryTamperedPart) {
    Bytes key = randomBytes(32);
    Bytes nonce = randomBytes(12);
    Bytes plaintext = randomBytes(100);
    Bytes ciphertext(plaintext.size());
    Tag tag{};
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
    EXPECT_FALSE(AesGcm256::open(randomBytes(32), nonce, ciphertext, {}, tag, out));
    EXPECT_FALSE(AesGcm256::open(key, nonce, ciphertext, bytesOf("aad"), tag, out));
    EXPECT_TRUE(AesGcm256::open(key, nonce, ciphertext, {}, tag, out));
    EXPECT_EQ(out, plaintext);
}

TEST(CryptoTest, AesGcmSealsInPlaceAndEmptyInputAndRefusesWrongSizes) {
    Bytes key(32, 7);
    Bytes nonce(12, 9);
    Bytes buffer = {1, 2, 3, 4, 5};
    Bytes original = buffer;
    Tag tag{};
    AesGcm256::seal(key, nonce, buffer, {}, buffer, tag);
    EXPECT_NE(buffer, original);
    ASSERT_TRUE(AesGcm256::open(key, nonce, buffer, {}, tag, buffer));
    EXPECT_EQ(buffer, original);
    Bytes empty;
    AesGcm256::seal(key, nonce, empty, {}, empty, tag);
    EXPECT_TRUE(AesGcm256::open(key, nonce, empty, {}, tag, empty));
    EXPECT_THROW(AesGcm256::seal(Bytes(16), Bytes(12), buffer, {}, buffer, tag), std::invalid_argument);
    EXPECT_THROW(AesGcm256::seal(Bytes(32), Bytes(16), buffer, {}, buffer, tag), std::invalid_argument);
}

// Runs `check` over every Wycheproof case of `name`; both counts must be non-zero, so a silently
// skipped loop fails.
template <typename Check>
void checkWycheproof(const char* name, Check check) {
    auto folder = test::testDataDirectory();
    if (!folder) GTEST_SKIP() << "shared/testdata/wycheproof is not beside this checkout";
    std::ifstream in(*folder / "wycheproof" / name);
    const Json vectors = Json::parse(in);
    int validChecked = 0;
    int invalidChecked = 0;
    for (const Json& group : vectors["testGroups"]) {
        for (const Json& c : group["tests"]) {
            SCOPED_TRACE("tcId " + std::to_string(c["tcId"].get<int>()));
            if (!check(group, c, c["result"] == "invalid")) continue;
            ++(c["result"] == "invalid" ? invalidChecked : validChecked);
        }
    }
    EXPECT_GT(validChecked, 0);
    EXPECT_GT(invalidChecked, 0);
}

Bytes hexField(const Json& c, const char* key) { return fromHex(c[key].get<std::string>()); }

TEST(WycheproofTest, AesGcm256) {
    AesGcm256Sealer streaming;  // one context for every message, as a download seals its records
    checkWycheproof("aes_gcm_test.json", [&streaming](const Json& group, const Json& c, bool invalid) {
        if (group["keySize"] != 256 || group["ivSize"] != 96 || group["tagSize"] != 128) return false;
        Bytes key = hexField(c, "key"), iv = hexField(c, "iv"), aad = hexField(c, "aad");
        Bytes msg = hexField(c, "msg"), ct = hexField(c, "ct"), tag = hexField(c, "tag");
        Bytes opened(ct.size());
        bool authentic = AesGcm256::open(key, iv, ct, aad, tag, opened);
        if (invalid) {
            EXPECT_FALSE(authentic);
            return true;
        }
        EXPECT_TRUE(authentic);
        EXPECT_EQ(opened, msg);
        Bytes sealed(msg.size());
        Tag sealedTag{};
        AesGcm256::seal(key, iv, msg, aad, sealed, sealedTag);
        EXPECT_EQ(sealed, ct);
        EXPECT_EQ(Bytes(sealedTag.begin(), sealedTag.end()), tag);
        if (aad.empty()) {  // records have no associated data; their plaintext comes in pieces
            const std::size_t half = msg.size() / 2;
            Bytes streamed(msg.size());
            Tag streamedTag{};
            streaming.begin(key, iv);
            streaming.update(ByteView(msg).first(half), std::span(streamed).first(half));
            streaming.update(ByteView(msg).subspan(half), std::span(streamed).subspan(half));
            streaming.finish(streamedTag);
            EXPECT_EQ(streamed, ct);
            EXPECT_EQ(Bytes(streamedTag.begin(), streamedTag.end()), tag);
        }
        return true;
    });
}

TEST(WycheproofTest, HkdfSha256) {
    checkWycheproof("hkdf_sha256_test.json", [](const Json&, const Json& c, bool invalid) {
        Bytes ikm = hexField(c, "ikm"), salt = hexField(c, "salt"), info = hexField(c, "info");
        auto size = c["size"].get<std::size_t>();
        if (invalid) {
            EXPECT_THROW(hkdfSha256(ikm, salt, info, size), std::runtime_error);
        } else {
            EXPECT_EQ(hexLower(hkdfSha256(ikm, salt, info, size).span()), c["okm"].get<std::string>());
        }
        return true;
    });
}

}  // namespace
}  // namespace velmora
