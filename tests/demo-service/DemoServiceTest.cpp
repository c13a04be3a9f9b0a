#include <gtest/gtest.h>

#include <regex>

#include "DemoTestClient.h"

namespace velmora::demo::test {
namespace {

using nlohmann::json;

class DemoServiceTest : public ::testing::Test {
protected:
    json getData(const std::string& path, const std::string& token, int expectedStatus = 200) {
        auto result = demo_.client()->Get(path, RunningDemo::bearer(token));
        EXPECT_TRUE(result) << path;
        if (!result) return nullptr;
        EXPECT_EQ(result->status, expectedStatus) << path << ": " << result->body;
        return json::parse(result->body);
    }

    std::string authorisationPath(const std::string& classId, const std::string& lessonId, const std::string& mobile = "1") {
        return "/api/web/v2/classes/getClassChapterItemStashInfo?class_id=" + classId + "&id=" + lessonId +
               "&is_mobile=" + mobile;
    }

    velmora::test::TempDirectory folder_;
    RunningDemo demo_{folder_.path()};
};

TEST_F(DemoServiceTest, SignInAnswersTokenOwnerKeyAndDisplayName) {
    auto result =
        demo_.client()->Post("/api/web/v2/auth/login", R"({"account":"xiaoming","password":"velmora123"})", "application/json");
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200);
    const json data = json::parse(result->body)["data"];
    EXPECT_FALSE(data["token"].get<std::string>().empty());
    EXPECT_EQ(data["owner_key"], "acct-7f3a9c21-xiaoming");
    EXPECT_EQ(data["display_name"], "李小明");
}

TEST_F(DemoServiceTest, SignInRefusesWrongCredentialsWithAReadableMessage) {
    for (const char* body : {R"({"account":"xiaoming","password":"nope"})", R"({"account":"nobody","password":"velmora123"})",
                             R"({"account":5})", "not json"}) {
        SCOPED_TRACE(body);
        auto result = demo_.client()->Post("/api/web/v2/auth/login", body, "application/json");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 401);
        EXPECT_EQ(json::parse(result->body)["msg"], "账号或密码错误");
    }
}

TEST_F(DemoServiceTest, ApiRefusesMissingForgedAndAlteredTokens) {
    const std::string token = demo_.signIn("xiaoming");
    std::string altered = token;
    altered.back() = altered.back() == '0' ? '1' : '0';
    const std::string otherAccount = std::regex_replace(token, std::regex("xiaoming"), "xiaohong");
    for (const std::string& bad : {std::string(), std::string("vdt.xiaoming.1.0"), altered, otherAccount}) {
        SCOPED_TRACE(bad);
        const json answer = getData("/api/web/v2/classes", bad, 401);
        EXPECT_EQ(answer["msg"], "登录已过期，请重新登录");
    }
    auto noHeader = demo_.client()->Get("/api/web/v2/me");
    ASSERT_TRUE(noHeader);
    EXPECT_EQ(noHeader->status, 401);
}

TEST_F(DemoServiceTest, TokensAndProgressSurviveARestart) {
    const std::string token = demo_.signIn("xiaohong");
    auto saved = demo_.client()->Post("/api/web/v2/progress", RunningDemo::bearer(token),
                                      R"({"lesson_id":10001,"position":42.5,"duration":60})", "application/json");
    ASSERT_TRUE(saved);
    ASSERT_EQ(saved->status, 200) << saved->body;

    demo_.restart();
    const json lesson = getData("/api/web/v2/lessons/10001", token)["data"];
    EXPECT_DOUBLE_EQ(lesson["progress"]["position"].get<double>(), 42.5);
    EXPECT_DOUBLE_EQ(lesson["progress"]["duration"].get<double>(), 60);
}

TEST_F(DemoServiceTest, ProgressRefusesMalformedBodiesAndForeignLessons) {
    const std::string token = demo_.signIn("xiaohong");
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
        auto result = demo_.client()->Post("/api/web/v2/progress", RunningDemo::bearer(token), body, "application/json");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, status);
    }
    EXPECT_TRUE(getData("/api/web/v2/lessons/10001", token)["data"]["progress"].is_null());
}

