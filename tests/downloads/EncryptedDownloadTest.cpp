#include "downloads/EncryptedDownload.h"

#include "DownloadFixtures.h"
#include "support/TempDirectory.h"
#include "vault/VaultManager.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <tuple>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Progress = std::tuple<std::uint64_t, std::uint64_t, std::string>;

constexpr std::uint64_t kMiB = 1'048'576;

// Runs one download against the test server and records what it reports.
class EncryptedDownloadTest : public testing::Test {
protected:
    void SetUp() override {
        test::addMediaRoutes(server);
        server.start();
    }

    std::shared_ptr<EncryptedDownload> makeDownload(const std::string& path, const std::string& assetId = "lesson-1",
                                                    std::chrono::milliseconds idle = 10s) {
        EncryptedDownload::Options options{TlsTrust::fromEndpoints(server.endpoints()), idle};
        return EncryptedDownload::make(
            test::lessonRequest(assetId), server.url(path), vault,
            [this](std::uint64_t downloaded, std::uint64_t total, const std::string& phase) {
                std::lock_guard lock(mutex);
                progress.emplace_back(downloaded, total, phase);
            },
            [this](const DownloadResult& result) {
                std::lock_guard lock(mutex);
                results.push_back(result);
                changed.notify_all();
            },
            options);
    }

    DownloadResult run(const std::string& path, const std::string& assetId = "lesson-1") {
        auto download = makeDownload(path, assetId);
        download->start();
        return waitForResult();
    }

    DownloadResult waitForResult() {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, 60s, [this] { return !results.empty(); }));
        return results.empty() ? DownloadResult::failure("no result") : results.front();
    }

    void expectNoPartialFile(const std::string& assetId = "lesson-1") { EXPECT_FALSE(fs::exists(vault.partialURL(assetId))); }

    std::string readLesson(const std::string& assetId, std::uint64_t size) {
        Bytes bytes = vault.readRange("owner-key", assetId, 0, size - 1);
        return std::string(bytes.begin(), bytes.end());
    }

    test::TestHttpsServer server;
    test::TempDirectory dir;
    VaultManager vault{dir.path(), SecretBytes(randomBytes(32))};
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Progress> progress;
    std::vector<DownloadResult> results;
};

TEST_F(EncryptedDownloadTest, SealsAnnouncedBodyIntoThreeRecordsAndReportsEachChunk) {
    DownloadResult result = run("/media/2500000");
    ASSERT_TRUE(result.succeeded) << result.message;
    EXPECT_EQ(result.plainSize, 2'500'000u);
    EXPECT_EQ(progress, (std::vector<Progress>{{kMiB, 2'500'000, "downloading"},
                                               {2 * kMiB, 2'500'000, "downloading"},
                                               {2'500'000, 2'500'000, "downloading"},
                                               {2'500'000, 2'500'000, "completed"}}));
    EXPECT_EQ(fs::file_size(vault.mediaURL("lesson-1")), 2'500'000u + 32 + 3 * 32);
    EXPECT_EQ(readLesson("lesson-1", 2'500'000), test::lessonBytes(2'500'000));
    expectNoPartialFile();
    EXPECT_EQ(results.size(), 1u);
}

TEST_F(EncryptedDownloadTest, ExactChunkMultipleWritesNoEmptyRecord) {
    DownloadResult result = run("/media/2097152");
    ASSERT_TRUE(result.succeeded) << result.message;
    EXPECT_EQ(fs::file_size(vault.mediaURL("lesson-1")), 2 * kMiB + 32 + 2 * 32);
    EXPECT_EQ(progress.size(), 3u);
}

TEST_F(EncryptedDownloadTest, UnannouncedLengthReportsTotalZeroUntilCompleted) {
    DownloadResult result = run("/chunked/1500000");
    ASSERT_TRUE(result.succeeded) << result.message;
    EXPECT_EQ(progress, (std::vector<Progress>{{kMiB, 0, "downloading"}, {1'500'000, 0, "downloading"},
                                               {1'500'000, 1'500'000, "completed"}}));
    EXPECT_EQ(readLesson("lesson-1", 1'500'000), test::lessonBytes(1'500'000));
}

