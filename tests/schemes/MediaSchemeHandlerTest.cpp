#include "schemes/MediaSchemeHandler.h"

#include "RangeTable.h"
#include "RecordingSchemeTask.h"
#include "StoredLesson.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <future>
#include <latch>
#include <thread>

namespace velmora {
namespace {

using test::RecordingSchemeTask;

constexpr std::uint64_t kMiB = 1'048'576;
const std::string kOwner = "account-key-1";

class MediaSchemeHandlerTest : public ::testing::Test {
protected:
    MediaSchemeHandlerTest() : vault(folder.path(), SecretBytes(randomBytes(32))) {}

    std::shared_ptr<RecordingSchemeTask> task(const std::string& url, std::optional<std::string> range = {}) {
        return std::make_shared<RecordingSchemeTask>(
            url, range ? std::map<std::string, std::string>{{"Range", *range}} : std::map<std::string, std::string>{});
    }

    // Starts the task and waits until it has finished or failed.
    std::shared_ptr<RecordingSchemeTask> serve(const std::string& url, std::optional<std::string> range = {}) {
        auto started = task(url, std::move(range));
        handler->start(started);
        EXPECT_TRUE(started->waitForEnd());
        return started;
    }

    // Waits until everything queued before now has been served.
    void drainQueue() { serve("velmora-media://local/v1/drain?owner=x"); }

