#include "vault/RecordWriter.h"

#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

namespace velmora {
namespace {

TEST(RecordWriterTest, WritesRecordsInOrderAndHandsTheFileBack) {
    test::TempDirectory dir;
    auto path = dir / "lesson.part";
    RecordWriter writer(openFile(path, O_WRONLY | O_CREAT | O_TRUNC), path);
    Bytes expected;
    for (int i = 0; i < 50; ++i) {
        RecordBuffer record = writer.takeBuffer();
        std::size_t size = 1000 + static_cast<std::size_t>(i);
        std::fill_n(record.room().begin(), size, static_cast<std::uint8_t>(i));
        expected.insert(expected.end(), record.room().begin(), record.room().begin() + static_cast<std::ptrdiff_t>(size));
        writer.append(std::move(record), size);
    }
    FileDescriptor file = writer.finish();
    EXPECT_TRUE(file);
    EXPECT_EQ(readWholeFile(path), expected);
}

// Whole pages bypass the page cache and the bytes after the last boundary wait for the next
// record: a record counts as written only once its last byte is in the file, since a resume
// record promises what recordsWritten() says.
TEST(RecordWriterTest, CountsOnlyRecordsWhollyInTheFile) {
    test::TempDirectory dir;
    auto path = dir / "lesson.part";
    FileDescriptor file = openFile(path, O_WRONLY | O_CREAT | O_TRUNC);
    const Bytes header(32, 0xee);  // the records begin off a page boundary, as after a header
    writeAll(file.get(), header, path);
    RecordWriter writer(std::move(file), path);
    Bytes expected = header;
    std::vector<std::size_t> ends;
    for (std::size_t i = 0; i < 60; ++i) {
        SCOPED_TRACE(i);
        RecordBuffer record = writer.takeBuffer();
        const std::size_t size = i % 3 == 0 ? 5 + i : 9'000 + 37 * i;  // tiny ones end within a page
        for (std::size_t at = 0; at < size; ++at) record.room()[at] = static_cast<std::uint8_t>(at * 7 + i);
        expected.insert(expected.end(), record.room().begin(), record.room().begin() + static_cast<std::ptrdiff_t>(size));
        ends.push_back(expected.size());
        writer.append(std::move(record), size);
        const std::uint64_t written = writer.recordsWritten();
        const auto inFile = std::filesystem::file_size(path);
        if (written > 0) {
            EXPECT_LE(ends[written - 1], inFile);
        }
    }
    FileDescriptor back = writer.finish();
    EXPECT_EQ(writer.recordsWritten(), ends.size());
    EXPECT_EQ(::lseek(back.get(), 0, SEEK_CUR), static_cast<off_t>(expected.size()));
    EXPECT_EQ(readWholeFile(path), expected);
}

// A dropped connection leaves the download waiting to retry: a flush puts the last record wholly
// in the file, so a kill during the wait does not lose it.
TEST(RecordWriterTest, AFlushPutsTheLastRecordWhollyInTheFile) {
    test::TempDirectory dir;
    auto path = dir / "lesson.part";
    FileDescriptor file = openFile(path, O_WRONLY | O_CREAT | O_TRUNC);
    const Bytes header(32, 0xee);
    writeAll(file.get(), header, path);
    RecordWriter writer(std::move(file), path);
    for (std::size_t size : {9'000, 5'000}) {
        RecordBuffer record = writer.takeBuffer();
        std::fill_n(record.room().begin(), size, 0x5a);
        writer.append(std::move(record), size);
        writer.flush();
    }
    EXPECT_EQ(writer.recordsWritten(), 2U);
    EXPECT_EQ(std::filesystem::file_size(path), header.size() + 14'000);
    writer.finish();
    EXPECT_EQ(readWholeFile(path).size(), header.size() + 14'000);
}

TEST(RecordWriterTest, AWriteFailureReachesTheProducer) {
    test::TempDirectory dir;
    auto path = dir / "lesson.part";
    test::writeFile(path, std::string("x"));
    RecordWriter writer(openFile(path, O_RDONLY), path);  // every write fails with EBADF
    bool reported = false;
    try {
        for (int i = 0; i < 20; ++i) writer.append(writer.takeBuffer(), 100);
        writer.finish();
    } catch (const std::system_error& error) {
        reported = true;
        EXPECT_NE(std::string(error.what()).find("Bad file descriptor"), std::string::npos) << error.what();
    }
    EXPECT_TRUE(reported);
}

}  // namespace
}  // namespace velmora