TEST_F(EncryptedDownloadTest, AnnouncedLengthLimits) {
    struct Case {
        const char* path;
        bool succeeded;
        const char* message;
    };
    std::vector<Case> cases = {
        {"/media/1023", false, "课程媒体响应过小，无法作为视频保存"},
        {"/media/1024", true, ""},
        {"/media/0", false, "课程媒体内容为空或格式异常"},  // length 0 is unknown; the empty body fails at commit
        {"/chunked/500", false, "课程媒体内容为空或格式异常"},
        {"/status/404", false, "课程媒体服务返回 HTTP 404"},
        {"/status/500", false, "课程媒体服务返回 HTTP 500"},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string assetId = "lesson-" + std::to_string(index++);
        results.clear();
        progress.clear();
        DownloadResult result = run(c.path, assetId);
        EXPECT_EQ(result.succeeded, c.succeeded);
        EXPECT_EQ(result.message, c.message);
        expectNoPartialFile(assetId);
        EXPECT_EQ(fs::exists(vault.mediaURL(assetId)), c.succeeded);
        if (std::string(c.path).rfind("/status/", 0) == 0) {
            EXPECT_TRUE(progress.empty());  // an error answer's body is never sealed
        }
    }
}

TEST_F(EncryptedDownloadTest, BodyShorterThanAnnouncedFailsTheSizeCheck) {
    DownloadResult result = run("/short/3000000/2000000");
    EXPECT_FALSE(result.succeeded);
    EXPECT_EQ(result.message, "课程媒体大小校验失败，请重新下载");
    expectNoPartialFile();
    EXPECT_FALSE(fs::exists(vault.mediaURL("lesson-1")));
}

TEST_F(EncryptedDownloadTest, DroppedConnectionFailsOnceAndLeavesNothing) {
    DownloadResult result = run("/drop/1500000");
    EXPECT_FALSE(result.succeeded);
    EXPECT_FALSE(result.message.empty());
    expectNoPartialFile();
    EXPECT_FALSE(fs::exists(vault.mediaURL("lesson-1")));
    EXPECT_EQ(results.size(), 1u);
}

TEST_F(EncryptedDownloadTest, StalledServerTimesOut) {
    auto download = makeDownload("/stall/100000", "lesson-1", 1s);
    download->start();
    DownloadResult result = waitForResult();
    EXPECT_FALSE(result.succeeded);
    EXPECT_NE(result.message.find("Operation too slow"), std::string::npos) << result.message;
    expectNoPartialFile();
}

TEST_F(EncryptedDownloadTest, CancelEndsWithOneFailureAndRemovesThePartialFile) {
    auto download = makeDownload("/stall/1200000");
    download->start();
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        std::lock_guard lock(mutex);
        if (!progress.empty()) break;
    }
    ASSERT_FALSE(progress.empty()) << "the first chunk never arrived";
    download->cancel();
    DownloadResult result = waitForResult();
    EXPECT_FALSE(result.succeeded);
    EXPECT_EQ(result.message, "下载已取消");
    expectNoPartialFile();
    download->cancel();  // a second cancel after the end changes nothing
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(results.size(), 1u);
}

TEST_F(EncryptedDownloadTest, ReplacesAnEarlierCopyOfTheLesson) {
    ASSERT_TRUE(run("/media/300000").succeeded);
    results.clear();
    ASSERT_TRUE(run("/media/400000").succeeded);
    EXPECT_EQ(vault.plainSize("lesson-1", "owner-key"), 400'000u);
    EXPECT_EQ(readLesson("lesson-1", 400'000), test::lessonBytes(400'000));
}

TEST_F(EncryptedDownloadTest, UnwritablePartialFileFailsAtStartOnTheCallingThread) {
    fs::create_directories(vault.partialURL("lesson-1"));  // a folder where the partial file must go
    fs::create_directories(vault.partialURL("lesson-1") / "keep");
    auto download = makeDownload("/media/2000");
    download->start();
    ASSERT_EQ(results.size(), 1u);  // reported at once, before start() returned
    EXPECT_FALSE(results[0].succeeded);
    EXPECT_FALSE(results[0].message.empty());
}

}  // namespace
}  // namespace velmora
