#include "bridge/MacBridge.h"
#include "support/FakePage.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

namespace velmora {
namespace {

using test::FakePage;

TEST(MacBridgeEnvelopeTest, HandlesMessagesFromTheAppSchemeOnly) {
    FakePage page;
    Json minimize = {{"type", "minimize"}};
    page.bridge->didReceiveScriptMessage("velmora", "velmora-app://local/index.html", minimize);
    EXPECT_EQ(page.application->window.miniaturized, 1);

    for (const char* frame : {"https://velmora.test/", "velmora-app-evil://local/", "VELMORA-APP://local/", "velmora-app",
                              "", "://local", "file:///index.html"}) {
        SCOPED_TRACE(frame);
        page.bridge->didReceiveScriptMessage("velmora", frame, minimize);
    }
    page.bridge->didReceiveScriptMessage("velmora", std::nullopt, minimize);
    page.bridge->didReceiveScriptMessage("other", "velmora-app://local/index.html", minimize);
    page.bridge->didReceiveScriptMessage("Velmora", "velmora-app://local/index.html", minimize);
    EXPECT_EQ(page.application->window.miniaturized, 1);
}

TEST(MacBridgeEnvelopeTest, IgnoresBadBodiesWithoutReply) {
    FakePage page;
    std::vector<Json> bodies = {
        Json::object(), Json::array({"minimize"}), Json("minimize"), Json(42), Json(nullptr),
        Json{{"type", 1}}, Json{{"type", true}}, Json{{"type", nullptr}}, Json{{"type", Json::array({"minimize"})}},
        Json{{"type", Json::object({{"type", "minimize"}})}}, Json{{"type", 1.5}}, Json{{"kind", "minimize"}},
        Json{{"type", "Minimize"}}, Json{{"type", "minimize "}}, Json{{"type", "unknownCommand"}}, Json{{"type", ""}},
    };
    for (const Json& body : bodies) {
        SCOPED_TRACE(body.dump());
        page.send(body);
    }
    EXPECT_EQ(page.application->window.miniaturized, 0);
    EXPECT_TRUE(page.webView->scripts.empty());
}

TEST(MacBridgeEnvelopeTest, SurvivesMalformedAndDeeplyNestedJsonText) {
    FakePage page;
    std::string deep(10000, '[');
    deep += std::string(10000, ']');
    std::string deepObject;
    for (int i = 0; i < 10000; ++i) deepObject += "{\"a\":";
    deepObject += "1" + std::string(10000, '}');
    for (const std::string& text : {deep, deepObject, std::string("{\"type\":"), std::string("\xff\xfe"), std::string(""),
                                    std::string("{\"type\":\"minimize\"} trailing")}) {
        page.bridge->didReceiveScriptMessageJSON("velmora", "velmora-app://local/index.html", text);
    }
    std::string nestedPayload = "{\"type\":\"setZoom\",\"percent\":" + deep + "}";
    page.bridge->didReceiveScriptMessageJSON("velmora", "velmora-app://local/index.html", nestedPayload);
    EXPECT_EQ(page.webView->zoomFactors, (std::vector<double>{0.9}));
    EXPECT_TRUE(page.webView->scripts.empty());
    page.bridge->didReceiveScriptMessageJSON("velmora", "velmora-app://local/index.html", std::string("{\"type\":\"minimize\"}"));
    EXPECT_EQ(page.application->window.miniaturized, 1);
}

// Script engines write a string cut inside a surrogate pair as a lone "\ud83d" escape; the
// command is still answered, the lone half read as U+FFFD and everything else as written.
TEST(MacBridgeEnvelopeTest, AnswersMessagesWithLoneSurrogateEscapes) {
    FakePage page;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"(a\ud83db)", "a\uFFFDb"},       {R"(\ude00\ud83d)", "\uFFFD\uFFFD"}, {R"(\ud83d\ud83d\ude00)", "\uFFFD\U0001F600"},
        {R"(\uD83D\uDE00)", "\U0001F600"}, {R"(\\ud83d)", "\\ud83d"},
    };
    for (const auto& [escaped, expected] : cases) {
        SCOPED_TRACE(escaped);
        std::size_t before = page.messages().size();
        page.bridge->didReceiveScriptMessageJSON("velmora", "velmora-app://local/index.html",
                                                 R"({"type":"apiRequest","requestId":")" + escaped + R"("})");
        ASSERT_EQ(page.messages().size(), before + 1);
        EXPECT_EQ(page.messages().back().value("requestId", "<none>"), expected);
    }
}

