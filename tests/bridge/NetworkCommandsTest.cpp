#include <gtest/gtest.h>

#include <array>
#include <regex>
#include <tuple>

#include "bridge/APIFormPart.h"
#include "bridge/ApiProxy.h"
#include "bridge/Base64.h"
#include "bridge/CoursewareDownload.h"
#include "core/Crypto.h"
#include "core/VelmoraError.h"
#include "support/FakeIdentity.h"
#include "support/FakePage.h"
#include "support/FakeSavePanel.h"
#include "support/TempDirectory.h"
#include "vault/VaultManager.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

Endpoints testEndpoints() { return Endpoints{"api.velmora.test", 0, "velmora.test", ""}; }

HttpRequest build(const Json& payload) { return ApiProxy::buildRequest(payload, testEndpoints(), 45s); }

std::string refusal(const Json& payload) {
    try {
        build(payload);
    } catch (const VelmoraError& e) {
        return e.what();
    }
    return "<accepted>";
}

std::string headerValue(const HttpRequest& request, std::string_view name) {
    for (const HttpHeader& header : request.headers) {
        if (header.name == name) return header.value;
    }
    return "<absent>";
}

std::string repeated(std::string_view unit, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += unit;
    return out;
}

TEST(Base64StrictTest, DecodesOnlyCanonicalPaddedText) {
    for (const auto& [text, expected] : std::vector<std::pair<std::string, std::optional<std::string>>>{
             {"", ""}, {"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9v", "foo"}, {"+/+/", "\xfb\xff\xbf"},
             {"AP8A", std::string("\x00\xff\x00", 3)}, {"Zg", std::nullopt}, {"Zm9v\nYmFy", std::nullopt},
             {"Zm9v YmFy", std::nullopt}, {"-_-_", std::nullopt}, {"Zg==Zg==", std::nullopt}, {"Z===", std::nullopt},
             {"====", std::nullopt}}) {
        SCOPED_TRACE(text);
        std::optional<Bytes> decoded = decodeBase64Strict(text);
        EXPECT_EQ(decoded ? std::optional<std::string>(std::string(decoded->begin(), decoded->end())) : std::nullopt,
                  expected);
    }
}

TEST(APIFormPartTest, NeedsANameOfOneTo128UserPerceivedCharacters) {
    std::string wide;  // 128 characters of three bytes each still fit
    for (int i = 0; i < 128; ++i) wide += "课";
    for (const auto& [name, accepted] : std::vector<std::pair<Json, bool>>{
             {nullptr, false}, {"", false}, {7, false}, {std::string(129, 'n'), false},
             {std::string(128, 'n'), true}, {wide, true}, {wide + "课", false}}) {
        SCOPED_TRACE(name.dump());
        EXPECT_EQ(APIFormPart::fromDictionary(name.is_null() ? Json::object() : Json{{"name", name}}).has_value(), accepted);
    }
}

TEST(APIFormPartTest, IsAFilePartOnlyWithDecodedDataAndAFileName) {
    for (const auto& [dictionary, isFile] : std::vector<std::pair<Json, bool>>{
             {{{"name", "f"}, {"base64", ""}, {"fileName", "empty.txt"}}, true},
             {{{"name", "f"}, {"base64", 12}, {"fileName", "a.txt"}}, false},
             {{{"name", "f"}, {"base64", "Zm9v"}, {"fileName", 3}}, false},
         }) {
        SCOPED_TRACE(dictionary.dump());
        std::optional<APIFormPart> part = APIFormPart::fromDictionary(dictionary);
        ASSERT_TRUE(part);
        EXPECT_EQ(part->isFile(), isFile);
    }
}

TEST(ApiProxyBoundaryTest, IsVelmoraBoundaryAndAFreshVersion4Uuid) {
    std::string first = ApiProxy::makeBoundary();
    EXPECT_EQ(first.size(), 47u);
    EXPECT_TRUE(std::regex_match(first, std::regex("VelmoraBoundary[0-9A-F]{12}4[0-9A-F]{3}[89AB][0-9A-F]{15}"))) << first;
    EXPECT_NE(first, ApiProxy::makeBoundary());
}

