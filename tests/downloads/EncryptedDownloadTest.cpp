#include "downloads/EncryptedDownload.h"

#include "DownloadFixtures.h"

#include <gmock/gmock.h>

#include <condition_variable>
#include <filesystem>
#include <tuple>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Progress = std::tuple<std::uint64_t, std::uint64_t, std::string>;

constexpr std::uint64_t kMiB = 1'048'576;

// Runs downloads against the test server and records what they report.
class EncryptedDownloadTest : public test::DownloadServerTest {
protected:
    std::shared_ptr<EncryptedDownload> makeDownload(const std::string& path, const std::string& assetId = "lesson-1",
                                                    std::chrono::milliseconds idle = 10s) {
        EncryptedDownload::Options options{TlsTrust::fromEndpoints(server.endpoints()), idle};
        options.firstRetryDelay = 20ms;
        options.longestRetryDelay = 100ms;
        options.retryWindow = 500ms;
        return EncryptedDownload::make(
            test::lessonRequest(assetId), server.url(path), vault,
            [this](std::uint64_t downloaded, std::uint64_t total, const std::string& phase) {
                std::lock_guard lock(mutex);
                progress.emplace_back(downloaded, total, phase);
                changed.notify_all();
            },
            [this](const DownloadResult& result) {
                std::lock_guard lock(mutex);
                results.push_back(result);
                changed.notify_all();
            },
            options);
    }

    // Runs one download from a clean record of reports.
    DownloadResult run(const std::string& path, const std::string& assetId = "lesson-1", std::chrono::milliseconds idle = 10s) {
        results.clear();
        progress.clear();
        makeDownload(path, assetId, idle)->start();
        return waitForResult();
    }

    DownloadResult waitForResult() {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, 60s, [this] { return !results.empty(); }));
        return results.empty() ? DownloadResult::failure("no result") : results.front();
    }

    std::condition_variable changed;
    std::vector<Progress> progress;
    std::vector<DownloadResult> results;
};

// Each body replaces the lesson sealed by the case before it.
TEST_F(EncryptedDownloadTest, SealsOneRecordPerMiBAndReportsEachChunk) {
    const std::vector<std::tuple<const char*, std::uint64_t, std::uint64_t, std::vector<Progress>>> cases = {
        {"/media/2500000", 2'500'000, 3,
         {{kMiB, 2'500'000, "downloading"}, {2 * kMiB, 2'500'000, "downloading"}, {2'500'000, 2'500'000, "downloading"},
          {2'500'000, 2'500'000, "completed"}}},
        {"/media/2097152", 2 * kMiB, 2,  // an exact multiple writes no empty record
         {{kMiB, 2 * kMiB, "downloading"}, {2 * kMiB, 2 * kMiB, "downloading"}, {2 * kMiB, 2 * kMiB, "completed"}}},
        {"/chunked/1500000", 1'500'000, 2,  // no length announced: total 0 until completed
         {{kMiB, 0, "downloading"}, {1'500'000, 0, "downloading"}, {1'500'000, 1'500'000, "completed"}}},
        {"/media/1024", 1024, 1, {{1024, 1024, "downloading"}, {1024, 1024, "completed"}}},
    };
    for (const auto& [path, size, records, expectedProgress] : cases) {
        SCOPED_TRACE(path);
        DownloadResult result = run(path);
        ASSERT_TRUE(result.succeeded) << result.message;
        EXPECT_EQ(result.plainSize, size);
        EXPECT_EQ(progress, expectedProgress);
        EXPECT_EQ(fs::file_size(vault.mediaURL("lesson-1")), size + 32 + records * 32);
        EXPECT_EQ(vault.plainSize({"owner-key", "lesson-1"}), size);
        Bytes stored = vault.readRange({"owner-key", "lesson-1"}, 0, size - 1);
        EXPECT_EQ(std::string(stored.begin(), stored.end()), test::lessonBytes(size));
        EXPECT_FALSE(fs::exists(vault.partialURL("lesson-1")));
        EXPECT_EQ(results.size(), 1u);
    }
}

