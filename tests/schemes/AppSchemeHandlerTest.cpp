#include "schemes/AppSchemeHandler.h"

#include "RecordingSchemeTask.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace velmora {
namespace {

using test::RecordingSchemeTask;

// What one request must produce: a served file, a failure message, or the 404 answer.
struct AppCase {
    std::string name;
    std::string url;
    std::string servedFile;  // relative to the resource root; empty when not served
    std::string mimeType;
    std::string textEncoding;
    std::string failure;  // non-empty: the task fails with this message

    friend void PrintTo(const AppCase& value, std::ostream* out) { *out << value.name; }
};

std::vector<AppCase> appCases() {
    const std::string html = "text/html", css = "text/css", utf8 = "utf-8", octets = "application/octet-stream";
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
        {"ParentStep", "velmora-app://local/../outside.txt", "", "", "", "应用资源路径无效"},
        {"EncodedParentStep", "velmora-app://local/%2E%2E/outside.txt", "", "", "", "应用资源路径无效"},
        {"ParentStepInside", "velmora-app://local/css/../index.html", "", "", "", "应用资源路径无效"},
        {"TwoDotsInName", "velmora-app://local/a..b.html", "", "", "", "应用资源路径无效"},
        {"EncodedBackslash", "velmora-app://local/css%5Capp.css", "", "", "", "应用资源路径无效"},
        {"NoUrl", "", "", "", "", "应用资源地址无效"},
        {"NotAUrl", "index.html", "", "", "", "应用资源地址无效"},
        {"BrokenEscape", "velmora-app://local/index%zz.html", "", "", "", "应用资源地址无效"},
    };
}

class AppSchemeHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = folder.path() / "app-ui";
        std::filesystem::create_directories(root / "css");
        std::filesystem::create_directories(root / "img");
        std::filesystem::create_directories(root / "data");
        test::writeFile(root / "index.html", std::string("<!doctype html><title>星禾</title>"));
        test::writeFile(root / "css/app.css", std::string("body{margin:0}"));
        test::writeFile(root / "img/课.svg", std::string("<svg/>"));
        test::writeFile(root / "LOGO.PNG", std::string("\x89PNG\r\n", 6));
        test::writeFile(root / "data/lessons.json", std::string("[]"));
        test::writeFile(root / "page.htm", std::string("<p>"));
        test::writeFile(root / "LICENSE", std::string("MIT"));
        test::writeFile(root / "empty.js", std::string());
        test::writeFile(folder.path() / "outside.txt", std::string("must never be served"));
    }

    std::shared_ptr<RecordingSchemeTask> run(const std::string& url) {
        auto task = std::make_shared<RecordingSchemeTask>(url);
        AppSchemeHandler(root).start(task);
        return task;
    }

    static void expectNotFound(const RecordingSchemeTask& task) {
        ASSERT_EQ(task.events, (std::vector<std::string>{"response", "data", "finish"}));
        EXPECT_EQ(task.response->statusCode, 404);
        EXPECT_EQ(task.response->headers,
                  (std::map<std::string, std::string>{{"Content-Type", "text/plain; charset=utf-8"}}));
        EXPECT_EQ(std::string(task.body.begin(), task.body.end()), "Not Found");
    }

    test::TempDirectory folder;
    std::filesystem::path root;
};

class AppSchemeCaseTest : public AppSchemeHandlerTest, public ::testing::WithParamInterface<AppCase> {};

TEST_P(AppSchemeCaseTest, AnswersAsTheTablesSay) {
    const AppCase& expected = GetParam();
    auto found = run(expected.url);
    RecordingSchemeTask& task = *found;
    if (!expected.failure.empty()) {
        EXPECT_EQ(task.events, std::vector<std::string>{"fail"});
        EXPECT_EQ(task.failure, expected.failure);
        return;
    }
    ASSERT_EQ(task.events, (std::vector<std::string>{"response", "data", "finish"}));
    std::string text = test::readText(root / expected.servedFile);
    EXPECT_EQ(std::string(task.body.begin(), task.body.end()), text);
    EXPECT_EQ(task.response->mimeType, expected.mimeType);
    EXPECT_EQ(task.response->textEncoding, expected.textEncoding);
    EXPECT_EQ(task.response->expectedContentLength, static_cast<std::int64_t>(text.size()));
    EXPECT_TRUE(task.response->headers.empty());
}

INSTANTIATE_TEST_SUITE_P(Requests, AppSchemeCaseTest, ::testing::ValuesIn(appCases()),
                         [](const auto& info) { return info.param.name; });

TEST_F(AppSchemeHandlerTest, UnreadablePathsGetTheNotFoundAnswer) {
    for (const char* url : {"velmora-app://local/missing.html", "velmora-app://local//", "velmora-app://local/////",
                            "velmora-app://local/css", "velmora-app://local/index.html%00.png"}) {
        SCOPED_TRACE(url);
        expectNotFound(*run(url));
    }
}

TEST_F(AppSchemeHandlerTest, ZeroByteFileIsAnEmptyDeliveryAndAFinish) {
    auto found = run("velmora-app://local/empty.js");
    RecordingSchemeTask& task = *found;
    ASSERT_EQ(task.events, (std::vector<std::string>{"response", "data", "finish"}));
    EXPECT_EQ(task.response->expectedContentLength, 0);
    EXPECT_EQ(task.response->mimeType, "application/javascript");
    EXPECT_TRUE(task.body.empty());
}

TEST_F(AppSchemeHandlerTest, StopDoesNothing) {
    auto task = std::make_shared<RecordingSchemeTask>("velmora-app://local/index.html");
    AppSchemeHandler handler(root);
    handler.stop(*task);
    EXPECT_TRUE(task->events.empty());
    handler.start(task);
    handler.stop(*task);
    EXPECT_EQ(task->events, (std::vector<std::string>{"response", "data", "finish"}));
}

TEST(AppSchemeTables, MimeAndEncodingByExtension) {
    struct Row {
        const char* extension;
        const char* mimeType;
        const char* encoding;
    };
    for (const Row& row : {Row{"html", "text/html", "utf-8"}, Row{"css", "text/css", "utf-8"},
                           Row{"js", "application/javascript", "utf-8"}, Row{"svg", "image/svg+xml", "utf-8"},
                           Row{"png", "image/png", nullptr}, Row{"jpg", "image/jpeg", nullptr},
                           Row{"jpeg", "image/jpeg", nullptr}, Row{"webp", "image/webp", nullptr},
                           Row{"htm", "application/octet-stream", nullptr}, Row{"", "application/octet-stream", nullptr},
                           Row{"HTML", "application/octet-stream", nullptr}}) {
        SCOPED_TRACE(row.extension);
        EXPECT_EQ(AppSchemeHandler::mimeType(row.extension), row.mimeType);
        auto encoding = AppSchemeHandler::textEncoding(row.extension);
        EXPECT_EQ(encoding.has_value(), row.encoding != nullptr);
        if (row.encoding) {
            EXPECT_EQ(*encoding, row.encoding);
        }
    }
}

}  // namespace
}  // namespace velmora
