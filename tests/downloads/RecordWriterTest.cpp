#include "vault/RecordWriter.h"

#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>

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