TEST(ApiProxyRequestTest, RefusesPathsOutsideTheBaseAddress) {
    std::string longest(4096, 'p');
    EXPECT_EQ(build({{"path", longest}}).url, "https://api.velmora.test/api/web/v2/" + longest);
    for (const Json& path : std::vector<Json>{"", nullptr, 42, std::string(4097, 'p'), "https://evil.test/x",
                                              "x?next=https://evil.test", "//evil.test/x", "a b", "x\r\nHost: evil"}) {
        SCOPED_TRACE(path.dump());
        Json payload = {{"type", "apiRequest"}};
        if (!path.is_null()) payload["path"] = path;
        EXPECT_EQ(refusal(payload), "接口地址无效");
    }
}

// A non-zero port is used by every request over HTTPS to the local server.
TEST(ApiProxyRequestTest, ConcatenatesThePathUnchanged) {
    EXPECT_EQ(build({{"path", "courses?page=2"}}).url, "https://api.velmora.test/api/web/v2/courses?page=2");
    EXPECT_EQ(build({{"path", "/courses"}}).url, "https://api.velmora.test/api/web/v2//courses");
}

TEST(ApiProxyRequestTest, AcceptsFiveMethodsInAnyCase) {
    for (const auto& [method, sent] : std::vector<std::pair<Json, std::string>>{
             {"post", "POST"}, {"Get", "GET"}, {"put", "PUT"}, {"pAtCh", "PATCH"}, {"delete", "DELETE"},
             {nullptr, "GET"}, {5, "GET"}}) {
        SCOPED_TRACE(method.dump());
        Json payload = {{"path", "x"}};
        if (!method.is_null()) payload["method"] = method;
        EXPECT_EQ(build(payload).method, sent);
    }
    for (const char* method : {"HEAD", "OPTIONS", "head", "TRACE", "CONNECT", "", "POST "}) {
        SCOPED_TRACE(method);
        EXPECT_EQ(refusal({{"path", "x"}, {"method", method}}), "接口请求方法无效");
    }
}

TEST(ApiProxyRequestTest, DropsHeadersWithNonTextValuesOrLineBreaks) {
    HttpRequest request = build(
        {{"path", "x"},
         {"headers",
          {{"Accept", 5}, {"Authorization", "Bearer t\r\nCookie: s=1"}, {"Content-Type", true}, {"X-Velmora-Client", "app\n"}}}});
    EXPECT_TRUE(request.headers.empty());
    EXPECT_TRUE(build({{"path", "x"}, {"headers", Json::array({"Accept"})}}).headers.empty());
}

TEST(ApiProxyRequestTest, SendsOnlyATextJsonBodyAsItIs) {
    HttpRequest plain = build({{"path", "x"}, {"jsonBody", "{}"}, {"headers", {{"Content-Type", "application/json"}}}});
    EXPECT_EQ(plain.body, "{}");
    EXPECT_EQ(headerValue(plain, "Content-Type"), "application/json");
    EXPECT_EQ(build({{"path", "x"}, {"jsonBody", 12}}).body, "");
}

