#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "DemoService.h"
#include "support/TempDirectory.h"

namespace velmora::demo::test {
namespace {

using nlohmann::json;

constexpr std::size_t kShortClipBytes = 300'000;
constexpr std::size_t kMediumClipBytes = 2'500'000;

std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

httplib::Headers bearer(const std::string& token) { return {{"Authorization", "Bearer " + token}}; }

// A demo service on a free port of 127.0.0.1 with fake clips, asked through a client that trusts only its CA.
class DemoServiceTest : public ::testing::Test {
protected:
    DemoServiceTest() {
        std::filesystem::create_directories(folder_ / "media");
        velmora::test::writeFile(folder_ / "media" / "clip-short.mp4", pattern(kShortClipBytes));
        velmora::test::writeFile(folder_ / "media" / "clip-medium.mp4", pattern(kMediumClipBytes));
        restart();
    }

    // Stops the service and starts a new one over the same state folder.
    void restart(std::optional<std::uint64_t> dropMediaOnceAt = std::nullopt, std::chrono::seconds outage = {}) {
        service_.reset();
        service_ = std::make_unique<DemoService>(
            DemoServiceConfig{folder_ / "state", folder_ / "media", "127.0.0.1", 0, dropMediaOnceAt, outage});
        port_ = service_->start();
    }

    std::unique_ptr<httplib::SSLClient> client() const {
        auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", port_);
        client->set_ca_cert_path(service_->tlsFiles().caCertificate.c_str());
        client->enable_server_certificate_verification(true);
        return client;
    }

    httplib::Response get(const std::string& path, const httplib::Headers& headers = {}) {
        auto result = client()->Get(path, headers);
        EXPECT_TRUE(result) << path;
        return result ? *result : httplib::Response{};
    }

    httplib::Response post(const std::string& path, const std::string& body, const httplib::Headers& headers = {}) {
        auto result = client()->Post(path, headers, body, "application/json");
        EXPECT_TRUE(result) << path;
        return result ? *result : httplib::Response{};
    }

    std::string signIn(const std::string& account) {
        return json::parse(post("/api/web/v2/auth/login", json{{"account", account}, {"password", "velmora123"}}.dump()).body)
            ["data"]["token"];
    }

    json getData(const std::string& path, const std::string& token, int expectedStatus = 200) {
        const httplib::Response result = get(path, bearer(token));
        EXPECT_EQ(result.status, expectedStatus) << path << ": " << result.body;
        return json::parse(result.body);
    }

    std::string authorisationPath(const std::string& classId, const std::string& lessonId, const std::string& mobile = "1") {
        return "/api/web/v2/classes/getClassChapterItemStashInfo?class_id=" + classId + "&id=" + lessonId +
               "&is_mobile=" + mobile;
    }

    // The signed media path the offline authorisation hands out for the short clip.
    std::string offlinePath() {
        const std::string address = getData(authorisationPath("101", "10001"), signIn("xiaoming"))["data"]["offline_download_url"];
        return address.substr(service_->origin().size());
    }