TEST(MacBridgeWindowCommandsTest, DriveTheApplication) {
    FakePage page;
    page.send({{"type", "minimize"}});
    page.send({{"type", "maximize"}});
    page.send({{"type", "drag"}});
    page.send({{"type", "minimizeToTray"}});
    page.send({{"type", "close"}});
    page.send({{"type", "playbackStarted"}});
    page.send({{"type", "playbackStopped"}});
    EXPECT_EQ(page.application->playback, (std::vector<bool>{true, false}));
    EXPECT_EQ(page.application->window.miniaturized, 1);
    EXPECT_EQ(page.application->window.zoomed, 1);
    EXPECT_EQ(page.application->window.dragged, 1);
    EXPECT_EQ(page.application->minimizedToMenuBar, 1);
    EXPECT_EQ(page.application->closeRequests, 1);
    EXPECT_TRUE(page.webView->scripts.empty());
}

TEST(MacBridgeWindowCommandsTest, NothingHappensWithoutWindowEventOrController) {
    FakePage page;
    page.application->window.hasCurrentEvent = false;
    page.send({{"type", "drag"}});
    EXPECT_EQ(page.application->window.dragged, 0);

    page.application->hasWindow = false;
    page.send({{"type", "minimize"}});
    page.send({{"type", "maximize"}});
    EXPECT_EQ(page.application->window.miniaturized, 0);
    EXPECT_EQ(page.application->window.zoomed, 0);

    page.application.reset();  // the controller is held weakly
    page.send({{"type", "close"}});
    page.send({{"type", "minimizeToTray"}});
    page.send({{"type", "minimize"}});
}

TEST(MacBridgeZoomTest, ClampsAndCoercesPercent) {
    struct Case {
        Json percent;
        double factor;
    };
    std::vector<Case> cases = {{50, 0.9}, {125, 1.25}, {"200", 1.6}, {" 120", 0.9}, {90, 0.9}, {160, 1.6},
                               {161, 1.6}, {89.9, 0.9}, {true, 0.9}, {-5, 0.9}, {"+150", 1.5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.percent.dump());
        FakePage page;
        page.send({{"type", "setZoom"}, {"percent", c.percent}});
        ASSERT_EQ(page.webView->zoomFactors.size(), 1u);
        EXPECT_DOUBLE_EQ(page.webView->zoomFactors[0], c.factor);
    }
    FakePage page;
    page.send({{"type", "setZoom"}});
    EXPECT_EQ(page.webView->zoomFactors, (std::vector<double>{0.9}));
    page.webView.reset();
    page.send({{"type", "setZoom"}, {"percent", 120}});  // no web view: nothing, no crash
}

TEST(MacBridgeOpenExternalTest, OpensOnlyTheTwoSiteRoots) {
    FakePage page;
    for (const char* url : {"https://velmora.test/", "https://www.velmora.test/", "https://velmora.test", "http://velmora.test/",
                            "https://velmora.test/courses", "https://velmora.test/?a=1", "https://evil.test/",
                            "https://www.velmora.test/x", " https://velmora.test/", "HTTPS://velmora.test/"}) {
        page.send({{"type", "openExternal"}, {"url", url}});
    }
    page.send({{"type", "openExternal"}, {"url", 5}});
    page.send({{"type", "openExternal"}});
    EXPECT_EQ(page.workspace->opened, (std::vector<std::string>{"https://velmora.test/", "https://www.velmora.test/"}));
}