    test::TempDirectory folder;
    VaultManager vault;
    std::unique_ptr<MediaSchemeHandler> handler = std::make_unique<MediaSchemeHandler>(vault);
};

TEST_F(MediaSchemeHandlerTest, ServesTheBytesEachRangeHeaderAsks) {
    Bytes lesson = test::lessonBytes(test::kTableLessonSize);
    test::storeLesson(vault, "lesson-1000", kOwner, lesson);
    for (const test::RangeRow& row : test::rangeTable()) {
        SCOPED_TRACE(row.name);
        auto served = serve("velmora-media://local/v1/lesson-1000?owner=" + kOwner, row.header);
        ASSERT_EQ(served->events, (std::vector<std::string>{"response", "data", "finish"}));
        EXPECT_EQ(served->response->statusCode, row.status);
        EXPECT_EQ(served->response->headers, test::rangeHeaders(row));
        EXPECT_EQ(served->body, test::rangeBody<Bytes>(lesson, row));
    }
}

TEST(MediaRangeParser, NumbersAsTheStandardParserReadsThem) {
    constexpr std::uint64_t kMax = UINT64_MAX;
    struct Row {
        const char* header;
        std::uint64_t total;
        std::optional<ByteRange> expected;
    };
    for (const Row& row : {
             Row{"bytes=+5-+9", 1000, ByteRange{5, 9}},
             Row{"bytes=-0-", 1000, std::nullopt},         // suffix form: "0-" is no number
             Row{"bytes=--5", 1000, std::nullopt},         // a negative suffix is no number
             Row{"bytes=5--0", 1000, std::nullopt},        // "-0" reads as 0, before the start
             Row{"bytes=0-0", 1, ByteRange{0, 0}},
             Row{"bytes=0-", 0, std::nullopt},             // nothing to serve
             Row{"bytes=,,3-4,", 1000, ByteRange{3, 4}},   // empty pieces are dropped
             Row{"bytes=3", 1000, std::nullopt},
             Row{"bytes =0-9", 1000, std::nullopt},
             Row{"bytes=18446744073709551614-", kMax, ByteRange{kMax - 1, kMax - 1}},
             Row{"bytes=18446744073709551616-", kMax, std::nullopt},  // above 2^64 - 1
             Row{"bytes=0-18446744073709551616", 1000, ByteRange{0, 999}},
             Row{"bytes=-18446744073709551615", 1000, ByteRange{0, 999}},
         }) {
        SCOPED_TRACE(std::string(row.header) + " of " + std::to_string(row.total));
        EXPECT_EQ(MediaSchemeHandler::parseRange(row.header, row.total), row.expected);
    }
    EXPECT_EQ(MediaSchemeHandler::parseRange(std::nullopt, 1000), std::nullopt);
}

TEST_F(MediaSchemeHandlerTest, RefusesBadAddressesWithTheMessage) {
    test::storeLesson(vault, "lesson", kOwner, test::lessonBytes(2000));
    const std::string invalidAddress = "离线媒体地址无效", invalidId = "离线媒体标识无效",
                      notYours = "当前账号无权读取这份离线课程", base = "velmora-media://local/v1/";
    for (const auto& [url, failure] : std::vector<std::pair<std::string, std::string>>{
             {"", invalidAddress},
             {"velmora-media://remote/v1/lesson?owner=" + kOwner, invalidAddress},
             {"velmora-media://Local/v1/lesson?owner=" + kOwner, invalidAddress},
             {"velmora-media://local/v2/lesson?owner=" + kOwner, invalidAddress},
             {"velmora-media://local/lesson?owner=" + kOwner, invalidAddress},
             {base + "lesson", invalidAddress},
             {base + "lesson?", invalidAddress},
             {base + "lesson?user=" + kOwner, invalidAddress},
             {base + "lesson?Owner=" + kOwner, invalidAddress},
             {base + "lesson?owner", invalidAddress},
             {base + "lesson?owner&owner=" + kOwner, invalidAddress},
             {base + "%CC%81lesson?owner=" + kOwner, invalidAddress},  // combining mark after "v1/"
             {base + std::string(65, 'a') + "?owner=" + kOwner, invalidId},
             {base + "lesson.mp4?owner=" + kOwner, invalidId},
             {base + "..%2Flesson?owner=" + kOwner, invalidId},
             {base + "?owner=" + kOwner, invalidId},
             {base + "lesson?owner=someone-else", notYours},
             {base + "lesson?owner=someone-else&owner=" + kOwner, notYours},  // the first owner counts
             {base + "absent?owner=" + kOwner, notYours},
         }) {
        SCOPED_TRACE(url);
        auto served = serve(url);
        EXPECT_EQ(served->events, std::vector<std::string>{"fail"});
        EXPECT_EQ(served->failure, failure);
    }
}

TEST_F(MediaSchemeHandlerTest, OwnerValueIsDecodedAndOtherItemsIgnored) {
    const std::string key = "k/ey+1 课";
    test::storeLesson(vault, "课程-7", key, test::lessonBytes(1500));
    auto served = serve("velmora-media://local/v1/%E8%AF%BE%E7%A8%8B-7?lang=zh&owner=k%2Fey+1%20%E8%AF%BE&owner=x");
    EXPECT_EQ(served->events.back(), "finish");
    EXPECT_EQ(served->body.size(), 1500u);
}

TEST_F(MediaSchemeHandlerTest, LessonCommittedByTheVaultPlaysBackByteForByte) {
    DownloadRequest request;
    request.ownerKey = kOwner;
    request.token = "token";
    request.assetId = "committed-1";
    request.lessonTitle = "第 2 课";
    request.classId = 3;
    request.lessonId = 4;
    Bytes lesson = test::lessonBytes(2 * kMiB + 4321, 11);
    test::commitLesson(vault, request, lesson);

    auto whole = serve("velmora-media://local/v1/committed-1?owner=" + kOwner);
    EXPECT_EQ(whole->body, lesson);
    auto across = serve("velmora-media://local/v1/committed-1?owner=" + kOwner, "bytes=1048575-1048576");
    EXPECT_EQ(across->body, Bytes(lesson.begin() + 1048575, lesson.begin() + 1048577));
    EXPECT_EQ(across->response->headers.at("Content-Range"), "bytes 1048575-1048576/" + std::to_string(lesson.size()));
}

TEST_F(MediaSchemeHandlerTest, FailuresEndTheTaskWithoutAFinish) {
    test::storeLesson(vault, "empty", kOwner, {});  // plain size 0: no range to serve, no underflow
    for (std::optional<std::string> range : {std::optional<std::string>{}, std::optional<std::string>{"bytes=0-"}}) {
        SCOPED_TRACE(range.value_or("no range"));
        auto served = serve("velmora-media://local/v1/empty?owner=" + kOwner, range);
        EXPECT_EQ(served->events, std::vector<std::string>{"fail"});
        EXPECT_EQ(served->failure, "离线媒体读取范围无效");
    }

    Bytes lesson = test::lessonBytes(5 * kMiB);
    test::storeLesson(vault, "damaged", kOwner, lesson);
    test::corruptMedia(vault, "damaged", 32 + 3 * (kMiB + 32) + 32 + 10);  // record 3: read only by the second piece
    auto damaged = serve("velmora-media://local/v1/damaged?owner=" + kOwner);
    EXPECT_EQ(damaged->events, (std::vector<std::string>{"response", "data", "fail"}));
    EXPECT_EQ(damaged->body, Bytes(lesson.begin(), lesson.begin() + 2 * kMiB));
    EXPECT_FALSE(damaged->failure->empty());

    test::storeLesson(vault, "gone", kOwner, test::lessonBytes(3000));
    std::filesystem::remove(vault.mediaURL("gone"));
    auto gone = serve("velmora-media://local/v1/gone?owner=" + kOwner);
    EXPECT_EQ(gone->events, (std::vector<std::string>{"response", "fail"}));
    EXPECT_NE(gone->failure->find("No such file"), std::string::npos) << *gone->failure;

    // Metadata announcing more than the last record holds: never fewer bytes than the response says.
    test::storeLesson(vault, "short", kOwner, test::lessonBytes(3000));
    VaultItem longer = *VaultItem::decodeJSON(test::readText(vault.metadataURL("short")));
    longer.size = 3500;
    vault.saveMetadata(longer);
    auto cut = serve("velmora-media://local/v1/short?owner=" + kOwner, "bytes=2000-");
    EXPECT_EQ(cut->events, (std::vector<std::string>{"response", "fail"}));
    EXPECT_EQ(cut->failure, "离线媒体分块范围异常");
}

TEST_F(MediaSchemeHandlerTest, OnlyARecordThatDoesNotDecryptIsReportedAsDamage) {
    std::vector<std::pair<std::string, std::string>> reported;  // written on the media queue, read after it drained
    handler = std::make_unique<MediaSchemeHandler>(
        vault, [&reported](const std::string& assetId, const std::string& owner) { reported.emplace_back(assetId, owner); });
    test::storeLesson(vault, "sound", kOwner, test::lessonBytes(3 * kMiB));
    test::storeLesson(vault, "gone", kOwner, test::lessonBytes(3000));
    std::filesystem::remove(vault.mediaURL("gone"));
    test::storeLesson(vault, "damaged", kOwner, test::lessonBytes(3 * kMiB));
    test::corruptMedia(vault, "damaged", 32 + 2 * (kMiB + 32) + 32 + 10);
    for (const char* asset : {"sound", "gone", "damaged"}) {
        serve(std::string("velmora-media://local/v1/") + asset + "?owner=" + kOwner);
    }
    serve("velmora-media://local/v1/damaged?owner=another-account");  // not that account's lesson: refused first
    EXPECT_EQ(reported, (std::vector<std::pair<std::string, std::string>>{{"damaged", kOwner}}));
}

TEST_F(MediaSchemeHandlerTest, StoppedMidAnswerReceivesNothingMore) {
    test::storeLesson(vault, "long", kOwner, test::lessonBytes(7 * kMiB));
    auto stopped = task("velmora-media://local/v1/long?owner=" + kOwner);
    stopped->onData = [this](RecordingSchemeTask& self) { handler->stop(self); };
    handler->start(stopped);
    drainQueue();
    EXPECT_EQ(stopped->events, (std::vector<std::string>{"response", "data"}));
}

TEST_F(MediaSchemeHandlerTest, LongRangesArriveInTwoMebibytePiecesAndRequestsInStartOrder) {
    Bytes lesson = test::lessonBytes(6 * kMiB + 123, 1);
    test::storeLesson(vault, "long", kOwner, lesson);
    test::storeLesson(vault, "short", kOwner, test::lessonBytes(1000, 2));
    std::uint64_t end = 1000 + 5 * kMiB - 1;
    std::mutex logMutex;
    std::vector<std::string> log;
    auto logged = [&](const std::string& name, std::optional<std::string> range) {
        auto made = task("velmora-media://local/v1/" + name + "?owner=" + kOwner, std::move(range));
        made->onData = [&, name](RecordingSchemeTask&) {
            std::lock_guard lock(logMutex);
            log.push_back(name);
        };
        handler->start(made);
        return made;
    };
    auto first = logged("long", "bytes=1000-" + std::to_string(end));
    auto second = logged("short", std::nullopt);
    ASSERT_TRUE(second->waitForEnd());
    ASSERT_TRUE(first->waitForEnd(std::chrono::milliseconds(0)));
    EXPECT_EQ(log, (std::vector<std::string>{"long", "long", "long", "short"}));
    std::vector<std::size_t> sizes;
    for (const Bytes& piece : first->pieces) sizes.push_back(piece.size());
    EXPECT_EQ(sizes, (std::vector<std::size_t>{2'097'152, 2'097'152, 1'048'576}));
    EXPECT_EQ(first->body, Bytes(lesson.begin() + 1000, lesson.begin() + static_cast<std::ptrdiff_t>(end + 1)));
    EXPECT_EQ(first->events, (std::vector<std::string>{"response", "data", "data", "data", "finish"}));
}

TEST_F(MediaSchemeHandlerTest, StopBeforeServingSilencesUntilTheSameTaskStartsAgain) {
    test::storeLesson(vault, "lesson", kOwner, test::lessonBytes(3 * kMiB));
    std::latch release(1);
    auto blocker = task("velmora-media://local/v1/lesson?owner=" + kOwner);
    blocker->onData = [&](RecordingSchemeTask&) { release.wait(); };
    auto waiting = task("velmora-media://local/v1/lesson?owner=" + kOwner);

    handler->start(blocker);
    handler->start(waiting);
    handler->stop(*waiting);
    release.count_down();
    drainQueue();
    EXPECT_TRUE(waiting->events.empty());

    handler->start(waiting);  // the same identity starting again is no longer stopped
    ASSERT_TRUE(waiting->waitForEnd());
    EXPECT_EQ(waiting->body.size(), 3 * kMiB);
}

TEST_F(MediaSchemeHandlerTest, DestroyingTheHandlerSilencesRunningAndQueuedTasks) {
    test::storeLesson(vault, "lesson", kOwner, test::lessonBytes(5 * kMiB));
    std::latch running(1), release(1);
    auto current = task("velmora-media://local/v1/lesson?owner=" + kOwner);
    current->onData = [&](RecordingSchemeTask&) {
        running.count_down();
        release.wait();
    };
    auto queued = task("velmora-media://local/v1/lesson?owner=" + kOwner);
    handler->start(current);
    handler->start(queued);
    running.wait();
    auto releaser = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        release.count_down();
    });
    handler.reset();
    EXPECT_EQ(current->events, (std::vector<std::string>{"response", "data"}));
    EXPECT_TRUE(queued->events.empty());
}

}  // namespace
}  // namespace velmora