TEST_F(DemoServiceTest, CatalogueShowsOnlyTheLearnersClasses) {
    const std::string token = demo_.signIn("xiaohong");
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
    const std::string token = demo_.signIn("xiaoming");
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
    const std::string token = demo_.signIn("xiaoming");
    const json lesson = getData("/api/web/v2/lessons/10002", token)["data"];
    EXPECT_EQ(lesson["asset_id"], "math-1001-02");
    EXPECT_EQ(lesson["chapter_title"], "第一章 函数的概念");
    EXPECT_EQ(lesson["course_index"], 1);
    const std::string playUrl = lesson["play_url"];
    ASSERT_TRUE(playUrl.starts_with(demo_.service().origin() + "/media/medium.mp4?")) << playUrl;

    auto media = demo_.client()->Get(playUrl.substr(demo_.service().origin().size()));
    ASSERT_TRUE(media);
    EXPECT_EQ(media->status, 200);
    EXPECT_EQ(media->body, RunningDemo::pattern(RunningDemo::kMediumClipBytes));
    EXPECT_EQ(media->get_header_value("Content-Type"), "video/mp4");

    ASSERT_EQ(lesson["courseware"].size(), 2u);
    EXPECT_EQ(lesson["courseware"][0]["name"], "函数与导数-讲义.txt");
}

struct AuthorisationCase {
    const char* name;
    const char* account;  // "" sends no token
    const char* classId;
    const char* lessonId;
    const char* mobile;
    int status;
    const char* message;  // "" when an address is expected
};

class OfflineAuthorisationTest : public DemoServiceTest, public ::testing::WithParamInterface<AuthorisationCase> {};

TEST_P(OfflineAuthorisationTest, AnswersAsTheClientReadsIt) {
    const AuthorisationCase& c = GetParam();
    const std::string token = *c.account ? demo_.signIn(c.account) : "";
    const json answer = getData(authorisationPath(c.classId, c.lessonId, c.mobile), token, c.status);
    if (*c.message) {
        EXPECT_EQ(answer["msg"], c.message);
        EXPECT_FALSE(answer.contains("data") && answer["data"].is_object() && answer["data"].contains("offline_download_url"));
        return;
    }
    const std::string address = answer["data"]["offline_download_url"];
    EXPECT_TRUE(address.starts_with("https://127.0.0.1:")) << address;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OfflineAuthorisationTest,
    ::testing::Values(AuthorisationCase{"Granted", "xiaoming", "101", "10002", "1", 200, ""},
                      AuthorisationCase{"NoToken", "", "101", "10002", "1", 401, "登录已过期，请重新登录"},
                      AuthorisationCase{"NotMobile", "xiaoming", "101", "10002", "0", 400, "离线授权参数无效"},
                      AuthorisationCase{"ClassMissing", "xiaoming", "", "10002", "1", 400, "离线授权参数无效"},
                      AuthorisationCase{"WrongClass", "xiaoming", "102", "10002", "1", 404, "课时不存在"},
                      AuthorisationCase{"NotEnrolled", "xiaohong", "102", "20001", "1", 403, "你没有该班级的学习权限"},
                      AuthorisationCase{"OnlineOnly", "xiaoming", "101", "10004", "1", 200,
                                        "本课时仅支持在线观看，暂不提供离线下载"},
                      AuthorisationCase{"ClipNotMade", "xiaoming", "103", "30002", "1", 200, "该课时的媒体暂未生成"}),
    [](const auto& info) { return info.param.name; });

