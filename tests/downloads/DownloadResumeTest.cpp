#include "downloads/DownloadCoordinator.h"

#include "DownloadFixtures.h"
#include "support/FakeNetworkMonitor.h"
#include "net/HttpSession.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <thread>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::size_t kLessonBytes = 5'000'000;
constexpr std::size_t kDropAt = 2'000'000;  // 40 %: one whole record is kept, the torn one is not

// The lesson as published in version 1 or 2: same length, different bytes.
std::string lessonVersion(int version) {
    std::string bytes = test::lessonBytes(kLessonBytes);
    if (version == 2) {
        for (char& byte : bytes) byte = static_cast<char>(byte ^ 0x5A);
    }
    return bytes;
}

// How the media route answers one request; the last answer of a plan repeats.
struct Answer {
    int version = 1;
    std::string etag = "\"v1\"";
    bool servesRanges = true;
    std::size_t dropAt = 0;  // closes the connection once the body reaches this lesson offset (0: never)
    int status = 0;          // an error answer instead of the lesson
    std::chrono::milliseconds pace{0};  // pause before each piece of 300,000 bytes
};

struct MediaCall {
    std::string range;
    std::string ifRange;
};

// A coordinator over a real session and vault, with a media route that follows a plan.
class DownloadResumeTest : public test::DownloadServerTest {
protected:
    void SetUp() override {
        server.server().Get("/lesson.mp4", [this](const httplib::Request& request, httplib::Response& response) {
            serve(request, response);
        });
        DownloadServerTest::SetUp();
        answerWithMedia("/lesson.mp4");
        http = std::make_shared<HttpSession>(server.endpoints(), mainQueue);
        remake({http->tlsTrust()});
    }

    void remake(EncryptedDownload::Options options, std::shared_ptr<NetworkMonitor> network = nullptr) {
        DownloadCoordinator::Dependencies dependencies{server.endpoints(), mainQueue, http, &vault, std::move(options)};
        dependencies.network = std::move(network);
        dependencies.runningChanged = [this](bool anyRunning) { running.push_back(anyRunning); };
        coordinator = DownloadCoordinator::make([this](const Json& message) { events.push_back(message); }, std::move(dependencies));
    }

