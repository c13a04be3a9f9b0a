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
        {"Jpg", "velmora-app://local/a.jpg", "a.jpg", "image/jpeg", "", ""},
        {"Jpeg", "velmora-app://local/a.jpeg", "a.jpeg", "image/jpeg", "", ""},
        {"Webp", "velmora-app://local/a.webp", "a.webp", "image/webp", "", ""},
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

TEST(AppSchemeHandler, AnswersEachRequestAsTheTableSays) {
    test::TempDirectory folder;
    const std::filesystem::path root = folder.path() / "app-ui";
    for (const auto& [name, text] : std::map<std::string, std::string>{
             {"index.html", "<!doctype html><title>星禾</title>"}, {"css/app.css", "body{margin:0}"},
             {"img/课.svg", "<svg/>"}, {"LOGO.PNG", std::string("\x89PNG\r\n", 6)}, {"data/lessons.json", "[]"},
             {"page.htm", "<p>"}, {"LICENSE", "MIT"}, {"empty.js", ""},
             {"a.jpg", "\xff\xd8"}, {"a.jpeg", "\xff\xd8"}, {"a.webp", "RIFF"}}) {
        std::filesystem::create_directories((root / name).parent_path());
        test::writeFile(root / name, text);
    }
    test::writeFile(folder.path() / "outside.txt", std::string("must never be served"));

    for (const AppCase& expected : appCases()) {
        SCOPED_TRACE(expected.name);
        auto task = std::make_shared<RecordingSchemeTask>(expected.url);
        AppSchemeHandler handler(root);
        handler.stop(*task);  // stop is a no-op: whole-file answers are delivered before start returns
        handler.start(task);
        handler.stop(*task);
        if (!expected.failure.empty()) {
            EXPECT_EQ(task->events, std::vector<std::string>{"fail"});
            EXPECT_EQ(task->failure, expected.failure);
            continue;
        }
        ASSERT_EQ(task->events, (std::vector<std::string>{"response", "data", "finish"}));
        std::string body(task->body.begin(), task->body.end());
        if (expected.servedFile.empty()) {
            EXPECT_EQ(task->response->statusCode, 404);
            EXPECT_EQ(task->response->headers,
                      (std::map<std::string, std::string>{{"Content-Type", "text/plain; charset=utf-8"}}));
            EXPECT_EQ(body, "Not Found");
            continue;
        }
        std::string text = test::readText(root / expected.servedFile);
        EXPECT_EQ(body, text);
        EXPECT_EQ(task->response->mimeType, expected.mimeType);
        EXPECT_EQ(task->response->textEncoding, expected.textEncoding);
        EXPECT_EQ(task->response->expectedContentLength, static_cast<std::int64_t>(text.size()));
        EXPECT_TRUE(task->response->headers.empty());
    }
}

}  // namespace
}  // namespace velmora