    velmora::test::TempDirectory folder_;
    std::unique_ptr<DemoService> service_;
    int port_ = 0;
};

TEST_F(DemoServiceTest, SignInAnswersTokenOwnerKeyAndDisplayName) {
    const httplib::Response result = post("/api/web/v2/auth/login", R"({"account":"xiaoming","password":"velmora123"})");
    ASSERT_EQ(result.status, 200);
    const json data = json::parse(result.body)["data"];
    EXPECT_FALSE(data["token"].get<std::string>().empty());
    EXPECT_EQ(data["owner_key"], "acct-7f3a9c21-xiaoming");
    EXPECT_EQ(data["display_name"], "李小明");

    for (const char* body : {R"({"account":"xiaoming","password":"nope"})", R"({"account":"nobody","password":"velmora123"})",
                             R"({"account":5})", "not json"}) {
        SCOPED_TRACE(body);
        const httplib::Response refused = post("/api/web/v2/auth/login", body);
        EXPECT_EQ(refused.status, 401);
        EXPECT_EQ(json::parse(refused.body)["msg"], "账号或密码错误");
    }
}

TEST_F(DemoServiceTest, ApiRefusesMissingForgedAndAlteredTokensAndAnswersUnknownPathsInJson) {
    const std::string token = signIn("xiaoming");
    std::string altered = token;
    altered.back() = altered.back() == '0' ? '1' : '0';
    const std::string otherAccount = std::regex_replace(token, std::regex("xiaoming"), "xiaohong");
    for (const std::string& bad : {std::string(), std::string("vdt.xiaoming.1.0"), altered, otherAccount}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(getData("/api/web/v2/classes", bad, 401)["msg"], "登录已过期，请重新登录");
    }
    EXPECT_EQ(get("/api/web/v2/me").status, 401);

    const httplib::Response unknown = get("/api/web/v2/nothing-here");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(json::parse(unknown.body)["msg"], "接口不存在");
}

TEST_F(DemoServiceTest, ProgressIsCheckedAndSurvivesARestart) {
    const std::string token = signIn("xiaohong");
    const std::pair<const char*, int> cases[] = {
        {R"({"lesson_id":10001})", 400},
        {R"({"lesson_id":"10001","position":3})", 400},
        {R"({"lesson_id":10001,"position":-1})", 400},
        {R"([1,2])", 400},
        {R"({"lesson_id":20001,"position":3})", 404},  // class 102: xiaohong is not enrolled
        {R"({"lesson_id":99999,"position":3})", 404},
    };
    for (const auto& [body, status] : cases) {
        SCOPED_TRACE(body);
        EXPECT_EQ(post("/api/web/v2/progress", body, bearer(token)).status, status);
    }
    EXPECT_TRUE(getData("/api/web/v2/lessons/10001", token)["data"]["progress"].is_null());

    const httplib::Response saved = post("/api/web/v2/progress", R"({"lesson_id":10001,"position":42.5,"duration":60})", bearer(token));
    ASSERT_EQ(saved.status, 200) << saved.body;
    restart();
    const json lesson = getData("/api/web/v2/lessons/10001", token)["data"];
    EXPECT_DOUBLE_EQ(lesson["progress"]["position"].get<double>(), 42.5);
    EXPECT_DOUBLE_EQ(lesson["progress"]["duration"].get<double>(), 60);
}

TEST_F(DemoServiceTest, CatalogueShowsOnlyTheLearnersClasses) {
    const std::string token = signIn("xiaohong");
    const json classes = getData("/api/web/v2/classes", token)["data"];
    std::vector<std::int64_t> ids;
    for (const auto& c : classes) ids.push_back(c["id"]);
    EXPECT_EQ(ids, (std::vector<std::int64_t>{101, 103}));
    EXPECT_EQ(classes[0]["title"], "高一（3）班 · 数学");

    EXPECT_EQ(getData("/api/web/v2/classes/102/courses", token, 404)["msg"], "班级不存在");
    EXPECT_EQ(getData("/api/web/v2/courses/2001", token, 404)["msg"], "课程不存在");
    EXPECT_EQ(getData("/api/web/v2/lessons/20001", token, 404)["msg"], "课时不存在");

    const json courses = getData("/api/web/v2/classes/101/courses", token)["data"]["courses"];
    ASSERT_EQ(courses.size(), 2u);
    EXPECT_EQ(courses[0]["title"], "函数与导数");
    EXPECT_EQ(courses[0]["lesson_count"], 4);
}

TEST_F(DemoServiceTest, CourseListsChaptersAndLeavesOutLessonsWhoseClipIsNotMade) {
    const std::string token = signIn("xiaoming");
    const json course = getData("/api/web/v2/courses/1001", token)["data"];
    ASSERT_EQ(course["chapters"].size(), 2u);
    EXPECT_EQ(course["chapters"][1]["title"], "第二章 导数初步");
    EXPECT_EQ(course["chapters"][1]["lessons"][1]["offline"], false);
    EXPECT_EQ(course["class"]["id"], 101);

    // The long clip is only made on demand; until then its lesson is not offered.
    const json physics = getData("/api/web/v2/courses/3001", token)["data"];
    ASSERT_EQ(physics["chapters"][0]["lessons"].size(), 1u);
    EXPECT_EQ(physics["chapters"][0]["lessons"][0]["asset_id"], "physics-3001-01");
}

TEST_F(DemoServiceTest, LessonCarriesPlayableAddressAndCourseware) {
    const json lesson = getData("/api/web/v2/lessons/10002", signIn("xiaoming"))["data"];
    EXPECT_EQ(lesson["asset_id"], "math-1001-02");
    EXPECT_EQ(lesson["chapter_title"], "第一章 函数的概念");
    EXPECT_EQ(lesson["course_index"], 1);
    const std::string playUrl = lesson["play_url"];
    ASSERT_TRUE(playUrl.starts_with(service_->origin() + "/media/medium.mp4?")) << playUrl;

    const httplib::Response media = get(playUrl.substr(service_->origin().size()));
    EXPECT_EQ(media.status, 200);
    EXPECT_EQ(media.body, pattern(kMediumClipBytes));
    EXPECT_EQ(media.get_header_value("Content-Type"), "video/mp4");

    ASSERT_EQ(lesson["courseware"].size(), 2u);
    EXPECT_EQ(lesson["courseware"][0]["name"], "函数与导数-讲义.txt");
}

TEST_F(DemoServiceTest, OfflineAuthorisationAnswersAsTheClientReadsIt) {
    struct Case {
        const char* account;  // "" sends no token
        const char* classId;
        const char* lessonId;
        const char* mobile;
        int status;
        const char* message;  // "" when an address is expected
    };
    const Case cases[] = {
        {"xiaoming", "101", "10002", "1", 200, ""},
        {"", "101", "10002", "1", 401, "登录已过期，请重新登录"},
        {"xiaoming", "101", "10002", "0", 400, "离线授权参数无效"},
        {"xiaoming", "", "10002", "1", 400, "离线授权参数无效"},
        {"xiaoming", "102", "10002", "1", 404, "课时不存在"},
        {"xiaohong", "102", "20001", "1", 403, "你没有该班级的学习权限"},
        {"xiaoming", "101", "10004", "1", 200, "本课时仅支持在线观看，暂不提供离线下载"},
        {"xiaoming", "103", "30002", "1", 200, "该课时的媒体暂未生成"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.account) + " " + c.classId + "/" + c.lessonId + " mobile=" + c.mobile);
        const json answer = getData(authorisationPath(c.classId, c.lessonId, c.mobile), *c.account ? signIn(c.account) : "", c.status);
        if (*c.message) {
            EXPECT_EQ(answer["msg"], c.message);
            EXPECT_FALSE(answer.contains("data") && answer["data"].is_object() && answer["data"].contains("offline_download_url"));
        } else {
            const std::string address = answer["data"]["offline_download_url"];
            EXPECT_TRUE(address.starts_with("https://127.0.0.1:")) << address;
        }
    }
}

TEST_F(DemoServiceTest, OfflineAddressServesTheClipWithRangesAndWithoutCredentials) {
    const std::string path = offlinePath();
    const std::string clip = pattern(kShortClipBytes);
    const httplib::Response whole = get(path, {{"Accept-Encoding", "identity"}});
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.get_header_value("Content-Length"), std::to_string(clip.size()));
    EXPECT_EQ(whole.body, clip);