TEST_F(EncryptedDownloadTest, EachFailureIsReportedOnceAndLeavesNothing) {
    using testing::StrEq;
    struct Case {
        const char* path;
        testing::Matcher<std::string> message;
        std::chrono::milliseconds idle = 10s;
    };
    const std::vector<Case> cases = {
        {"/media/1023", StrEq("课程媒体响应过小，无法作为视频保存")},
        {"/media/0", StrEq("课程媒体内容为空或格式异常")},  // length 0 is unknown; the empty body fails at commit
        {"/chunked/500", StrEq("课程媒体内容为空或格式异常")},
        {"/status/404", StrEq("课程媒体服务返回 HTTP 404")},
        {"/status/500", StrEq("课程媒体服务返回 HTTP 500")},
        {"/short/3000000/2000000", StrEq("课程媒体大小校验失败，请重新下载")},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string assetId = "lesson-" + std::to_string(index++);
        DownloadResult result = run(c.path, assetId, c.idle);
        EXPECT_FALSE(result.succeeded);
        EXPECT_THAT(result.message, c.message);
        EXPECT_FALSE(fs::exists(vault.partialURL(assetId)));
        EXPECT_FALSE(fs::exists(vault.mediaURL(assetId)));
        EXPECT_EQ(results.size(), 1u);
        if (std::string(c.path).rfind("/status/", 0) == 0) {
            EXPECT_TRUE(progress.empty());  // an error answer's body is never sealed
        }
    }
}

// A transfer that keeps breaking is tried again for the retry window, then kept with the
// platform's reason: its whole records and a resume record stay.
TEST_F(EncryptedDownloadTest, BreaksBeyondTheRetriesKeepTheWholeRecords) {
    struct Case {
        const char* path;
        const char* reason;
        std::uint64_t records;
        std::chrono::milliseconds idle = 10s;
    };
    const Case cases[] = {
        {"/drop/1500000", "", 1},
        {"/stall/100000", "Operation too slow", 0, 300ms},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string assetId = "kept-" + std::to_string(index++);
        DownloadResult result = run(c.path, assetId, c.idle);
        EXPECT_TRUE(result.kept);
        EXPECT_FALSE(result.succeeded);
        EXPECT_THAT(result.message, testing::HasSubstr(c.reason));
        EXPECT_FALSE(result.message.empty());
        EXPECT_EQ(result.plainSize, c.records * kMiB);
        std::optional<ResumeRecord> record = vault.resumeRecord(assetId);
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(record->records, c.records);
        EXPECT_TRUE(record->paused);
        EXPECT_EQ(record->reason, result.message);
        EXPECT_EQ(fs::file_size(vault.partialURL(assetId)), 32 + c.records * (kMiB + 32));
        EXPECT_EQ(results.size(), 1u);
    }
}

TEST_F(EncryptedDownloadTest, CancelEndsWithOneFailureAndRemovesThePartialFile) {
    auto download = makeDownload("/stall/1200000");
    download->start();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 20s, [this] { return !progress.empty(); })) << "the first chunk never arrived";
    }
    download->cancel();
    DownloadResult result = waitForResult();
    EXPECT_FALSE(result.succeeded);
    EXPECT_EQ(result.message, "下载已取消");
    EXPECT_FALSE(fs::exists(vault.partialURL("lesson-1")));
    download->cancel();  // a second cancel after the end changes nothing
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(results.size(), 1u);
}

TEST_F(EncryptedDownloadTest, UnwritablePartialFileFailsAtStartOnTheCallingThread) {
    fs::create_directories(vault.partialURL("lesson-1") / "keep");  // a folder where the partial file must go
    makeDownload("/media/2000")->start();
    ASSERT_EQ(results.size(), 1u);  // reported at once, before start() returned
    EXPECT_FALSE(results[0].succeeded);
    EXPECT_FALSE(results[0].message.empty());
}

}  // namespace
}  // namespace velmora
