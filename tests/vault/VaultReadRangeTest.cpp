#include "VaultTestSupport.h"

#include "core/Files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <functional>

namespace velmora {
namespace {

namespace fs = std::filesystem;

constexpr const char* kOwner = "owner-K";
constexpr std::uint64_t kSize = 2'500'000;  // records of 1,048,576, 1,048,576 and 402,848 bytes

class VaultReadRangeTest : public ::testing::Test {
protected:
    void SetUp() override { test::storeLesson(vault, test::lessonRequest("movie"), plain); }

    Bytes slice(std::uint64_t first, std::uint64_t last) const {
        return Bytes(plain.begin() + static_cast<std::ptrdiff_t>(first), plain.begin() + static_cast<std::ptrdiff_t>(last) + 1);
    }
    Bytes read(std::uint64_t start, std::uint64_t endInclusive) { return vault.readRange(kOwner, "movie", start, endInclusive); }
    void patch(std::uint64_t offset, const Bytes& bytes) {
        FileDescriptor file = openFile(vault.mediaURL("movie"), O_RDWR);
        ASSERT_EQ(::pwrite(file.get(), bytes.data(), bytes.size(), static_cast<off_t>(offset)), static_cast<ssize_t>(bytes.size()));
    }
    void flipByte(std::uint64_t offset) {
        Bytes byte = {readWholeFile(vault.mediaURL("movie"))[offset]};
        byte[0] ^= 1;
        patch(offset, byte);
    }

    test::TempDirectory root;
    VaultManager vault{root.path(), test::fixedMasterKey()};
    const Bytes plain = test::numberedBytes(kSize);
};

TEST_F(VaultReadRangeTest, ReturnsExactlyTheRequestedPlaintext) {
    EXPECT_EQ(fs::file_size(vault.mediaURL("movie")), 2'500'128u);
    struct Case {
        std::uint64_t start, endInclusive, last;
    };
    for (Case c : {Case{1'000'000, 1'100'000, 1'100'000}, Case{0, 0, 0}, Case{kSize - 1, UINT64_MAX, kSize - 1},
                   Case{1'048'575, 1'048'576, 1'048'576}, Case{2'400'000, 9'999'999, kSize - 1},
                   Case{1'048'576, 2'097'151, 2'097'151}, Case{0, kSize - 1, kSize - 1}}) {
        SCOPED_TRACE(testing::Message() << c.start << ".." << c.endInclusive);
        EXPECT_EQ(read(c.start, c.endInclusive), slice(c.start, c.last));
    }
    fs::resize_file(vault.mediaURL("movie"), test::recordOffset(2));  // records outside the range are never read
    EXPECT_EQ(read(1'000'000, 1'100'000).size(), 100'001u);
}

TEST_F(VaultReadRangeTest, RefusesOtherAccountsAndRangesOutsideTheLesson) {
    for (auto [start, end] : {std::pair<std::uint64_t, std::uint64_t>{kSize, kSize}, {kSize, UINT64_MAX}, {10, 9}}) {
        EXPECT_VELMORA_ERROR(read(start, end), "离线媒体读取范围无效");
    }
    fs::remove(vault.mediaURL("movie"));  // refused before the media is opened
    for (const char* owner : {"owner-Q", "", "owner-K "}) {
        EXPECT_VELMORA_ERROR(vault.readRange(owner, "movie", 0, 10), "当前账号无权读取这份离线课程");
        EXPECT_VELMORA_ERROR(vault.plainSize("movie", owner), "当前账号无权读取这份离线课程");
    }
    EXPECT_VELMORA_ERROR(vault.readRange(kOwner, "absent", 0, 10), "当前账号无权读取这份离线课程");
    try {
        read(0, 10);
        ADD_FAILURE() << "read without media";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    }
    VaultItem empty = *VaultItem::decodeJSON(test::readText(vault.metadataURL("movie")));
    empty.size = 0;
    vault.saveMetadata(empty);
    EXPECT_VELMORA_ERROR(read(0, 0), "离线媒体读取范围无效");
}

TEST_F(VaultReadRangeTest, DamagedRecordsFailWithTheirMessagesOnlyWhenRead) {
    const std::string media = vault.mediaURL("movie");
    const Bytes original = readWholeFile(media);
    const std::vector<std::tuple<const char*, std::function<void()>, const char*>> damages = {
        {"cut inside record 1's prefix", [&] { fs::resize_file(media, test::recordOffset(1) + 20); }, "离线媒体密文不完整"},
        {"cut before record 1", [&] { fs::resize_file(media, test::recordOffset(1)); }, "离线媒体密文不完整"},
        {"cut inside record 1's ciphertext", [&] { fs::resize_file(media, test::recordOffset(1) + 1032); }, "离线媒体分块损坏"},
        {"length 0", [&] { patch(test::recordOffset(1), {0, 0, 0, 0}); }, "离线媒体分块损坏"},
        {"length 1,048,577", [&] { patch(test::recordOffset(1), {1, 0, 0x10, 0}); }, "离线媒体分块损坏"},
        {"length past the file end", [&] { patch(test::recordOffset(2), {0, 0, 0x10, 0}); }, "离线媒体分块损坏"},
    };
    for (const auto& [name, damage, message] : damages) {
        SCOPED_TRACE(name);
        test::writeFile(media, original);
        damage();
        EXPECT_VELMORA_ERROR(read(1'000'000, kSize - 1), message);
        EXPECT_EQ(read(0, 999'999), slice(0, 999'999));
    }
}

TEST_F(VaultReadRangeTest, AFlippedByteFailsAuthenticationOfItsRecordOnly) {
    const Bytes original = readWholeFile(vault.mediaURL("movie"));
    const std::uint64_t firsts[] = {0, 1'048'576, 2'097'152, kSize};
    for (std::uint64_t damaged = 0; damaged < 3; ++damaged) {
        for (std::uint64_t at : {4, 20, 32, 32 + 402'847}) {  // nonce, tag, first and last ciphertext byte
            SCOPED_TRACE(testing::Message() << "record " << damaged << " byte " << at);
            test::writeFile(vault.mediaURL("movie"), original);
            flipByte(test::recordOffset(damaged) + at);
            for (std::uint64_t record = 0; record < 3; ++record) {
                if (record != damaged) {
                    EXPECT_EQ(read(firsts[record], firsts[record + 1] - 1), slice(firsts[record], firsts[record + 1] - 1));
                    continue;
                }
                try {
                    read(firsts[record] + 7, firsts[record] + 8);
                    ADD_FAILURE() << "damaged record read";
                } catch (const VelmoraError& error) {
                    ADD_FAILURE() << "authentication failure reported as " << error.what();
                } catch (const std::runtime_error&) {
                }
            }
        }
    }
    test::writeFile(vault.mediaURL("movie"), original);
    VaultManager otherDevice(root.path(), SecretBytes(32));  // same files, another master key
    EXPECT_THROW(otherDevice.readRange(kOwner, "movie", 0, 10), std::runtime_error);
}

TEST_F(VaultReadRangeTest, AShortRecordShortensTheReadOrRefusesIt) {
    const Bytes tail = test::numberedBytes(1000, 9);
    patch(test::recordOffset(2), VaultManager::encryptChunk(tail, vault.key(kOwner, "movie").span()));
    fs::resize_file(vault.mediaURL("movie"), test::recordOffset(2) + 1032);
    Bytes expected = slice(2'000'000, 2'097'151);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(read(2'000'000, 2'400'000), expected);
    EXPECT_VELMORA_ERROR(read(2'097'152 + 1001, 2'400'000), "离线媒体分块范围异常");
}

}  // namespace
}  // namespace velmora
