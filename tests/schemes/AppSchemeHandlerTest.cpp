#include "schemes/AppSchemeHandler.h"

#include "RecordingSchemeTask.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace velmora {
namespace {

using test::RecordingSchemeTask;

// What one request must produce: a served file, a failure message, or (neither) the 404 answer.
struct AppCase {
    std::string name;
    std::string url;
    std::string servedFile;  // relative to the resource root
    std::string mimeType;
    std::string textEncoding;
    std::string failure;

    friend void PrintTo(const AppCase& value, std::ostream* out) { *out << value.name; }
};

std::vector<AppCase> appCases() {
    const std::string html = "text/html", css = "text/css", utf8 = "utf-8", octets = "application/octet-stream",
                      badPath = "应用资源路径无效", badUrl = "应用资源地址无效";
    return {
        {"RootWithSlash", "velmora-app://local/", "index.html", html, utf8, ""},
        {"RootWithoutSlash", "velmora-app://local", "index.html", html, utf8, ""},
        {"SeveralLeadingSlashes", "velmora-app://local///css/app.css", "css/app.css", css, utf8, ""},
        {"EncodedLeadingSlash", "velmora-app://local/%2F/css/app.css", "css/app.css", css, utf8, ""},
        {"QueryAndFragmentIgnored", "velmora-app://local/css/app.css?v=3#top", "css/app.css", css, utf8, ""},
        {"HostNotLookedAt", "velmora-app://elsewhere/index.html", "index.html", html, utf8, ""},
        {"EncodedName", "velmora-app://local/img/%E8%AF%BE.svg", "img/课.svg", "image/svg+xml", utf8, ""},
        {"UpperCaseExtension", "velmora-app://local/LOGO.PNG", "LOGO.PNG", "image/png", "", ""},
        {"JsonIsOctets", "velmora-app://local/data/lessons.json", "data/lessons.json", octets, "", ""},
        {"HtmIsOctets", "velmora-app://local/page.htm", "page.htm", octets, "", ""},
        {"NoExtension", "velmora-app://local/LICENSE", "LICENSE", octets, "", ""},
        {"ZeroByteFile", "velmora-app://local/empty.js", "empty.js", "application/javascript", utf8, ""},
        {"ParentStep", "velmora-app://local/../outside.txt", "", "", "", badPath},
        {"EncodedParentStep", "velmora-app://local/%2E%2E/outside.txt", "", "", "", badPath},
        {"ParentStepInside", "velmora-app://local/css/../index.html", "", "", "", badPath},
        {"TwoDotsInName", "velmora-app://local/a..b.html", "", "", "", badPath},
        {"EncodedBackslash", "velmora-app://local/css%5Capp.css", "", "", "", badPath},
        {"NoUrl", "", "", "", "", badUrl},
        {"NotAUrl", "index.html", "", "", "", badUrl},
        {"BrokenEscape", "velmora-app://local/index%zz.html", "", "", "", badUrl},
        {"Missing", "velmora-app://local/missing.html", "", "", "", ""},
        {"DoubleSlash", "velmora-app://local//", "", "", "", ""},
        {"OnlySlashes", "velmora-app://local/////", "", "", "", ""},
        {"Folder", "velmora-app://local/css", "", "", "", ""},
        {"EncodedNul", "velmora-app://local/index.html%00.png", "", "", "", ""},
    };
}

class AppSchemeCaseTest : public ::testing::TestWithParam<AppCase> {
protected:
    void SetUp() override {
        for (const auto& [name, text] : std::map<std::string, std::string>{
                 {"index.html", "<!doctype html><title>星禾</title>"}, {"css/app.css", "body{margin:0}"},
                 {"img/课.svg", "<svg/>"}, {"LOGO.PNG", std::string("\x89PNG\r\n", 6)}, {"data/lessons.json", "[]"},
                 {"page.htm", "<p>"}, {"LICENSE", "MIT"}, {"empty.js", ""}}) {
            std::filesystem::create_directories((root / name).parent_path());
            test::writeFile(root / name, text);
        }
        test::writeFile(folder.path() / "outside.txt", std::string("must never be served"));
    }

    test::TempDirectory folder;
    std::filesystem::path root = folder.path() / "app-ui";
};

TEST_P(AppSchemeCaseTest, AnswersAsTheTablesSay) {
    const AppCase& expected = GetParam();
    auto task = std::make_shared<RecordingSchemeTask>(expected.url);
    AppSchemeHandler handler(root);
    handler.stop(*task);  // stop is a no-op: whole-file answers are delivered before start returns
    handler.start(task);
    handler.stop(*task);
    if (!expected.failure.empty()) {
        EXPECT_EQ(task->events, std::vector<std::string>{"fail"});
        EXPECT_EQ(task->failure, expected.failure);
        return;
    }
    ASSERT_EQ(task->events, (std::vector<std::string>{"response", "data", "finish"}));
    std::string body(task->body.begin(), task->body.end());
    if (expected.servedFile.empty()) {
        EXPECT_EQ(task->response->statusCode, 404);
        EXPECT_EQ(task->response->headers,
                  (std::map<std::string, std::string>{{"Content-Type", "text/plain; charset=utf-8"}}));
        EXPECT_EQ(body, "Not Found");
        return;
    }
    std::string text = test::readText(root / expected.servedFile);
    EXPECT_EQ(body, text);
    EXPECT_EQ(task->response->mimeType, expected.mimeType);
    EXPECT_EQ(task->response->textEncoding, expected.textEncoding);
    EXPECT_EQ(task->response->expectedContentLength, static_cast<std::int64_t>(text.size()));
    EXPECT_TRUE(task->response->headers.empty());
}

INSTANTIATE_TEST_SUITE_P(Requests, AppSchemeCaseTest, ::testing::ValuesIn(appCases()),
                         [](const auto& info) { return info.param.name; });

TEST(AppSchemeTables, MimeAndEncodingByExtension) {
    for (const auto& [extension, mimeType, encoding] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"html", "text/html", "utf-8"}, {"css", "text/css", "utf-8"}, {"js", "application/javascript", "utf-8"},
             {"svg", "image/svg+xml", "utf-8"}, {"png", "image/png", ""}, {"jpg", "image/jpeg", ""},
             {"jpeg", "image/jpeg", ""}, {"webp", "image/webp", ""}, {"htm", "application/octet-stream", ""},
             {"", "application/octet-stream", ""}, {"HTML", "application/octet-stream", ""}}) {
        SCOPED_TRACE(extension);
        EXPECT_EQ(AppSchemeHandler::mimeType(extension), mimeType);
        EXPECT_EQ(AppSchemeHandler::textEncoding(extension),
                  encoding.empty() ? std::nullopt : std::optional<std::string_view>(encoding));
    }
}

}  // namespace
}  // namespace velmora
