#include "core/Files.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <thread>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using test::modeOf;
using test::TempDirectory;

TEST(FilesTest, AtomicWriteReplacesWholeAndSetsMode) {
    TempDirectory dir;
    fs::path file = dir / "entry.secure";
    writeFileAtomically(file, bytesOf("first version, longer"));
    writeFileAtomically(file, bytesOf("second"), 0600);
    EXPECT_EQ(test::readText(file), "second");
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);  // no temporary left
    EXPECT_THROW(writeFileAtomically(dir / "missing/file", bytesOf("x")), std::system_error);
}

// What a killed atomic write leaves is "." + destination + "." + six letters or digits.
TEST(FilesTest, LeftoverRemovalTakesOnlyAtomicWriteTemporariesOfAcceptedDestinations) {
    TempDirectory dir;
    const std::vector<std::pair<std::string, bool>> names = {
        {".a.json.Xy12Z9", true}, {".b.c.json.000000", true}, {".a.json.Xy12Z", false}, {".a.json.Xy12Z!", false},
        {"a.json.Xy12Z9", false}, {".a.txt.Xy12Z9", false},   {"a.json", false},        {".json.Xy12Z9", false},
    };
    for (const auto& [name, removed] : names) test::writeFile(dir / name, std::string("x"));
    fs::create_directory(dir / ".d.json.abcdef");
    removeAtomicWriteLeftovers(dir.path(), [](std::string_view destination) { return destination.ends_with(".json"); });
    for (const auto& [name, removed] : names) EXPECT_EQ(fs::exists(dir / name), !removed) << name;
    EXPECT_TRUE(fs::is_directory(dir / ".d.json.abcdef"));
    removeAtomicWriteLeftovers(dir / "missing", [](std::string_view) { return true; });  // nothing to open
}

TEST(FilesTest, AtomicWriteFailureKeepsTheOldFileAndCarriesTheSystemText) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
    TempDirectory dir;
    fs::path file = dir / "keep.json";
    writeFileAtomically(file, bytesOf("old"));
    fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
    try {
        writeFileAtomically(file, bytesOf("new"));
        FAIL() << "write into a read-only folder succeeded";
    } catch (const std::system_error& error) {
        EXPECT_NE(std::string(error.what()).find("Permission denied"), std::string::npos) << error.what();
    }
    EXPECT_EQ(test::readText(file), "old");
}

TEST(FilesTest, ConcurrentAtomicWritersLeaveOneWholeValue) {
    TempDirectory dir;
    fs::path file = dir / "shared";
    std::string a(4096, 'a');
    std::string b(8192, 'b');
    std::thread first([&] { for (int i = 0; i < 100; ++i) writeFileAtomically(file, bytesOf(a)); });
    std::thread second([&] { for (int i = 0; i < 100; ++i) writeFileAtomically(file, bytesOf(b)); });
    first.join();
    second.join();
    std::string content = test::readText(file);
    EXPECT_TRUE(content == a || content == b);
}

TEST(FilesTest, CreateDirectoriesAppliesModeDespiteUmask) {
    TempDirectory dir;
    mode_t previous = ::umask(022);
    createDirectories(dir / "a/b/c", 0700);
    ::umask(previous);
    EXPECT_EQ(modeOf(dir / "a"), 0700u);
    EXPECT_EQ(modeOf(dir / "a/b/c"), 0700u);
    createDirectories(dir / "a/b/c", 0700);  // existing: fine
    test::writeFile(dir / "plain", std::string("x"));
    EXPECT_THROW(createDirectories(dir / "plain/sub", 0700), std::system_error);
}

TEST(FilesTest, ReadsWholeAndExactlyReportingFailures) {
    TempDirectory dir;
    Bytes data = randomBytes(200000);
    test::writeFile(dir / "blob", data);
    EXPECT_EQ(readWholeFile(dir / "blob"), data);
    try {
        readWholeFile(dir / "absent");
        FAIL();
    } catch (const std::system_error& error) {
        EXPECT_NE(std::string(error.what()).find("No such file or directory"), std::string::npos);
    }
    test::writeFile(dir / "short", std::string("12345"));
    FileDescriptor file = openFile(dir / "short", O_RDONLY);
    Bytes out(3);
    preadExactly(file.get(), out, 2, dir / "short");
    EXPECT_EQ(out, (Bytes{'3', '4', '5'}));
    EXPECT_THROW(preadExactly(file.get(), out, 4, dir / "short"), std::system_error);
    EXPECT_FALSE(removeFile(dir / "absent"));
    EXPECT_TRUE(setMode(dir / "absent", 0600));
}

}  // namespace
}  // namespace velmora