TEST(MacBridgeSettingsTest, ShowsWindowAndClicksTheSettingsView) {
    FakePage page;
    page.bridge->openSettings();
    EXPECT_EQ(page.application->shown, 1);
    EXPECT_EQ(page.webView->scripts, (std::vector<std::string>{"document.querySelector('[data-view=settings]')?.click();"}));
}

TEST(MacBridgePostTest, BuildsTheExactEventScriptWithLineSeparatorsEscaped) {
    FakePage page;
    page.bridge->post({{"type", "noSession"}});
    ASSERT_EQ(page.webView->scripts.size(), 1u);
    EXPECT_EQ(page.webView->scripts[0], "window.dispatchEvent(new MessageEvent('message',{data:{\"type\":\"noSession\"}}));");

    auto script = MacBridge::eventScript({{"type", "error"}, {"message", "a\xE2\x80\xA8" "b\xE2\x80\xA9" "c"}});
    ASSERT_TRUE(script);
    EXPECT_EQ(script->find("\xE2\x80\xA8"), std::string::npos);
    EXPECT_EQ(script->find("\xE2\x80\xA9"), std::string::npos);
    EXPECT_NE(script->find("a\\u2028b\\u2029c"), std::string::npos);
}

TEST(MacBridgePostTest, DropsValuesThatAreNotJsonAndPostsAfterRelease) {
    FakePage page;
    page.bridge->post({{"type", "x"}, {"n", std::numeric_limits<double>::infinity()}});
    page.bridge->post({{"type", "x"}, {"nested", {{"n", std::numeric_limits<double>::quiet_NaN()}}}});
    page.bridge->post({{"type", "x"}, {"text", std::string("\xff")}});
    page.bridge->post(Json::array({1}));
    EXPECT_TRUE(page.webView->scripts.empty());
    page.webView.reset();
    page.bridge->post({{"type", "noSession"}});  // the web view is held weakly: dropped silently
}

// Evaluates the posted script in node with a stand-in window and checks that the event's data is
// the same object and that text cannot break out of the literal to run code.
TEST(MacBridgePostTest, EvaluatesToTheSameObjectInAJavaScriptEngine) {
    if (std::system("node --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "node is not installed";
    Json message = {{"type", "error"},
                    {"message", "quote \" apostrophe ' backslash \\ </script> }));globalThis.pwned=1;(({ 星禾 \xE2\x80\xA8 \xE2\x80\xA9 end"},
                    {"nested", {{"n", -7}, {"f", 1.5}, {"ok", true}, {"none", nullptr}, {"list", Json::array({"a", 2})}}}};
    auto script = MacBridge::eventScript(message);
    ASSERT_TRUE(script);
    test::TempDirectory dir;
    std::string harness =
        "let received;\n"
        "globalThis.MessageEvent = class { constructor(type, init) { this.type = type; this.data = init.data; } };\n"
        "globalThis.window = { dispatchEvent(e) { received = e; } };\n" +
        *script +
        "\nif (globalThis.pwned) process.exit(3);\n"
        "process.stdout.write(received.type + '\\n' + JSON.stringify(received.data));\n";
    test::writeFile(dir / "harness.js", harness);
    int status = std::system(("node " + (dir / "harness.js").string() + " > " + (dir / "out").string()).c_str());
    std::string output = test::readText(dir / "out");
    ASSERT_EQ(status, 0) << output;
    auto newline = output.find('\n');
    ASSERT_NE(newline, std::string::npos);
    EXPECT_EQ(output.substr(0, newline), "message");
    EXPECT_EQ(Json::parse(output.substr(newline + 1)), message);
}

}  // namespace
}  // namespace velmora
