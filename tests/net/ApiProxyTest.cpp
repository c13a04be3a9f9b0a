#include <gtest/gtest.h>

#include <regex>

#include "bridge/APIFormPart.h"
#include "bridge/ApiProxy.h"
#include "bridge/Base64.h"
#include "core/VelmoraError.h"

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

struct Base64Case {
    const char* name;
    std::string text;
    std::optional<std::string> decoded;
};

class Base64StrictTest : public ::testing::TestWithParam<Base64Case> {};

TEST_P(Base64StrictTest, DecodesOnlyCanonicalPaddedText) {
    const Base64Case& c = GetParam();
    std::optional<Bytes> decoded = decodeBase64Strict(c.text);
    ASSERT_EQ(decoded.has_value(), c.decoded.has_value());
    if (decoded) {
        EXPECT_EQ(std::string(decoded->begin(), decoded->end()), *c.decoded);
    }
}

INSTANTIATE_TEST_SUITE_P(Vectors, Base64StrictTest,
                         ::testing::ValuesIn(std::vector<Base64Case>{
                             {"Empty", "", std::string()},
                             {"OneByte", "Zg==", std::string("f")},
                             {"TwoBytes", "Zm8=", std::string("fo")},
                             {"ThreeBytes", "Zm9v", std::string("foo")},
                             {"AllAlphabet", "+/+/", std::string("\xfb\xff\xbf")},
                             {"BinaryWithNul", "AP8A", std::string("\x00\xff\x00", 3)},
                             {"MissingPadding", "Zg", std::nullopt},
                             {"LineBreak", "Zm9v\nYmFy", std::nullopt},
                             {"Space", "Zm9v YmFy", std::nullopt},
                             {"UrlAlphabet", "-_-_", std::nullopt},
                             {"PaddingInside", "Zg==Zg==", std::nullopt},
                             {"ThreePads", "Z===", std::nullopt},
                             {"OnlyPadding", "====", std::nullopt},
                         }),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(APIFormPartTest, NeedsANameOfOneTo128Characters) {
    EXPECT_FALSE(APIFormPart::fromDictionary(Json::object()));
    EXPECT_FALSE(APIFormPart::fromDictionary({{"name", ""}}));
    EXPECT_FALSE(APIFormPart::fromDictionary({{"name", 7}}));
    EXPECT_FALSE(APIFormPart::fromDictionary({{"name", std::string(129, 'n')}}));
    EXPECT_TRUE(APIFormPart::fromDictionary({{"name", std::string(128, 'n')}}));
    // 128 user-perceived characters of three bytes each still fit.
    std::string wide;
    for (int i = 0; i < 128; ++i) wide += "课";
    EXPECT_TRUE(APIFormPart::fromDictionary({{"name", wide}}));
    EXPECT_FALSE(APIFormPart::fromDictionary({{"name", wide + "课"}}));
}

TEST(APIFormPartTest, IsAFilePartOnlyWithDecodedDataAndAFileName) {
    struct Case {
        Json dictionary;
        bool isFile;
    };
    for (const Case& c : std::vector<Case>{
             {{{"name", "f"}, {"base64", "Zm9v"}, {"fileName", "a.txt"}}, true},
             {{{"name", "f"}, {"base64", ""}, {"fileName", "empty.txt"}}, true},
             {{{"name", "f"}, {"base64", "Zm9v"}}, false},
             {{{"name", "f"}, {"base64", "Zm9v\n"}, {"fileName", "a.txt"}}, false},
             {{{"name", "f"}, {"base64", 12}, {"fileName", "a.txt"}}, false},
             {{{"name", "f"}, {"base64", "Zm9v"}, {"fileName", 3}}, false},
         }) {
        SCOPED_TRACE(c.dictionary.dump());
        std::optional<APIFormPart> part = APIFormPart::fromDictionary(c.dictionary);
        ASSERT_TRUE(part);
        EXPECT_EQ(part->isFile(), c.isFile);
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

TEST(ApiProxyRequestTest, ConcatenatesThePathUnchanged) {
    EXPECT_EQ(build({{"path", "courses?page=2"}}).url, "https://api.velmora.test/api/web/v2/courses?page=2");
    EXPECT_EQ(build({{"path", "/courses"}}).url, "https://api.velmora.test/api/web/v2//courses");
    Endpoints withPort = testEndpoints();
    withPort.apiPort = 8443;
    EXPECT_EQ(ApiProxy::buildRequest({{"path", "me"}}, withPort, 45s).url, "https://api.velmora.test:8443/api/web/v2/me");
}

TEST(ApiProxyRequestTest, AcceptsFiveMethodsInAnyCase) {
    struct Case {
        Json method;
        std::string sent;
    };
    for (const Case& c : std::vector<Case>{{"post", "POST"},
                                           {"Get", "GET"},
                                           {"put", "PUT"},
                                           {"pAtCh", "PATCH"},
                                           {"delete", "DELETE"},
                                           {nullptr, "GET"},
                                           {5, "GET"}}) {
        SCOPED_TRACE(c.method.dump());
        Json payload = {{"path", "x"}};
        if (!c.method.is_null()) payload["method"] = c.method;
        EXPECT_EQ(build(payload).method, c.sent);
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
    for (const Json& parts : std::vector<Json>{Json::array({{{"name", std::string(129, 'n')}}, {{"value", "x"}}}),
                                               Json::array({{{"name", "ok"}}, "not an object"}), Json::object(), Json::array()}) {
        SCOPED_TRACE(parts.dump());
        HttpRequest request = build({{"path", "x"}, {"method", "POST"}, {"jsonBody", "{\"b\":2}"}, {"formParts", parts}});
        EXPECT_EQ(request.body, "{\"b\":2}");
        EXPECT_EQ(headerValue(request, "Content-Type"), "<absent>");
    }
}

TEST(ApiProxyResultTest, ReportsStatusBodyAndMessage) {
    EXPECT_EQ(ApiProxy::result({204, ""}), (Json{{"status", 204}, {"body", ""}, {"message", ""}}));
    EXPECT_EQ(ApiProxy::result({200, "{\"课\":1}"}), (Json{{"status", 200}, {"body", "{\"课\":1}"}, {"message", ""}}));
    EXPECT_EQ(ApiProxy::result({299, "x"})["message"], "");
    EXPECT_EQ(ApiProxy::result({500, "oops"}),
              (Json{{"status", 500}, {"body", "oops"}, {"message", "服务响应异常（HTTP 500）"}}));
    EXPECT_EQ(ApiProxy::result({199, ""})["message"], "服务响应异常（HTTP 199）");
    EXPECT_EQ(ApiProxy::result({300, ""})["message"], "服务响应异常（HTTP 300）");
    for (const std::string& invalid :
         {std::string("\xff"), std::string("ok\xc3"), std::string("\xed\xa0\x80"), std::string("\xc0\xaf")}) {
        EXPECT_EQ(ApiProxy::result({200, invalid})["body"], "{}");
    }
}

TEST(ApiProxyResultTest, FailureMessagesKeepThePlatformText) {
    EXPECT_EQ(ApiProxy::failureMessage(std::make_exception_ptr(HttpResponseTooLargeError())), "服务响应异常过大");
    EXPECT_EQ(ApiProxy::failureMessage(std::make_exception_ptr(HttpTransportError("Could not resolve host: x"))),
              "Could not resolve host: x");
}

}  // namespace
}  // namespace velmora
