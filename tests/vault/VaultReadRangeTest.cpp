#include "VaultTestSupport.h"

#include "core/Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <functional>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using test::recordOffset;
using test::throwsVelmora;
using testing::Throws;

constexpr const char* kOwner = "owner-K";
constexpr const char* kRefused = "当前账号无权读取这份离线课程";
constexpr const char* kBadRange = "离线媒体读取范围无效";
constexpr std::uint64_t kSize = 2'500'000;  // records of 1,048,576, 1,048,576 and 402,848 bytes

class VaultReadRangeTest : public testing::Test, public test::VaultFixture {
protected:
    void SetUp() override { test::storeLesson(vault, test::lessonRequest("movie"), plain); }

    Bytes slice(std::uint64_t first, std::uint64_t last) const {
        return Bytes(plain.begin() + static_cast<std::ptrdiff_t>(first), plain.begin() + static_cast<std::ptrdiff_t>(last) + 1);
    }
    Bytes read(std::uint64_t start, std::uint64_t endInclusive) { return vault.readRange({kOwner, "movie"}, start, endInclusive); }
    std::function<void()> reading(std::uint64_t start, std::uint64_t endInclusive) {
        return [=, this] { read(start, endInclusive); };
    }
    void patch(std::uint64_t offset, const Bytes& bytes) {
        FileDescriptor file = openFile(media, O_RDWR);
        ASSERT_EQ(::pwrite(file.get(), bytes.data(), bytes.size(), static_cast<off_t>(offset)), static_cast<ssize_t>(bytes.size()));
    }

    const Bytes plain = test::numberedBytes(kSize);
    const fs::path media = vault.mediaURL("movie");
};