    void serve(const httplib::Request& request, httplib::Response& response) {
        Answer answer;
        {
            std::lock_guard lock(mutex);
            answer = plan[std::min(calls.size(), plan.size() - 1)];
            calls.push_back({request.get_header_value("Range"), request.get_header_value("If-Range")});
        }
        if (answer.status != 0) {
            response.status = answer.status;
            return;
        }
        auto body = std::make_shared<std::string>(lessonVersion(answer.version));
        std::size_t first = 0;
        std::string range = request.get_header_value("Range");
        if (answer.servesRanges && range.rfind("bytes=", 0) == 0 && request.get_header_value("If-Range") == answer.etag) {
            first = std::stoul(range.substr(6));
            response.status = 206;
            response.set_header("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(kLessonBytes - 1) + "/" +
                                                     std::to_string(kLessonBytes));
        }
        // The ranges are answered here; httplib must not apply them a second time.
        const_cast<httplib::Request&>(request).ranges.clear();  // NOLINT(cppcoreguidelines-pro-type-const-cast): the server's own object
        response.set_header("ETag", answer.etag);
        std::size_t dropAt = answer.dropAt;
        std::chrono::milliseconds pace = answer.pace;
        response.set_content_provider(kLessonBytes - first, "video/mp4",
                                      [body, first, dropAt, pace](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                          std::this_thread::sleep_for(pace);
                                          std::size_t at = first + offset;
                                          std::size_t end = at + std::min<std::size_t>(length, 300'000);
                                          if (dropAt != 0 && end >= dropAt) {
                                              if (dropAt > at) sink.write(body->data() + at, dropAt - at);
                                              return false;
                                          }
                                          return sink.write(body->data() + at, end - at);
                                      });
    }

    bool runToEnd(const std::string& assetId) {
        coordinator->start(test::lessonRequest(assetId));
        return mainQueue->runUntil([&] { return !events.empty() && events.back()["type"] != "downloadProgress"; }, 60s);
    }

    std::vector<std::uint64_t> downloadingCounts() const {
        std::vector<std::uint64_t> counts;
        for (const Json& event : events) {
            if (event["type"] == "downloadProgress" && event["phase"] == "downloading") counts.push_back(event["downloaded"]);
        }
        return counts;
    }

    std::shared_ptr<HttpSession> http;
    std::shared_ptr<DownloadCoordinator> coordinator;
    std::vector<Json> events;
    std::vector<bool> running;
    std::vector<Answer> plan;
    std::vector<MediaCall> calls;
};

TEST_F(DownloadResumeTest, BrokenTransfersResumeOrStartOverAndEndOnce) {
    const std::string resumeHeader = "bytes=1048576-";
    struct Case {
        const char* name;
        std::vector<Answer> plan;
        std::vector<std::string> ranges;  // each request's Range header
        int storedVersion;                // 0: the download fails
        const char* failure = "";
    };
    const std::vector<Case> cases = {
        {"RangeHonoured", {{.dropAt = kDropAt}, {}}, {"", resumeHeader}, 1},
        {"RangeIgnored", {{.servesRanges = false, .dropAt = kDropAt}, {.servesRanges = false}}, {"", resumeHeader}, 1},
        {"LessonChanged", {{.dropAt = kDropAt}, {.version = 2, .etag = "\"v2\""}}, {"", resumeHeader}, 2},
        {"HttpErrorOnResume", {{.dropAt = kDropAt}, {.status = 503}}, {"", resumeHeader}, 0, "课程媒体服务返回 HTTP 503"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        calls.clear();
        authorizations.clear();
        plan = c.plan;
        const std::string assetId = std::string("lesson-") + c.name;
        ASSERT_TRUE(runToEnd(assetId));
        int endings = 0;
        for (const Json& event : events) endings += event["type"] == "downloadCompleted" || event["type"] == "downloadFailed";
        EXPECT_EQ(endings, 1);
        std::vector<std::uint64_t> counts = downloadingCounts();
        EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()) && std::adjacent_find(counts.begin(), counts.end()) == counts.end());
        std::lock_guard lock(mutex);
        EXPECT_EQ(authorizations.size(), 1u);
        std::vector<std::string> ranges;
        for (const MediaCall& call : calls) {
            ranges.push_back(call.range);
            if (!call.range.empty()) {
                EXPECT_EQ(call.ifRange, "\"v1\"");
            }
        }
        EXPECT_EQ(ranges, c.ranges);
        EXPECT_FALSE(fs::exists(vault.partialURL(assetId)));
        if (c.storedVersion == 0) {
            EXPECT_EQ(events.back()["type"], "downloadFailed");
            EXPECT_THAT(events.back()["message"].get<std::string>(), testing::HasSubstr(c.failure));
            EXPECT_FALSE(fs::exists(vault.mediaURL(assetId)));
            continue;
        }
        ASSERT_EQ(events.back()["type"], "downloadCompleted");
        EXPECT_EQ(counts.back(), kLessonBytes);
        Bytes stored = vault.readRange({"owner-key", assetId}, 0, kLessonBytes - 1);
        EXPECT_TRUE(std::string(stored.begin(), stored.end()) == lessonVersion(c.storedVersion));
    }
}

// Breaks that bring no new record end the retries after their window: the lesson is paused with
// the platform's reason, its whole records kept, never failed.
TEST_F(DownloadResumeTest, BreaksBeyondTheRetryWindowPauseWithTheReason) {
    // A window of several tries, also where each try is slow (TSan).
    remake({http->tlsTrust(), std::chrono::seconds(10), std::chrono::hours(1), 20ms, 80ms, 2000ms});
    plan = {{.dropAt = kDropAt}};
    coordinator->start(test::lessonRequest("lesson-k"));
    ASSERT_TRUE(mainQueue->runUntil([&] { return events.back()["phase"] == "paused"; }, 20s));
    const Json& paused = events.back();
    EXPECT_EQ(paused["downloaded"], 1'048'576u);
    EXPECT_EQ(paused["total"], kLessonBytes);
    EXPECT_THAT(paused["reason"].get<std::string>(), testing::HasSubstr("transfer closed"));
    int retrying = 0;
    for (const Json& event : events) retrying += event.value("phase", "") == "retrying";
    EXPECT_GE(retrying, 2);
    EXPECT_EQ(coordinator->stateOf("lesson-k"), DownloadCoordinator::State::paused);
    EXPECT_EQ(vault.resumeRecord("lesson-k")->records, 1u);
    std::lock_guard lock(mutex);
    ASSERT_GE(calls.size(), 3u);
    for (std::size_t i = 1; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].range, "bytes=1048576-");
        EXPECT_EQ(calls[i].ifRange, "\"v1\"");
    }
}