    const std::tuple<const char*, std::size_t, std::size_t> ranges[] = {
        {"bytes=100-199", 100, 199},   {"bytes=299990-", 299990, 299999},
        {"bytes=-10", 299990, 299999}, {"bytes=299000-999999", 299000, 299999},
        {"bytes=-999999", 0, 299999},  {"bytes=0-0,5-9", 0, 0}};
    for (const auto& [range, first, last] : ranges) {
        SCOPED_TRACE(range);
        const httplib::Response part = get(path, {{"Range", range}});
        EXPECT_EQ(part.status, 206);
        EXPECT_EQ(part.get_header_value("Content-Range"),
                  "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(clip.size()));
        EXPECT_EQ(part.body, clip.substr(first, last - first + 1));
    }
    for (const char* range : {"bytes=300000-", "bytes=999999999-", "bytes=-0"}) {
        SCOPED_TRACE(range);
        const httplib::Response result = get(path, {{"Range", range}});
        EXPECT_EQ(result.status, 416);
        EXPECT_EQ(result.get_header_value("Content-Range"), "bytes */300000");
        EXPECT_EQ(json::parse(result.body)["msg"], "请求的媒体范围无效");
    }
}

TEST_F(DemoServiceTest, DropSwitchBreaksOneWholeTransferAndTheRestComesWithIfRange) {
    restart(100'000);
    const std::string path = offlinePath();
    const std::string clip = pattern(kShortClipBytes);
    std::string received;
    auto broken = client()->Get(path, [&](const char* data, std::size_t length) {
        received.append(data, length);
        return true;
    });
    EXPECT_FALSE(broken);
    EXPECT_EQ(received, clip.substr(0, 100'000));

    const httplib::Response whole = get(path);  // the switch works once
    EXPECT_EQ(whole.body, clip);
    const std::string etag = whole.get_header_value("ETag");
    ASSERT_FALSE(etag.empty());
    const httplib::Response rest = get(path, {{"Range", "bytes=100000-"}, {"If-Range", etag}});
    EXPECT_EQ(rest.status, 206);
    EXPECT_EQ(rest.body, clip.substr(100'000));
    const httplib::Response changed = get(path, {{"Range", "bytes=100000-"}, {"If-Range", "\"other\""}});
    EXPECT_EQ(changed.status, 200);
    EXPECT_EQ(changed.body, clip);
}

TEST_F(DemoServiceTest, OutageAfterTheDropRefusesConnectionsThenServesTheSamePortAgain) {
    restart(100'000, std::chrono::seconds(1));
    const std::string path = offlinePath();
    EXPECT_FALSE(client()->Get(path));  // the drop
    const auto dropped = std::chrono::steady_clock::now();
    bool refused = false;
    while (!refused && std::chrono::steady_clock::now() - dropped < std::chrono::milliseconds(500)) {
        refused = client()->Get("/").error() == httplib::Error::Connection;
    }
    EXPECT_TRUE(refused);
    std::string answered;
    while (answered.empty() && std::chrono::steady_clock::now() - dropped < std::chrono::seconds(10)) {
        if (auto result = client()->Get(path)) answered = result->body;
    }
    EXPECT_EQ(answered, pattern(kShortClipBytes));
    EXPECT_EQ(service_->mediaBytesSent(), 100'000u + kShortClipBytes);
}

TEST_F(DemoServiceTest, MediaRefusesAlteredOrExpiredSignatures) {
    const std::string path = offlinePath();
    const std::string otherClip = std::regex_replace(path, std::regex("/short\\.mp4"), "/medium.mp4");
    const std::string laterExpiry = std::regex_replace(path, std::regex("expires=(\\d+)"), "expires=9$1");
    for (const std::string& bad :
         {otherClip, laterExpiry, std::string("/media/short.mp4"), std::string("/media/short.mp4?expires=1&sig=00")}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(get(bad).status, 403);
    }
}

TEST_F(DemoServiceTest, CoursewareNeedsTheLearnersTokenAndNamesTheFile) {
    EXPECT_EQ(get("/files/courseware/1001/1").status, 401);
    const httplib::Response file = get("/files/courseware/1001/1", bearer(signIn("xiaoming")));
    EXPECT_EQ(file.status, 200);
    EXPECT_NE(file.body.find("函数与导数"), std::string::npos);
    // The client library percent-decodes header values; on the wire the name is UTF-8 percent-encoded.
    EXPECT_EQ(file.get_header_value("Content-Disposition"), "attachment; filename*=UTF-8''函数与导数-讲义.txt");

    const std::string hong = signIn("xiaohong");
    for (const char* missing : {"/files/courseware/2001/1", "/files/courseware/1001/3", "/files/courseware/1001/0"}) {
        SCOPED_TRACE(missing);
        EXPECT_EQ(get(missing, bearer(hong)).status, 404);
    }
}

}  // namespace
}  // namespace velmora::demo::test
