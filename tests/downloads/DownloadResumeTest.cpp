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

    // Retries 20 ms apart at first and 80 ms apart at most, given up after `window` without a new record.
    EncryptedDownload::Options quickRetries(std::chrono::milliseconds window) const {
        return {http->tlsTrust(), 10s, std::chrono::hours(1), 20ms, 80ms, window};
    }

    // The media route follows `answers` from now on; the calls and authorisations so far are forgotten.
    void replan(std::vector<Answer> answers) {
        std::lock_guard lock(mutex);
        plan = std::move(answers);
        calls.clear();
        authorizations.clear();
    }

    // Runs until the last event is `assetId`'s progress in `phase`, or its ending when `phase` is empty.
    bool waitFor(const std::string& assetId, const std::string& phase = "", std::chrono::milliseconds timeout = 30s) {
        return mainQueue->runUntil([&] {
            if (events.empty() || events.back().value("assetId", "") != assetId) return false;
            return phase.empty() ? events.back()["type"] != "downloadProgress" : events.back().value("phase", "") == phase;
        }, timeout);
    }

    bool runToEnd(const std::string& assetId) {
        coordinator->start(test::lessonRequest(assetId));
        return waitFor(assetId, "", 60s);
    }

    std::vector<Json> progressIn(const std::string& phase) const {
        std::vector<Json> out;
        for (const Json& event : events) {
            if (event.value("phase", "") == phase) out.push_back(event);
        }
        return out;
    }

    std::vector<std::uint64_t> downloadingCounts() const {
        std::vector<std::uint64_t> counts;
        for (const Json& event : progressIn("downloading")) counts.push_back(event["downloaded"]);
        return counts;
    }

    std::string storedLesson(const std::string& assetId) const {
        Bytes stored = vault.readRange({"owner-key", assetId}, 0, kLessonBytes - 1);
        return {stored.begin(), stored.end()};
    }

    std::shared_ptr<HttpSession> http;
    std::shared_ptr<DownloadCoordinator> coordinator;
    std::vector<Json> events;
    std::vector<bool> running;
    std::vector<Answer> plan;
    std::vector<MediaCall> calls;
};

// Each break is retried, after the kept whole records with a range the server may honour or ignore
// (from the first byte while none is kept), for as many breaks as the window allows.
TEST_F(DownloadResumeTest, BrokenTransfersResumeOrStartOverAndEndOnce) {
    remake(quickRetries(20s));
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
        {"OutageBeforeAnyRecord",
         {{.dropAt = 1}, {.dropAt = 1}, {.dropAt = 1}, {.dropAt = 1}, {.dropAt = 1}, {}},
         {"", "bytes=0-", "bytes=0-", "bytes=0-", "bytes=0-", "bytes=0-"},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        replan(c.plan);
        const std::string assetId = std::string("lesson-") + c.name;
        ASSERT_TRUE(runToEnd(assetId));
        int endings = 0;
        for (const Json& event : events) endings += event["type"] == "downloadCompleted" || event["type"] == "downloadFailed";
        EXPECT_EQ(endings, 1);
        std::vector<std::uint64_t> counts = downloadingCounts();
        EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()) && std::adjacent_find(counts.begin(), counts.end()) == counts.end());
        std::vector<Json> retries = progressIn("retrying");
        ASSERT_EQ(retries.size(), c.ranges.size() - 1);
        EXPECT_FALSE(retries[0]["reason"].get<std::string>().empty());
        EXPECT_EQ(retries[0]["retryInSeconds"], 1);
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
        EXPECT_TRUE(storedLesson(assetId) == lessonVersion(c.storedVersion));
    }
}

