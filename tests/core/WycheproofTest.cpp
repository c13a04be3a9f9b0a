// Project Wycheproof vectors for the AES-256-GCM and HKDF-SHA256 wrappers.
#include "core/Crypto.h"
#include "core/Payload.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <fstream>

namespace velmora {
namespace {

using test::fromHex;

std::optional<Json> loadVectors(const char* name) {
    auto folder = test::testDataDirectory();
    if (!folder) return std::nullopt;
    std::ifstream in(*folder / "wycheproof" / name);
    return Json::parse(in);
}

// Valid and acceptable cases must reproduce the vector; invalid ones must not authenticate, and
// the count of invalid cases checked must be non-zero, so a silently skipped loop fails.
TEST(WycheproofTest, AesGcm256) {
    auto vectors = loadVectors("aes_gcm_test.json");
    if (!vectors) GTEST_SKIP() << "shared/testdata/wycheproof is not beside this checkout";
    int validChecked = 0;
    int invalidChecked = 0;
    for (const Json& group : (*vectors)["testGroups"]) {
        if (group["keySize"] != 256 || group["ivSize"] != 96 || group["tagSize"] != 128) continue;
        for (const Json& c : group["tests"]) {
            SCOPED_TRACE("tcId " + std::to_string(c["tcId"].get<int>()));
            Bytes key = fromHex(c["key"].get<std::string>());
            Bytes iv = fromHex(c["iv"].get<std::string>());
            Bytes aad = fromHex(c["aad"].get<std::string>());
            Bytes msg = fromHex(c["msg"].get<std::string>());
            Bytes ct = fromHex(c["ct"].get<std::string>());
            Bytes tag = fromHex(c["tag"].get<std::string>());
            Bytes opened(ct.size());
            bool authentic = AesGcm256::open(key, iv, ct, aad, tag, opened);
            if (c["result"] == "invalid") {
                EXPECT_FALSE(authentic);
                ++invalidChecked;
                continue;
            }
            EXPECT_TRUE(authentic);
            EXPECT_EQ(opened, msg);
            Bytes sealed(msg.size());
            std::array<std::uint8_t, kGcmTagSizeBytes> sealedTag{};
            AesGcm256::seal(key, iv, msg, aad, sealed, sealedTag);
            EXPECT_EQ(sealed, ct);
            EXPECT_EQ(Bytes(sealedTag.begin(), sealedTag.end()), tag);
            ++validChecked;
        }
    }
    EXPECT_GT(validChecked, 0);
    EXPECT_GT(invalidChecked, 0);
}

TEST(WycheproofTest, HkdfSha256) {
    auto vectors = loadVectors("hkdf_sha256_test.json");
    if (!vectors) GTEST_SKIP() << "shared/testdata/wycheproof is not beside this checkout";
    int validChecked = 0;
    int invalidChecked = 0;
    for (const Json& group : (*vectors)["testGroups"]) {
        for (const Json& c : group["tests"]) {
            SCOPED_TRACE("tcId " + std::to_string(c["tcId"].get<int>()));
            Bytes ikm = fromHex(c["ikm"].get<std::string>());
            Bytes salt = fromHex(c["salt"].get<std::string>());
            Bytes info = fromHex(c["info"].get<std::string>());
            auto size = c["size"].get<std::size_t>();
            if (c["result"] == "invalid") {
                EXPECT_THROW(hkdfSha256(ikm, salt, info, size), std::runtime_error);
                ++invalidChecked;
                continue;
            }
            EXPECT_EQ(hexLower(hkdfSha256(ikm, salt, info, size).span()), c["okm"].get<std::string>());
            ++validChecked;
        }
    }
    EXPECT_GT(validChecked, 0);
    EXPECT_GT(invalidChecked, 0);
}

}  // namespace
}  // namespace velmora
