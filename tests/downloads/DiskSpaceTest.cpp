#include "core/VelmoraError.h"
#include "downloads/DiskSpace.h"
#include "downloads/EncryptedDownload.h"

#include "DownloadFixtures.h"

#include <sys/mount.h>

#include <cstring>
#include <filesystem>
#include <future>

namespace velmora {
namespace {

namespace fs = std::filesystem;

TEST(DiskSpaceTest, SizesReadAsThePageWritesThem) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0 B"},          {1023, "1023 B"},        {1024, "1.0 KB"},          {1280, "1.3 KB"},  // a half rounds up
        {1536, "1.5 KB"},    {1'048'575, "1024.0 KB"},   {70'108'960, "66.9 MB"},  {1ull << 30, "1.0 GB"},
        {5ull << 40, "5.0 TB"}, {3ull << 50, "3072.0 TB"},
    };
    for (const auto& [bytes, text] : cases) {
        SCOPED_TRACE(bytes);
        EXPECT_EQ(DiskSpace::formatBytes(bytes), text);
    }
}

// A tmpfs of 4 MiB mounted over a fresh folder for the test's life.
class SmallFileSystem {
public:
    SmallFileSystem() {
        mounted_ = ::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=4m,mode=0700") == 0;
        if (!mounted_) refusal_ = std::strerror(errno);
    }
    ~SmallFileSystem() {
        if (mounted_) ::umount(dir_.path().c_str());
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& refusal() const { return refusal_; }
    const fs::path& path() const { return dir_.path(); }

private:
    test::TempDirectory dir_;
    bool mounted_ = false;
    std::string refusal_;
};

class FreeSpaceTest : public test::DownloadServerTest {};

// Whatever the lesson, 4 MiB cannot hold it and the margin: stopped before a record is written,
// and kept with the reason so that the learner can make room and resume.
TEST_F(FreeSpaceTest, TooLittleRoomStopsBeforeAnyRecordIsWritten) {
    SmallFileSystem small;
    if (!small.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here: " << small.refusal();
    VaultManager smallVault{small.path(), SecretBytes(randomBytes(32))};
    const std::pair<const char*, const char*> cases[] = {
        {"/media/3000000", "磁盘空间不足，无法保存离线课程（需要 66.9 MB，可用 4.0 MB）"},   // announced: checked at once
        {"/chunked/1500000", "磁盘空间不足，无法保存离线课程（需要 65.0 MB，可用 4.0 MB）"},  // unknown: checked per record
    };
    for (const auto& [path, message] : cases) {
        SCOPED_TRACE(path);
        std::promise<DownloadResult> ended;
        int reports = 0;
        auto download = EncryptedDownload::make(
            test::lessonRequest("lesson-1"), server.url(path), smallVault,
            [&reports](std::uint64_t, std::uint64_t, const std::string&) { ++reports; },
            [&ended](const DownloadResult& result) { ended.set_value(result); },
            {TlsTrust::fromEndpoints(server.endpoints())});
        download->start();
        DownloadResult result = ended.get_future().get();
        EXPECT_FALSE(result.succeeded);
        EXPECT_TRUE(result.kept);
        EXPECT_EQ(result.message, message);
        EXPECT_EQ(reports, 0);
        EXPECT_EQ(fs::file_size(smallVault.partialURL("lesson-1")), 32u);
        EXPECT_EQ(smallVault.resumeRecord("lesson-1")->reason, message);
    }
}

TEST(DiskSpaceTest, CoursewareRefusalNamesCourseware) {
    SmallFileSystem small;
    if (!small.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here: " << small.refusal();
    try {
        DiskSpace::requireForCourseware(small.path(), 1'000'000);
        FAIL() << "4 MiB held a file and the margin";
    } catch (const VelmoraError& error) {
        EXPECT_STREQ(error.what(), "磁盘空间不足，无法保存课件（需要 65.0 MB，可用 4.0 MB）");
    }
}

}  // namespace
}  // namespace velmora
