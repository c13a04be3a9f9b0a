#include "VaultTestSupport.h"

#include "core/Files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <thread>

namespace velmora {
namespace {

namespace fs = std::filesystem;

constexpr const char* kOwner = "owner-K";
constexpr std::uint64_t kLessonBytes = 2'500'000;

// A committed 2,500,000-byte lesson: records of 1,048,576, 1,048,576 and 402,848 bytes.
class VaultReadRangeTest : public ::testing::Test {
protected:
    void SetUp() override { test::storeLesson(vault(), test::lessonRequest("movie"), plain_); }

    VaultManager& vault() { return fixture_.vault; }
    fs::path media() { return vault().mediaURL("movie"); }
    Bytes slice(std::uint64_t first, std::uint64_t last) const {
        return Bytes(plain_.begin() + static_cast<std::ptrdiff_t>(first), plain_.begin() + static_cast<std::ptrdiff_t>(last) + 1);
    }
    Bytes read(std::uint64_t start, std::uint64_t endInclusive) {
        return vault().readRange(kOwner, "movie", start, endInclusive);
    }
    void truncateMedia(std::uint64_t size) { fs::resize_file(media(), size); }
    void writeLengthField(std::uint64_t record, std::uint32_t value) {
        FileDescriptor file = openFile(media(), O_RDWR);
        std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                 static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
        ASSERT_EQ(::pwrite(file.get(), bytes, 4, static_cast<off_t>(test::recordOffset(record))), 4);
    }

