#include "downloads/DownloadCoordinator.h"

#include "DownloadFixtures.h"
#include "core/VelmoraError.h"
#include "net/HttpSession.h"

#include <gmock/gmock.h>

#include <filesystem>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string failureOf(long status, const std::string& body) {
    try {
        return "address " + DownloadCoordinator::mediaAddressFromAnswer(status, body);
    } catch (const VelmoraError& error) {
        return error.what();
    } catch (const Json::parse_error&) {
        return "parse error";
    }
}

TEST(AuthorizationAnswerTest, FindsTheHttpsAddressOrTheRightFailure) {
    struct Case {
        const char* name;
        long status;
        std::string body;
        std::string expected;
    };
    std::vector<Case> cases = {
        {"InsideData", 200, R"({"data":{"offline_download_url":"https://cdn.test/a.mp4"}})", "address https://cdn.test/a.mp4"},
        {"TopLevel", 200, R"({"offline_download_url":"https://cdn.test/b.mp4"})", "address https://cdn.test/b.mp4"},
        {"TopLevelWhenDataLacksIt", 200, R"({"data":{"x":1},"offline_download_url":"https://cdn.test/c.mp4"})",
         "address https://cdn.test/c.mp4"},
        {"TopLevelWhenDataEmpty", 200, R"({"data":{},"offline_download_url":"https://cdn.test/d.mp4"})",
         "address https://cdn.test/d.mp4"},
        {"UnusableInsideDataIsNotRescued", 200,
         R"({"data":{"offline_download_url":"http://cdn.test/a.mp4"},"offline_download_url":"https://cdn.test/b.mp4","msg":"无权限"})",
         "无权限"},
        {"HttpSchemeWithoutMsg", 200, R"({"offline_download_url":"http://cdn.test/a.mp4"})", "当前课时未提供可下载的 MP4 媒体"},
        {"UpperCaseScheme", 200, R"({"offline_download_url":"HTTPS://cdn.test/a.mp4"})", "当前课时未提供可下载的 MP4 媒体"},
        {"NotAUrl", 200, R"({"offline_download_url":"not a url","msg":"课时未开放"})", "课时未开放"},
        {"EmptyMsgIsKept", 200, R"({"msg":""})", ""},
        {"NonTextMsg", 200, R"({"msg":5})", "当前课时未提供可下载的 MP4 媒体"},
        {"Unauthorized", 401, R"({"offline_download_url":"https://cdn.test/a.mp4"})", "课程授权服务返回 HTTP 401"},
        {"Array", 200, R"([1,2])", "课程授权结果格式异常"},
        {"Scalar", 200, R"("text")", "课程授权结果格式异常"},
        {"NotJson", 200, "<html>", "parse error"},
        {"OverEightMiB", 200, R"({"msg":")" + std::string(8 * 1024 * 1024, 'a') + R"("})", "课程授权结果格式异常"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(failureOf(c.status, c.body), c.expected);
    }
    std::string exactlyEightMiB = R"({"msg":")" + std::string(8 * 1024 * 1024 - 10, 'a') + R"("})";
    ASSERT_EQ(exactlyEightMiB.size(), 8u * 1024 * 1024);
    EXPECT_EQ(failureOf(200, exactlyEightMiB), std::string(8 * 1024 * 1024 - 10, 'a'));
}

// A coordinator over a real session and vault, and the test server's authorisation route.
class DownloadCoordinatorTest : public test::DownloadServerTest {
protected:
    void SetUp() override {
        DownloadServerTest::SetUp();
        http = std::make_shared<HttpSession>(server.endpoints(), mainQueue);
        coordinator = DownloadCoordinator::make([this](const Json& message) { events.push_back(message); },
                                                {server.endpoints(), mainQueue, http, &vault, {http->tlsTrust()}});
    }

    bool waitForEnd(const std::string& assetId) {
        return mainQueue->runUntil([&] {
            for (const Json& event : events) {
                if (event["assetId"] == assetId && (event["type"] == "downloadCompleted" || event["type"] == "downloadFailed")) return true;
            }
            return false;
        }, 60s);
    }

    std::vector<Json> eventsOfType(const std::string& type) const {
        std::vector<Json> out;
        for (const Json& event : events) {
            if (event["type"] == type) out.push_back(event);
        }
        return out;
    }

    std::shared_ptr<HttpSession> http;
    std::shared_ptr<DownloadCoordinator> coordinator;
    std::vector<Json> events;
};

TEST_F(DownloadCoordinatorTest, RunsALessonFromAuthorisationToCompletion) {
    answerWithMedia("/media/2500000");
    coordinator->start(test::lessonRequest("lesson-a"));
    ASSERT_EQ(events.size(), 1u);  // "authorizing" is posted before start() returns
    EXPECT_EQ(events[0], (Json{{"type", "downloadProgress"}, {"assetId", "lesson-a"}, {"downloaded", 0}, {"total", 0},
                               {"phase", "authorizing"}}));
    ASSERT_TRUE(waitForEnd("lesson-a"));
    std::vector<std::string> phases;
    for (const Json& event : eventsOfType("downloadProgress")) phases.push_back(event["phase"]);
    EXPECT_EQ(phases, (std::vector<std::string>{"authorizing", "downloading", "downloading", "downloading", "completed"}));
    EXPECT_EQ(events.back(), (Json{{"type", "downloadCompleted"}, {"assetId", "lesson-a"}}));
    EXPECT_EQ(coordinator->activeCount(), 0u);
    std::lock_guard lock(mutex);
    ASSERT_EQ(authorizations.size(), 1u);
    const httplib::Request& call = authorizations[0];
    EXPECT_EQ(call.get_header_value("Authorization"), "Bearer held-token");
    EXPECT_EQ(call.get_header_value("Accept"), "application/json");
    EXPECT_EQ(call.get_header_value("X-Velmora-Client"), "app");
    EXPECT_EQ(call.get_param_value("class_id"), "42");
    EXPECT_EQ(call.get_param_value("id"), "9001");
    EXPECT_EQ(call.get_param_value("is_mobile"), "1");
    EXPECT_EQ(DownloadCoordinator::authorizationURL(server.endpoints(), test::lessonRequest("x")),
              server.url(std::string(test::kAuthorizationPath) + "?class_id=42&id=9001&is_mobile=1"));
}

// A duplicate is refused while the first is authorised and while it downloads, and never starts.
TEST_F(DownloadCoordinatorTest, SecondRequestIsRefusedWhileTheFirstIsAuthorisedOrDownloading) {
    const Json refusal = {{"type", "downloadFailed"}, {"assetId", "lesson-a"}, {"message", "该小节已在下载队列中"}};
    answerWithMedia("/stall/1200000");
    coordinator->start(test::lessonRequest("lesson-a"));
    coordinator->start(test::lessonRequest("lesson-a"));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], refusal);
    ASSERT_TRUE(mainQueue->runUntil([&] { return eventsOfType("downloadProgress").size() >= 2; }, 20s));
    coordinator->start(test::lessonRequest("lesson-a"));
    EXPECT_EQ(eventsOfType("downloadFailed"), (std::vector<Json>{refusal, refusal}));
    coordinator->cancel("owner-key", "lesson-a");
    ASSERT_TRUE(mainQueue->runUntil([&] { return eventsOfType("downloadFailed").size() == 3; }, 20s));
    EXPECT_EQ(eventsOfType("downloadFailed")[2]["message"], "下载已取消");
    EXPECT_FALSE(fs::exists(vault.partialURL("lesson-a")));
    mainQueue->runFor(200ms);
    EXPECT_EQ(eventsOfType("downloadFailed").size(), 3u);
    std::lock_guard lock(mutex);
    EXPECT_EQ(authorizations.size(), 1u);
}

TEST_F(DownloadCoordinatorTest, FailuresLeaveNothingAndTheLessonCanBeRetried) {
    // Status, media route, bytes of trailing white space in the answer, expected message.
    const std::vector<std::tuple<int, const char*, std::size_t, testing::Matcher<std::string>>> failures = {
        {401, "/media/5000", 0, testing::StrEq("课程授权服务返回 HTTP 401")},
        {503, "/media/5000", 9 * 1024 * 1024, testing::StrEq("课程授权服务返回 HTTP 503")},  // status before size
        {200, "/status/404", 0, testing::StrEq("课程媒体服务返回 HTTP 404")},
    };
    for (const auto& [status, media, padding, message] : failures) {
        SCOPED_TRACE(testing::Message() << status << " " << media);
        events.clear();
        answerStatus = status;
        answerWithMedia(media);
        answerBody.append(padding, ' ');
        coordinator->start(test::lessonRequest("lesson-b"));
        ASSERT_TRUE(waitForEnd("lesson-b"));
        ASSERT_EQ(eventsOfType("downloadFailed").size(), 1u);
        EXPECT_THAT(events.back()["message"].get<std::string>(), message);
        EXPECT_TRUE(fs::is_empty(vault.rootURL()));
    }
    answerStatus = 200;
    answerWithMedia("/media/5000");
    events.clear();
    coordinator->start(test::lessonRequest("lesson-b"));
    EXPECT_EQ(events.front()["phase"], "authorizing");
    ASSERT_TRUE(waitForEnd("lesson-b"));
    EXPECT_EQ(events.back()["type"], "downloadCompleted");
}

TEST_F(DownloadCoordinatorTest, ReleasedCoordinatorPostsNothingMore) {
    answerWithMedia("/stall/1200000");
    coordinator->start(test::lessonRequest("lesson-a"));
    ASSERT_TRUE(mainQueue->runUntil([&] { return eventsOfType("downloadProgress").size() >= 2; }, 20s));
    coordinator->cancel("owner-key", "lesson-a");
    std::size_t seen = events.size();
    coordinator.reset();
    mainQueue->runFor(1500ms);
    EXPECT_EQ(events.size(), seen);
}

}  // namespace
}  // namespace velmora