TEST_F(DemoServiceTest, OfflineAddressServesTheClipWithRangesAndWithoutCredentials) {
    const std::string token = demo_.signIn("xiaoming");
    const std::string address = getData(authorisationPath("101", "10001"), token)["data"]["offline_download_url"];
    const std::string path = address.substr(demo_.service().origin().size());
    const std::string clip = RunningDemo::pattern(RunningDemo::kShortClipBytes);

    auto whole = demo_.client()->Get(path, {{"Accept-Encoding", "identity"}});
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->status, 200);
    EXPECT_EQ(whole->get_header_value("Content-Length"), std::to_string(clip.size()));
    EXPECT_EQ(whole->body, clip);

    const std::tuple<const char*, std::size_t, std::size_t> ranges[] = {
        {"bytes=100-199", 100, 199},   {"bytes=299990-", 299990, 299999},
        {"bytes=-10", 299990, 299999}, {"bytes=299000-999999", 299000, 299999},
        {"bytes=-999999", 0, 299999},  {"bytes=0-0,5-9", 0, 0}};
    for (const auto& [range, first, last] : ranges) {
        SCOPED_TRACE(range);
        auto part = demo_.client()->Get(path, {{"Range", range}});
        ASSERT_TRUE(part);
        EXPECT_EQ(part->status, 206);
        EXPECT_EQ(part->get_header_value("Content-Range"),
                  "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(clip.size()));
        EXPECT_EQ(part->body, clip.substr(first, last - first + 1));
    }
}

TEST_F(DemoServiceTest, UnsatisfiableRangesAnswer416WithTheSize) {
    const std::string token = demo_.signIn("xiaoming");
    const std::string address = getData(authorisationPath("101", "10001"), token)["data"]["offline_download_url"];
    const std::string path = address.substr(demo_.service().origin().size());
    for (const char* range : {"bytes=300000-", "bytes=999999999-", "bytes=-0"}) {
        SCOPED_TRACE(range);
        auto result = demo_.client()->Get(path, {{"Range", range}});
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 416);
        EXPECT_EQ(result->get_header_value("Content-Range"), "bytes */300000");
        EXPECT_EQ(json::parse(result->body)["msg"], "请求的媒体范围无效");
    }
}

TEST_F(DemoServiceTest, MediaRefusesAlteredOrExpiredSignatures) {
    const std::string token = demo_.signIn("xiaoming");
    const std::string address = getData(authorisationPath("101", "10001"), token)["data"]["offline_download_url"];
    const std::string path = address.substr(demo_.service().origin().size());
    const std::string otherClip = std::regex_replace(path, std::regex("/short\\.mp4"), "/medium.mp4");
    const std::string laterExpiry = std::regex_replace(path, std::regex("expires=(\\d+)"), "expires=9$1");
    for (const std::string& bad :
         {otherClip, laterExpiry, std::string("/media/short.mp4"), std::string("/media/short.mp4?expires=1&sig=00")}) {
        SCOPED_TRACE(bad);
        auto result = demo_.client()->Get(bad);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 403);
    }
}

TEST_F(DemoServiceTest, CoursewareNeedsTheLearnersTokenAndNamesTheFile) {
    const std::string path = "/files/courseware/1001/1";
    auto anonymous = demo_.client()->Get(path);
    ASSERT_TRUE(anonymous);
    EXPECT_EQ(anonymous->status, 401);

    auto file = demo_.client()->Get(path, RunningDemo::bearer(demo_.signIn("xiaoming")));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->status, 200);
    EXPECT_NE(file->body.find("函数与导数"), std::string::npos);
    // The client library percent-decodes header values; on the wire the name is UTF-8 percent-encoded.
    EXPECT_EQ(file->get_header_value("Content-Disposition"), "attachment; filename*=UTF-8''函数与导数-讲义.txt");

    const std::string hong = demo_.signIn("xiaohong");
    for (const char* missing : {"/files/courseware/2001/1", "/files/courseware/1001/3", "/files/courseware/1001/0"}) {
        SCOPED_TRACE(missing);
        auto result = demo_.client()->Get(missing, RunningDemo::bearer(hong));
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 404);
    }
}

TEST_F(DemoServiceTest, UnknownApiPathsAnswerJson) {
    auto result = demo_.client()->Get("/api/web/v2/nothing-here");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 404);
    EXPECT_EQ(json::parse(result->body)["msg"], "接口不存在");
}

}  // namespace
}  // namespace velmora::demo::test