// Breaks that bring no new record end the retries after their window: the lesson is paused with
// the platform's reason, its whole records kept, never failed, each try after the kept records.
TEST_F(DownloadResumeTest, BreaksBeyondTheRetryWindowPauseWithTheReason) {
    remake(quickRetries(2000ms));  // a window of several tries, also where each try is slow (TSan)
    plan = {{.dropAt = kDropAt}};
    coordinator->start(test::lessonRequest("lesson-k"));
    ASSERT_TRUE(waitFor("lesson-k", "paused"));
    const Json& paused = events.back();
    EXPECT_EQ(paused["downloaded"], 1'048'576u);
    EXPECT_EQ(paused["total"], kLessonBytes);
    EXPECT_THAT(paused["reason"].get<std::string>(), testing::HasSubstr("transfer closed"));
    EXPECT_GE(progressIn("retrying").size(), 2u);
    EXPECT_EQ(coordinator->stateOf("lesson-k"), DownloadCoordinator::State::paused);
    EXPECT_EQ(vault.resumeRecord("lesson-k")->records, 1u);
    std::lock_guard lock(mutex);
    ASSERT_GE(calls.size(), 3u);
    for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_EQ(calls[i].range + " " + calls[i].ifRange, "bytes=1048576- \"v1\"");
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
    auto startRunning = [&](const std::string& assetId) {
        coordinator->start(test::lessonRequest(assetId));
        return waitFor(assetId, "downloading");
    };
    auto startAndPause = [&](const std::string& assetId) {
        return startRunning(assetId) && coordinator->pause(owner, assetId) && waitFor(assetId, "paused");
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
             ASSERT_TRUE(waitFor(a, "paused"));
         },
         State::paused, true, "paused"},
        {"ResumedAfterPause",
         [&](const std::string& a) {
             ASSERT_TRUE(startAndPause(a));
             EXPECT_FALSE(coordinator->pause("someone-else", a) || coordinator->resume("someone-else", a, "t", false) ||
                          coordinator->cancel("someone-else", a));
             EXPECT_TRUE(coordinator->resume(owner, a, "fresh-token", false));
             ASSERT_TRUE(waitFor(a));
         },
         std::nullopt, false, "downloadCompleted"},
        {"CancelWhileDownloading",
         [&](const std::string& a) {
             ASSERT_TRUE(startRunning(a));
             coordinator->cancel(owner, a);
             ASSERT_TRUE(waitFor(a));
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
            EXPECT_TRUE(storedLesson(assetId) == lessonVersion(1));
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
        ASSERT_TRUE(waitFor(assetId, "downloading"));
        coordinator->stopAll();  // the application ends
        mainQueue->runUntil([&] { return coordinator->stateOf(assetId) == DownloadCoordinator::State::paused; }, 10s);
        coordinator.reset();
        mainQueue->runFor(100ms);
        const std::uint64_t kept = vault.resumeRecord(assetId)->records;
        ASSERT_GE(kept, 1u);
        EXPECT_FALSE(vault.resumeRecord(assetId)->paused);

        vault.removeLeftoverPartials();  // the next start
        replan({{.version = version, .etag = version == 1 ? "\"v1\"" : "\"v2\""}});
        unreachableAuthorizations = version == 1 ? 2 : 0;
        remake(quickRetries(20s));
        events.clear();
        coordinator->sessionHeld("someone-else", "their-token");
        EXPECT_TRUE(events.empty());
        EXPECT_EQ(coordinator->interruptedDownloads("someone-else"), Json::array());
        coordinator->sessionHeld("owner-key", "restored-token");
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.front()["phase"], "authorizing");
        EXPECT_EQ(coordinator->interruptedDownloads("owner-key").size(), 1u);
        ASSERT_TRUE(waitFor(assetId));
        EXPECT_EQ(events.back()["type"], "downloadCompleted");
        EXPECT_EQ(progressIn("retrying").size(), version == 1 ? 2u : 0u);
        EXPECT_TRUE(storedLesson(assetId) == lessonVersion(version));
        std::lock_guard lock(mutex);
        ASSERT_EQ(authorizations.size(), 1u);
        EXPECT_EQ(authorizations[0].get_header_value("Authorization"), "Bearer restored-token");
        EXPECT_EQ(calls.front().range, "bytes=" + std::to_string(kept * 1'048'576) + "-");
        EXPECT_EQ(calls.front().ifRange, "\"v1\"");
        EXPECT_EQ(calls.size(), 1u);  // a changed lesson comes whole in the 200 to the same request
    }
}

// No network: the lesson waits without asking anything and continues as soon as it returns; a
// metered one waits until allowed once. The network going midway, and a wake from sleep, each
// reconnect after the kept records.
TEST_F(DownloadResumeTest, WaitsForTheNetworkAndReconnectsWhenItReturns) {
    auto network = std::make_shared<test::FakeNetworkMonitor>();
    remake(quickRetries(20s), network);
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
    ASSERT_TRUE(waitFor("lesson-w"));
    EXPECT_EQ(phases(), (std::vector<std::string>{"waitingForNetwork", "meteredNetwork", "authorizing", "downloading", "completed"}));

    network->set(true, false);
    replan({{.pace = 40ms}});
    coordinator->start(test::lessonRequest("lesson-m"));
    ASSERT_TRUE(waitFor("lesson-m", "downloading"));
    network->set(false);
    ASSERT_TRUE(waitFor("lesson-m", "waitingForNetwork", 5s));
    network->set(true);
    ASSERT_TRUE(waitFor("lesson-m", "downloading"));
    network->wake();
    ASSERT_TRUE(waitFor("lesson-m"));
    EXPECT_EQ(events.back()["type"], "downloadCompleted");
    std::lock_guard lock(mutex);
    ASSERT_EQ(calls.size(), 3u);
    for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_EQ(calls[i].ifRange, "\"v1\"");
}

}  // namespace
}  // namespace velmora