TEST_F(VaultReadRangeTest, ReturnsExactlyTheRequestedPlaintext) {
    EXPECT_EQ(fs::file_size(media), 2'500'128u);
    for (auto [start, end, last] : std::vector<std::array<std::uint64_t, 3>>{
             {1'000'000, 1'100'000, 1'100'000}, {0, 0, 0}, {kSize - 1, UINT64_MAX, kSize - 1}, {1'048'575, 1'048'576, 1'048'576},
             {2'400'000, 9'999'999, kSize - 1}, {1'048'576, 2'097'151, 2'097'151}, {0, kSize - 1, kSize - 1}}) {
        SCOPED_TRACE(testing::Message() << start << ".." << end);
        EXPECT_EQ(read(start, end), slice(start, last));
    }
    fs::resize_file(media, recordOffset(2));  // records outside the range are never read
    EXPECT_EQ(read(1'000'000, 1'100'000).size(), 100'001u);
}

TEST_F(VaultReadRangeTest, RefusesOtherAccountsAndRangesOutsideTheLesson) {
    EXPECT_THAT(reading(kSize, kSize), throwsVelmora(kBadRange));
    EXPECT_THAT(reading(kSize, UINT64_MAX), throwsVelmora(kBadRange));
    EXPECT_THAT(reading(10, 9), throwsVelmora(kBadRange));
    fs::remove(media);  // refused before the media is opened
    for (const char* owner : {"owner-Q", "", "owner-K "}) {
        EXPECT_THAT([&] { vault.readRange({owner, "movie"}, 0, 10); }, throwsVelmora(kRefused)) << owner;
        EXPECT_THAT([&] { vault.plainSize({owner, "movie"}); }, throwsVelmora(kRefused)) << owner;
    }
    EXPECT_THAT([&] { vault.readRange({kOwner, "absent"}, 0, 10); }, throwsVelmora(kRefused));
    EXPECT_THAT(reading(0, 10), Throws<std::system_error>(testing::Property(
                                    &std::system_error::code, std::make_error_code(std::errc::no_such_file_or_directory))));
    VaultItem empty = *VaultItem::decodeJSON(test::readText(vault.metadataURL("movie")));
    empty.size = 0;
    vault.saveMetadata(empty);
    EXPECT_THAT(reading(0, 0), throwsVelmora(kBadRange));
}

TEST_F(VaultReadRangeTest, DamagedRecordsFailWithTheirMessagesOnlyWhenRead) {
    const Bytes original = readWholeFile(media);
    const auto cut = [&](std::uint64_t size) { return [&, size] { fs::resize_file(media, size); }; };
    const auto length = [&](std::uint64_t record, Bytes field) { return [&, record, field] { patch(recordOffset(record), field); }; };
    const std::vector<std::tuple<const char*, std::function<void()>, const char*>> damages = {
        {"cut inside record 1's prefix", cut(recordOffset(1) + 20), "离线媒体密文不完整"},
        {"cut before record 1", cut(recordOffset(1)), "离线媒体密文不完整"},
        {"cut inside record 1's ciphertext", cut(recordOffset(1) + 1032), "离线媒体分块损坏"},
        {"length 0", length(1, {0, 0, 0, 0}), "离线媒体分块损坏"},
        {"length 1,048,577", length(1, {1, 0, 0x10, 0}), "离线媒体分块损坏"},
        {"length past the file end", length(2, {0, 0, 0x10, 0}), "离线媒体分块损坏"},
    };
    for (const auto& [name, damage, message] : damages) {
        SCOPED_TRACE(name);
        test::writeFile(media, original);
        damage();
        EXPECT_THAT(reading(1'000'000, kSize - 1), throwsVelmora(message));
        EXPECT_EQ(read(0, 999'999), slice(0, 999'999));
    }
}

TEST_F(VaultReadRangeTest, AFlippedByteFailsAuthenticationOfItsRecordOnly) {
    const Bytes original = readWholeFile(media);
    const std::uint64_t firsts[] = {0, 1'048'576, 2'097'152, kSize};
    for (std::uint64_t damaged = 0; damaged < 3; ++damaged) {
        for (std::uint64_t at : {4, 20, 32, 32 + 402'847}) {  // nonce, tag, first and last ciphertext byte
            SCOPED_TRACE(testing::Message() << "record " << damaged << " byte " << at);
            Bytes flipped = original;
            flipped[recordOffset(damaged) + at] ^= 1;
            test::writeFile(media, flipped);
            for (std::uint64_t record = 0; record < 3; ++record) {
                if (record == damaged) {  // an authentication failure, not one of the format messages
                    EXPECT_THAT(reading(firsts[record] + 7, firsts[record] + 8),
                                Throws<std::runtime_error>(testing::Not(testing::WhenDynamicCastTo<const VelmoraError&>(testing::_))));
                } else {
                    EXPECT_EQ(read(firsts[record], firsts[record + 1] - 1), slice(firsts[record], firsts[record + 1] - 1));
                }
            }
        }
    }
    test::writeFile(media, original);
    VaultManager otherDevice(root.path(), SecretBytes(32));  // same files, another master key
    EXPECT_THROW(otherDevice.readRange({kOwner, "movie"}, 0, 10), std::runtime_error);
}

TEST_F(VaultReadRangeTest, AnInflatedSizeFailsAtTheFileEndWithoutReservingIt) {
    VaultItem inflated = *VaultItem::decodeJSON(test::readText(vault.metadataURL("movie")));
    inflated.size = std::uint64_t{1} << 40;
    vault.saveMetadata(inflated);
    EXPECT_THAT(reading(0, inflated.size - 1), throwsVelmora("离线媒体密文不完整"));
}

TEST_F(VaultReadRangeTest, AShortRecordShortensTheReadOrRefusesIt) {
    const Bytes tail = test::numberedBytes(1000, 9);
    patch(recordOffset(2), VaultManager::encryptChunk(tail, vault.key({kOwner, "movie"}).span()));
    fs::resize_file(media, recordOffset(2) + 1032);
    Bytes expected = slice(2'000'000, 2'097'151);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(read(2'000'000, 2'400'000), expected);
    EXPECT_THAT(reading(2'097'152 + 1001, 2'400'000), throwsVelmora("离线媒体分块范围异常"));
}

}  // namespace
}  // namespace velmora