TEST_F(DownloadResumeTest, CancelDuringTheWaitEndsAtOnceWithoutAnotherRequest) {
    plan = {{.dropAt = kDropAt}};
    coordinator->start(test::lessonRequest("lesson-r"));
    ASSERT_TRUE(mainQueue->runUntil([&] { return downloadingCounts().size() == 1; }, 20s));
    mainQueue->runFor(300ms);  // the break has come; the first wait (1 s) runs
    coordinator->cancel("owner-key", "lesson-r");
    auto cancelled = std::chrono::steady_clock::now();
    ASSERT_TRUE(mainQueue->runUntil([&] { return events.back()["type"] == "downloadFailed"; }, 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, 500ms);
    EXPECT_EQ(events.back()["message"], "下载已取消");
    mainQueue->runFor(1500ms);
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_FALSE(fs::exists(vault.partialURL("lesson-r")));
}

// The learner's commands walk the coordinator's state table; each row is one road through it and
// what it leaves on disk.
TEST_F(DownloadResumeTest, PauseResumeAndCancelFollowTheStateTable) {
    using State = DownloadCoordinator::State;
    plan = {{.pace = 40ms}};
    const std::string owner = "owner-key";
    auto waitForPhase = [&](const std::string& assetId, const std::string& phase) {
        return mainQueue->runUntil([&] { return events.back()["assetId"] == assetId && events.back()["phase"] == phase; }, 20s);
    };
    auto waitForEnd = [&](const std::string& assetId) {
        return mainQueue->runUntil([&] { return events.back()["assetId"] == assetId && events.back()["type"] != "downloadProgress"; }, 30s);
    };
    auto startRunning = [&](const std::string& assetId) {
        coordinator->start(test::lessonRequest(assetId));
        return waitForPhase(assetId, "downloading");
    };
    auto startAndPause = [&](const std::string& assetId) {
        return startRunning(assetId) && coordinator->pause(owner, assetId) && waitForPhase(assetId, "paused");
    };
    struct Case {
        const char* name;
        std::function<void(const std::string&)> road;
        std::optional<State> state;  // nullopt: no longer known
        bool filesKept;
        const char* lastEvent;
    };
    const Case cases[] = {
        {"PauseWhileAuthorizing", [&](const std::string& a) { coordinator->start(test::lessonRequest(a)); coordinator->pause(owner, a); },
         State::paused, false, "paused"},
        {"PauseWhileDownloading",
         [&](const std::string& a) {
             ASSERT_TRUE(startRunning(a));
             coordinator->pause(owner, a);
             EXPECT_EQ(coordinator->stateOf(a), State::stopping);
             ASSERT_TRUE(waitForPhase(a, "paused"));
         },
         State::paused, true, "paused"},
        {"ResumedAfterPause",
         [&](const std::string& a) {
             ASSERT_TRUE(startAndPause(a));
             EXPECT_FALSE(coordinator->pause("someone-else", a) || coordinator->resume("someone-else", a, "t", false) ||
                          coordinator->cancel("someone-else", a));
             EXPECT_TRUE(coordinator->resume(owner, a, "fresh-token", false));
             ASSERT_TRUE(waitForEnd(a));
         },
         std::nullopt, false, "downloadCompleted"},
        {"CancelWhileDownloading",
         [&](const std::string& a) {
             ASSERT_TRUE(startRunning(a));
             coordinator->cancel(owner, a);
             ASSERT_TRUE(waitForEnd(a));
         },
         std::nullopt, false, "downloadFailed"},
        {"CancelWhilePaused",
         [&](const std::string& a) {
             ASSERT_TRUE(startAndPause(a));
             coordinator->cancel(owner, a);
         },
         std::nullopt, false, "downloadFailed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string assetId = std::string("lesson-") + c.name;
        events.clear();
        c.road(assetId);
        EXPECT_EQ(coordinator->stateOf(assetId), c.state);
        EXPECT_EQ(fs::exists(vault.partialURL(assetId)), c.filesKept);
        EXPECT_EQ(fs::exists(vault.resumeURL(assetId)), c.filesKept);
        const Json& last = events.back();
        EXPECT_EQ(last["type"] == "downloadProgress" ? last["phase"] : last["type"], c.lastEvent);
        if (last["type"] == "downloadFailed") {
            EXPECT_EQ(last["message"], "下载已取消");
        }
        if (std::string(c.lastEvent) == "downloadCompleted") {
            Bytes stored = vault.readRange({"owner-key", assetId}, 0, kLessonBytes - 1);
            EXPECT_TRUE(std::string(stored.begin(), stored.end()) == lessonVersion(1));
            std::lock_guard lock(mutex);
            EXPECT_EQ(authorizations.back().get_header_value("Authorization"), "Bearer fresh-token");
            EXPECT_EQ(calls.back().range.rfind("bytes=", 0), 0u);  // the rest after the kept records
            EXPECT_EQ(calls.back().ifRange, "\"v1\"");
        }
        int listed = 0;
        for (const Json& item : coordinator->interruptedDownloads(owner)) listed += item["assetId"] == assetId;
        EXPECT_EQ(listed, c.state ? 1 : 0);
    }
    EXPECT_EQ(running.back(), false);
}

// Quitting keeps a running lesson; the next run continues it by itself once the account's session
// is held, authorised with the session's token (retried while the service cannot be reached), from
// the kept records, unless the lesson changed.
TEST_F(DownloadResumeTest, ARunningLessonContinuesAfterARestart) {
    for (int version : {1, 2}) {
        SCOPED_TRACE(version);
        const std::string assetId = "lesson-restart-" + std::to_string(version);
        plan = {{.pace = 40ms}};
        remake({http->tlsTrust()});
        events.clear();
        coordinator->start(test::lessonRequest(assetId));
        ASSERT_TRUE(mainQueue->runUntil([&] { return events.back()["phase"] == "downloading"; }, 20s));
        coordinator->stopAll();  // the application ends
        mainQueue->runUntil([&] { return coordinator->stateOf(assetId) == DownloadCoordinator::State::paused; }, 10s);
        coordinator.reset();
        mainQueue->runFor(100ms);
        const std::uint64_t kept = vault.resumeRecord(assetId)->records;
        ASSERT_GE(kept, 1u);
        EXPECT_FALSE(vault.resumeRecord(assetId)->paused);

        vault.removeLeftoverPartials();  // the next start
        {
            std::lock_guard lock(mutex);
            calls.clear();
            authorizations.clear();
            plan = {{.version = version, .etag = version == 1 ? "\"v1\"" : "\"v2\""}};
            unreachableAuthorizations = version == 1 ? 2 : 0;
        }
        remake({http->tlsTrust(), std::chrono::seconds(10), std::chrono::hours(1), 20ms, 80ms, std::chrono::seconds(20)});
        events.clear();
        coordinator->sessionHeld("someone-else", "their-token");
        EXPECT_TRUE(events.empty());
        EXPECT_EQ(coordinator->interruptedDownloads("someone-else"), Json::array());
        coordinator->sessionHeld("owner-key", "restored-token");
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.front()["phase"], "authorizing");
        EXPECT_EQ(coordinator->interruptedDownloads("owner-key").size(), 1u);
        ASSERT_TRUE(mainQueue->runUntil([&] { return events.back()["type"] == "downloadCompleted"; }, 30s));
        auto retries = std::count_if(events.begin(), events.end(), [](const Json& e) { return e.value("phase", "") == "retrying"; });
        EXPECT_EQ(retries, version == 1 ? 2 : 0);
        Bytes stored = vault.readRange({"owner-key", assetId}, 0, kLessonBytes - 1);
        EXPECT_TRUE(std::string(stored.begin(), stored.end()) == lessonVersion(version));
        std::lock_guard lock(mutex);
        ASSERT_EQ(authorizations.size(), 1u);
        EXPECT_EQ(authorizations[0].get_header_value("Authorization"), "Bearer restored-token");
        EXPECT_EQ(calls.front().range, "bytes=" + std::to_string(kept * 1'048'576) + "-");
        EXPECT_EQ(calls.front().ifRange, "\"v1\"");
        EXPECT_EQ(calls.size(), 1u);  // a changed lesson comes whole in the 200 to the same request
    }
}

// No network: the lesson waits without asking anything and continues as soon as it returns; a
// metered one waits until allowed once; an outage of the media server is retried through.
TEST_F(DownloadResumeTest, WaitsForTheNetworkAndRetriesThroughAnOutage) {
    auto network = std::make_shared<test::FakeNetworkMonitor>();
    remake({http->tlsTrust(), std::chrono::seconds(10), std::chrono::hours(1), 20ms, 80ms, std::chrono::seconds(20)}, network);
    auto phases = [&] {
        std::vector<std::string> seen;
        for (const Json& event : events) {
            if (event["type"] == "downloadProgress" && (seen.empty() || seen.back() != event["phase"])) seen.push_back(event["phase"]);
        }
        return seen;
    };

    plan = {{}};
    network->set(false);
    coordinator->start(test::lessonRequest("lesson-w"));
    mainQueue->runFor(200ms);
    EXPECT_EQ(phases(), std::vector<std::string>{"waitingForNetwork"});
    EXPECT_EQ(events.front()["type"], "networkChanged");
    network->set(true, true);
    EXPECT_EQ(phases(), (std::vector<std::string>{"waitingForNetwork", "meteredNetwork"}));
    coordinator->resume("owner-key", "lesson-w", "held-token", true);
    ASSERT_TRUE(mainQueue->runUntil([&] { return events.back()["type"] == "downloadCompleted"; }, 30s));
    EXPECT_EQ(phases(), (std::vector<std::string>{"waitingForNetwork", "meteredNetwork", "authorizing", "downloading", "completed"}));

    // An outage: five answers cut off at once, then the lesson.
    events.clear();
    {
        std::lock_guard lock(mutex);
        calls.clear();
        plan = {{.dropAt = 1}, {.dropAt = 1}, {.dropAt = 1}, {.dropAt = 1}, {.dropAt = 1}, {}};
    }
    network->set(true, false);
    coordinator->start(test::lessonRequest("lesson-o"));
    ASSERT_TRUE(mainQueue->runUntil([&] { return events.back()["type"] == "downloadCompleted"; }, 30s));
    std::vector<Json> retries;
    for (const Json& event : events) {
        if (event.value("phase", "") == "retrying") retries.push_back(event);
    }
    ASSERT_EQ(retries.size(), 5u);
    EXPECT_FALSE(retries[0]["reason"].get<std::string>().empty());
    EXPECT_EQ(retries[0]["retryInSeconds"], 1);

    // The network goes midway and comes back; a wake from sleep reconnects at once. Each time the
    // rest is asked for after the kept records.
    events.clear();
    {
        std::lock_guard lock(mutex);
        calls.clear();
        plan = {{.pace = 40ms}};
    }
    coordinator->start(test::lessonRequest("lesson-m"));
    ASSERT_TRUE(mainQueue->runUntil([&] { return events.back()["phase"] == "downloading"; }, 20s));
    network->set(false);
    ASSERT_TRUE(mainQueue->runUntil([&] { return events.back()["phase"] == "waitingForNetwork"; }, 5s));
    network->set(true);
    ASSERT_TRUE(mainQueue->runUntil([&] { return events.back()["phase"] == "downloading"; }, 20s));
    network->wake();
    ASSERT_TRUE(mainQueue->runUntil([&] { return events.back()["type"] == "downloadCompleted"; }, 30s));
    std::lock_guard lock(mutex);
    ASSERT_EQ(calls.size(), 3u);
    for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_EQ(calls[i].ifRange, "\"v1\"");
}

}  // namespace
}  // namespace velmora