TEST(ApiProxyRequestTest, FormPartsReplaceTheJsonBodyAndItsContentType) {
    HttpRequest request = build({{"path", "upload"},
                                 {"method", "POST"},
                                 {"jsonBody", "{\"a\":1}"},
                                 {"headers", {{"content-type", "application/json"}}},
                                 {"formParts", {{{"name", "a"}, {"value", "1"}}, {{"value", "no name"}}}}});
    std::string contentType = headerValue(request, "Content-Type");
    ASSERT_TRUE(contentType.starts_with("multipart/form-data; boundary=VelmoraBoundary")) << contentType;
    EXPECT_EQ(headerValue(request, "content-type"), "<absent>");
    std::string boundary = contentType.substr(contentType.find('=') + 1);
    EXPECT_EQ(request.body,
              "--" + boundary + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--" + boundary + "--\r\n");
}

TEST(ApiProxyRequestTest, FallsBackToTheJsonBodyWhenNoPartSurvives) {
    // A content type with a line break would end the part's head early.
    auto typed = [](const char* mimeType) {
        return Json::array({{{"name", "f"}, {"fileName", "a.txt"}, {"base64", "YQ=="}, {"mimeType", mimeType}}});
    };
    for (const Json& parts :
         std::vector<Json>{Json::array({{{"name", std::string(129, 'n')}}, {{"value", "x"}}}),
                           Json::array({{{"name", "ok"}}, "not an object"}), Json::object(), Json::array(),
                           typed("text/plain\r\nX-Injected: 1"), typed("text/plain\nX: 1"), typed("text/plain\r")}) {
        SCOPED_TRACE(parts.dump());
        HttpRequest request = build({{"path", "x"}, {"method", "POST"}, {"jsonBody", "{\"b\":2}"}, {"formParts", parts}});
        EXPECT_EQ(request.body, "{\"b\":2}");
        EXPECT_EQ(headerValue(request, "Content-Type"), "<absent>");
    }
}

// Base64 text decoding to `size` zero bytes.
std::string zerosBase64(std::size_t size) {
    static constexpr std::array<std::string_view, 3> kTail = {"", "AA==", "AAA="};
    return std::string(size / 3 * 4, 'A') + std::string(kTail[size % 3]);
}

TEST(ApiProxyRequestTest, CapsThePathAndTheMultipartBodyInBytesToo) {
    std::string oneCharacter = "p";
    while (oneCharacter.size() < 400'001) oneCharacter += "\xCC\x81";  // combining acute accents
    EXPECT_EQ(refusal({{"path", oneCharacter}}), "接口地址无效");
    EXPECT_EQ(refusal({{"path", repeated("课", 2731)}}), "接口地址无效");  // 8,193 bytes
    const std::string longest = repeated("课", 2730) + "ab";               // 8,192 bytes
    EXPECT_EQ(build({{"path", longest}}).url, "https://api.velmora.test/api/web/v2/" + longest);

    auto upload = [](std::size_t dataBytes) {
        return Json{{"path", "upload"},
                    {"method", "POST"},
                    {"formParts", Json::array({{{"name", "f"}, {"fileName", "f"}, {"base64", zerosBase64(dataBytes)}}})}};
    };
    const std::size_t overhead = build(upload(1)).body.size() - 1;
    const std::size_t fits = ApiProxy::kMaximumJsonBodyBytes - overhead;
    EXPECT_EQ(build(upload(fits)).body.size(), ApiProxy::kMaximumJsonBodyBytes);
    EXPECT_EQ(refusal(upload(fits + 1)), "请求内容过大");
}

TEST(ApiProxyResultTest, ReportsStatusBodyAndMessage) {
    auto result = [](int status, std::string body, std::string message) {
        return Json{{"status", status}, {"body", body}, {"message", message}};
    };
    EXPECT_EQ(ApiProxy::result({204, ""}), result(204, "", ""));
    EXPECT_EQ(ApiProxy::result({200, "{\"课\":1}"}), result(200, "{\"课\":1}", ""));
    EXPECT_EQ(ApiProxy::result({299, "x"}), result(299, "x", ""));
    for (int status : {500, 199, 300}) {
        EXPECT_EQ(ApiProxy::result({status, "oops"}),
                  result(status, "oops", "服务响应异常（HTTP " + std::to_string(status) + "）"));
    }
    for (const char* invalid : {"\xff", "ok\xc3", "\xed\xa0\x80", "\xc0\xaf"}) {
        EXPECT_EQ(ApiProxy::result({200, invalid})["body"], "{}");
    }
}

TEST(ApiProxyResultTest, FailureMessagesKeepThePlatformText) {
    EXPECT_EQ(ApiProxy::failureMessage(std::make_exception_ptr(HttpResponseTooLargeError(200))), "服务响应异常过大");
    EXPECT_EQ(ApiProxy::failureMessage(std::make_exception_ptr(HttpTransportError("Could not resolve host: x"))),
              "Could not resolve host: x");
}

TEST(SafeFileNameTest, RemovesPathAndLineCharactersOnly) {
    for (const auto& [name, safe] : std::vector<std::pair<std::string, std::string>>{
             {"a/b:c.pdf", "abc.pdf"},
             {"x\\y.txt", "xy.txt"},
             {std::string("nul\0l.doc", 9), "null.doc"},
             {"line\r\nbreak\r\n.pdf", "linebreak.pdf"},
             {" .hidden 讲义 v2.pdf ", " .hidden 讲义 v2.pdf "},
             {"/:\\/", "课程资料"},
             {"", "课程资料"},
             {"\r\n", "课程资料"},
         }) {
        SCOPED_TRACE(name);
        EXPECT_EQ(CoursewareDownload::safeFileName(name), safe);
    }
}

// A leading dot hides the saved file; bidirectional controls make "lecture\u202Efdp.sh" read as
// "lecturehs.pdf".
TEST(SafeFileNameTest, DropsLeadingDotsAndBidirectionalControls) {
    for (const auto& [name, safe] : std::vector<std::pair<std::string, std::string>>{
             {".bashrc", "bashrc"},
             {"/..config", "config"},
             {"...", "课程资料"},
             {"lecture\u202Efdp.sh", "lecturefdp.sh"},
             {"\u202E.bashrc", "bashrc"},
             {"a\u061Cb\u200Ec\u200Fd\u202Ae\u202Bf\u202Cg\u202Dh\u2066i\u2067j\u2068k\u2069l.pdf", "abcdefghijkl.pdf"},
             {"notes.v2.pdf", "notes.v2.pdf"},
         }) {
        SCOPED_TRACE(name);
        EXPECT_EQ(CoursewareDownload::safeFileName(name), safe);
    }
}

TEST(SafeFileNameTest, KeepsThe180FirstUserPerceivedCharactersAfterRemoval) {
    // A family emoji is one character of 25 bytes; an accented letter with a combining mark is one.
    std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7\xE2\x80\x8D\xF0\x9F\x91\xA6";
    for (const auto& [name, safe] : std::vector<std::pair<std::string, std::string>>{
             {std::string(200, 'n'), std::string(180, 'n')},
             {repeated("/", 50) + std::string(180, 'n'), std::string(180, 'n')},
             {repeated(family, 181), repeated(family, 180)},
             {repeated("e\xCC\x81", 181), repeated("e\xCC\x81", 180)},
             {repeated("课", 179) + "件.pdf", repeated("课", 179) + "件"}}) {
        EXPECT_EQ(CoursewareDownload::safeFileName(name), safe);
    }
}

TEST(CoursewareAddressTest, AcceptsOnlyHttpsURLs) {
    EXPECT_EQ(CoursewareDownload::sourceURL({{"url", "https://cdn.velmora.test/files/a.pdf"}}),
              "https://cdn.velmora.test/files/a.pdf");
    for (const Json& url : std::vector<Json>{"http://cdn.velmora.test/a.pdf", "HTTPS://cdn.velmora.test/a.pdf", "not a url",
                                             "https://", "ftp://cdn.velmora.test/a.pdf", "", 42, Json::object(), nullptr}) {
        SCOPED_TRACE(url.dump());
        Json payload = {{"type", "downloadResource"}};
        if (!url.is_null()) payload["url"] = url;
        EXPECT_FALSE(CoursewareDownload::sourceURL(payload));
    }
}

TEST(CoursewareAddressTest, ProposesTheSuggestedNameOrTheLastPathComponent) {
    for (const auto& [payload, proposed] : std::vector<std::pair<Json, std::string>>{
             {{{"suggestedName", "a/b:c.pdf"}}, "abc.pdf"},
             {{{"suggestedName", ""}}, "课程资料"},
             {{{"suggestedName", 5}, {"url", "https://h.test/files/notes.pdf"}}, "notes.pdf"},
             {{{"url", "https://h.test/files/notes.pdf"}}, "notes.pdf"},
             {{{"url", "https://h.test/files/notes.pdf?sig=1#p2"}}, "notes.pdf"},
             {{{"url", "https://h.test/files/%E8%AF%BE%E4%BB%B6%201.pdf"}}, "课件 1.pdf"},
             {{{"url", "https://h.test/dir%2Fname.pdf"}}, "dirname.pdf"},
             {{{"url", "https://h.test/files/"}}, "files"},
             {{{"url", "https://h.test/"}}, "课程资料"},
             {{{"url", "https://h.test"}}, "课程资料"},
         }) {
        SCOPED_TRACE(payload.dump());
        EXPECT_EQ(CoursewareDownload::proposedName(payload, payload.value("url", "https://h.test/x")), proposed);
    }
}

// The Accept header and the token are also checked over HTTPS; the time-outs and the size limit
// cannot be reached there in a test's time.
TEST(CoursewareRequestTest, AsksForAtMost2GiBWithTheTimeoutsGiven) {
    HttpRequest anonymous = CoursewareDownload::request("https://h.test/a", "", testEndpoints(), std::chrono::seconds(60));
    EXPECT_EQ(anonymous.headers, (std::vector<HttpHeader>{{"Accept", "application/octet-stream,*/*;q=0.8"}}));
    EXPECT_EQ(anonymous.timeout, std::chrono::seconds(60));
    EXPECT_EQ(anonymous.totalTimeout, std::chrono::hours(1));
    EXPECT_EQ(anonymous.maxResponseBytes, std::size_t{2} << 30);
}

TEST(CoursewareRequestTest, CarriesTheTokenOnlyToTheServicesOwnHosts) {
    const Endpoints withPort{"127.0.0.1", 8443, "velmora.test", ""};
    const std::vector<std::tuple<std::string, Endpoints, bool>> cases = {
        {"https://api.velmora.test/files/a.pdf", testEndpoints(), true},
        {"https://API.Velmora.Test:443/a.pdf", testEndpoints(), true},
        {"https://velmora.test/a.pdf", testEndpoints(), true},
        {"https://www.velmora.test/a.pdf", testEndpoints(), true},
        {"https://cdn.files.velmora.test/a.pdf", testEndpoints(), true},
        {"https://127.0.0.1:8443/a.pdf", withPort, true},
        {"https://127.0.0.1/a.pdf", withPort, false},
        {"https://localhost:8443/a.pdf", withPort, false},
        {"https://velmora.test:8443/a.pdf", withPort, false},
        {"https://api.velmora.test:8443/a.pdf", testEndpoints(), false},
        {"https://velmora.test.evil.test/a.pdf", testEndpoints(), false},
        {"https://evilvelmora.test/a.pdf", testEndpoints(), false},
        {"https://velmora.test@evil.test/a.pdf", testEndpoints(), false},
        {"https://api.velmora.test.evil.test/a.pdf", testEndpoints(), false},
        {"http://api.velmora.test/a.pdf", testEndpoints(), false},
        {"https://127.0.0.1/a.pdf", testEndpoints(), false},
    };
    for (const auto& [url, endpoints, carries] : cases) {
        SCOPED_TRACE(url);
        HttpRequest request = CoursewareDownload::request(url, "tok", endpoints, std::chrono::seconds(60));
        EXPECT_EQ(headerValue(request, "Authorization"), carries ? "Bearer tok" : "<absent>");
    }
}

TEST(CoursewareResultTest, ReportsASizeRefusalAfterTheStatus) {
    auto failed = [](long status) {
        HttpDownloadResult result{std::make_exception_ptr(HttpResponseTooLargeError(status)), status, std::nullopt};
        return CoursewareDownload::finish(result, "/nonexistent/never-written.pdf").value("message", "");
    };
    EXPECT_EQ(failed(200), "课件文件超过 2 GB，无法保存");
    EXPECT_EQ(failed(404), "课件服务返回 HTTP 404");
}

// Without a shared HTTPS session (an unreadable CA file, say) every network command still answers
// exactly once, with the reason the session could not be made.
TEST(NetworkCommandsWithoutSessionTest, AnswerOnceWithTheReason) {
    test::TempDirectory dataRoot;
    VaultManager vault{dataRoot.path(), SecretBytes(randomBytes(32))};
    BridgeEnvironment environment;
    environment.dataRoot = dataRoot.path();
    environment.identity = std::make_shared<test::FakeIdentity>();
    environment.vault = &vault;
    environment.savePanel = std::make_shared<test::FakeSavePanel>();
    environment.httpUnavailableReason = "CA file unreadable";
    test::FakePage page(environment);
    page.send({{"type", "saveSession"}, {"token", "t"}, {"ownerKey", "owner"}});
    std::size_t before = page.messages().size();
    page.send({{"type", "apiRequest"}, {"requestId", "r1"}, {"path", "courses"}});
    page.send({{"type", "downloadResource"}, {"url", "https://velmora.test/a.pdf"}});
    page.send({{"type", "download"}, {"ownerKey", "owner"}, {"token", "t"}, {"assetId", "a1"}, {"classId", 3}, {"lessonId", "8"}, {"lessonTitle", "第八课"}});
    page.mainQueue->runFor(std::chrono::milliseconds(50));
    std::vector<Json> replies = page.messages();
    replies.erase(replies.begin(), replies.begin() + static_cast<std::ptrdiff_t>(before));
    EXPECT_EQ(replies, (std::vector<Json>{
                           {{"type", "nativeResponse"}, {"requestId", "r1"}, {"ok", false}, {"message", "CA file unreadable"}},
                           {{"type", "resourceDownloadFailed"}, {"message", "CA file unreadable"}},
                           {{"type", "downloadFailed"}, {"assetId", "a1"}, {"message", "CA file unreadable"}},
                       }));
}

}  // namespace
}  // namespace velmora