    test::VaultFixture fixture_;
    const Bytes plain_ = test::numberedBytes(kLessonBytes);
};

struct RangeCase {
    const char* name;
    std::uint64_t start;
    std::uint64_t endInclusive;
    std::uint64_t expectedLast;  // the end after cutting to the lesson's size
};

TEST_F(VaultReadRangeTest, ReturnsExactlyTheRequestedPlaintext) {
    EXPECT_EQ(fs::file_size(media()), 2'500'128u);
    const std::vector<RangeCase> cases = {
        {"across records 0 and 1", 1'000'000, 1'100'000, 1'100'000},
        {"first byte", 0, 0, 0},
        {"last byte, end far beyond", kLessonBytes - 1, UINT64_MAX, kLessonBytes - 1},
        {"one byte each side of a boundary", 1'048'575, 1'048'576, 1'048'576},
        {"cut to the last record", 2'400'000, 9'999'999, kLessonBytes - 1},
        {"one whole record", 1'048'576, 2'097'151, 2'097'151},
        {"whole lesson", 0, kLessonBytes - 1, kLessonBytes - 1},
        {"all three records partly", 1'048'575, 2'097'152, 2'097'152},
    };
    for (const RangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(read(c.start, c.endInclusive), slice(c.start, c.expectedLast));
    }
    EXPECT_EQ(read(1'000'000, 1'100'000).size(), 100'001u);
}

TEST_F(VaultReadRangeTest, ReadsOnlyTheRecordsThatOverlap) {
    truncateMedia(test::recordOffset(2) + 10);  // record 2 unreadable; 0 and 1 intact
    EXPECT_EQ(read(0, 0), slice(0, 0));
    EXPECT_EQ(read(1'000'000, 2'097'151), slice(1'000'000, 2'097'151));
    EXPECT_VELMORA_ERROR(read(2'400'000, 9'999'999), "离线媒体密文不完整");
}

TEST_F(VaultReadRangeTest, RefusesRangesOutsideTheLesson) {
    for (auto [start, end] : {std::pair<std::uint64_t, std::uint64_t>{kLessonBytes, kLessonBytes},
                              {kLessonBytes, UINT64_MAX}, {10, 9}, {UINT64_MAX, UINT64_MAX}}) {
        SCOPED_TRACE(testing::Message() << start << ".." << end);
        EXPECT_VELMORA_ERROR(read(start, end), "离线媒体读取范围无效");
    }
    VaultItem empty = *VaultItem::decodeJSON(test::readText(vault().metadataURL("movie")));
    empty.size = 0;
    vault().saveMetadata(empty);
    EXPECT_VELMORA_ERROR(read(0, 0), "离线媒体读取范围无效");
}

TEST_F(VaultReadRangeTest, AnotherAccountIsRefusedBeforeTheMediaIsOpened) {
    fs::remove(media());
    for (const char* owner : {"owner-Q", "", "owner-K "}) {
        SCOPED_TRACE(owner);
        EXPECT_VELMORA_ERROR(vault().readRange(owner, "movie", 0, 10), "当前账号无权读取这份离线课程");
    }
    EXPECT_VELMORA_ERROR(vault().readRange(kOwner, "absent", 0, 10), "当前账号无权读取这份离线课程");
    test::writeFile(vault().metadataURL("movie"), std::string("{\"size\":1}"));
    EXPECT_VELMORA_ERROR(read(0, 10), "当前账号无权读取这份离线课程");
}

TEST_F(VaultReadRangeTest, MissingMediaPassesOnTheFileNotFoundError) {
    fs::remove(media());
    try {
        read(0, 10);
        FAIL() << "expected a file error";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    }
}

TEST_F(VaultReadRangeTest, TruncatedFilesAndBadLengthFieldsFailWithTheirMessages) {
    struct Damage {
        const char* name;
        std::function<void()> apply;
        const char* message;
    };
    const std::vector<Damage> damages = {
        {"cut inside record 1's prefix", [this] { truncateMedia(test::recordOffset(1) + 20); },
         "离线媒体密文不完整"},
        {"cut right before record 1", [this] { truncateMedia(test::recordOffset(1)); },
         "离线媒体密文不完整"},
        {"cut inside record 1's ciphertext", [this] { truncateMedia(test::recordOffset(1) + 32 + 1000); },
         "离线媒体分块损坏"},
        {"cut right after record 1's prefix", [this] { truncateMedia(test::recordOffset(1) + 32); },
         "离线媒体分块损坏"},
        {"length 0", [this] { writeLengthField(1, 0); }, "离线媒体分块损坏"},
        {"length 1,048,577", [this] { writeLengthField(1, 1'048'577); }, "离线媒体分块损坏"},
        {"length beyond the file", [this] { writeLengthField(2, 1'048'576); }, "离线媒体分块损坏"},
    };
    const Bytes original = readWholeFile(media());
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        test::writeFile(media(), original);
        damage.apply();
        EXPECT_VELMORA_ERROR(read(1'000'000, 2'499'999), damage.message);
        EXPECT_EQ(read(0, 999'999), slice(0, 999'999));  // record 0 is untouched
    }
}

TEST_F(VaultReadRangeTest, AFlippedByteFailsOnlyReadsOfItsRecord) {
    const Bytes original = readWholeFile(media());
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> recordRanges = {
        {0, 1'048'575}, {1'048'576, 2'097'151}, {2'097'152, kLessonBytes - 1}};
    for (std::uint64_t damaged = 0; damaged < 3; ++damaged) {
        for (auto [field, offset] : {std::pair<const char*, std::uint64_t>{"nonce", 4}, {"tag", 20}, {"ciphertext first", 32},
                                     {"ciphertext last", 32 + 402'848 - 1}}) {
            SCOPED_TRACE(testing::Message() << "record " << damaged << " " << field);
            test::writeFile(media(), original);
            test::flipByte(media(), test::recordOffset(damaged) + offset);
            for (std::uint64_t record = 0; record < 3; ++record) {
                auto [first, last] = recordRanges[record];
                if (record == damaged) {
                    try {
                        read(first + 7, last);
                        ADD_FAILURE() << "damaged record " << record << " was read";
                    } catch (const VelmoraError& error) {
                        ADD_FAILURE() << "authentication failure reported as " << error.what();
                    } catch (const std::runtime_error&) {
                    }
                } else {
                    EXPECT_EQ(read(first, last), slice(first, last)) << "record " << record;
                }
            }
        }
    }
}

TEST_F(VaultReadRangeTest, AnotherAccountsKeyCannotDecryptEvenWithForgedMetadata) {
    VaultItem forged = *VaultItem::decodeJSON(test::readText(vault().metadataURL("movie")));
    forged.ownerHash = VaultManager::ownerHash("intruder");
    vault().saveMetadata(forged);
    EXPECT_THROW(vault().readRange("intruder", "movie", 0, 10), std::runtime_error);
    VaultManager otherDevice(fixture_.root.path(), SecretBytes(32));
    EXPECT_THROW(otherDevice.readRange("intruder", "movie", 0, 10), std::runtime_error);
}

// A record holding fewer bytes than its position implies: reads that reach into it are cut short,
// reads that start past what it holds fail.
TEST_F(VaultReadRangeTest, AShortRecordShortensOrRefusesTheRead) {
    const Bytes tail = test::numberedBytes(1000, 9);
    const SecretBytes key = vault().key(kOwner, "movie");
    Bytes record = VaultManager::encryptChunk(tail, key.span());
    FileDescriptor file = openFile(media(), O_RDWR);
    ASSERT_EQ(::pwrite(file.get(), record.data(), record.size(), static_cast<off_t>(test::recordOffset(2))),
              static_cast<ssize_t>(record.size()));
    ASSERT_EQ(::ftruncate(file.get(), static_cast<off_t>(test::recordOffset(2) + record.size())), 0);

    Bytes shortened = read(2'000'000, 2'400'000);
    Bytes expected = slice(2'000'000, 2'097'151);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(shortened, expected);
    EXPECT_VELMORA_ERROR(read(2'097'152 + 1001, 2'400'000), "离线媒体分块范围异常");
}

TEST_F(VaultReadRangeTest, ConcurrentReadersAndCatalogueWorkAgree) {
    std::vector<std::thread> readers;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                std::uint64_t start = (static_cast<std::uint64_t>(t) * 700'001 + static_cast<std::uint64_t>(i) * 97'003) % kLessonBytes;
                if (read(start, start + 300'000) != slice(start, std::min(start + 300'000, kLessonBytes - 1))) ++mismatches;
                if (vault().plainSize("movie", kOwner) != kLessonBytes) ++mismatches;
            }
        });
    }
    for (int i = 0; i < 20; ++i) vault().updateMetadata(kOwner, "movie", "Course", "Chapter", i, i, i);
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace velmora
