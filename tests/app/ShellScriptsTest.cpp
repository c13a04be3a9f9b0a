#include "app/ShellScripts.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora {
namespace {

TEST(ShellScripts, MacNativeScriptIsTheExactSource) {
    EXPECT_EQ(ShellScripts::macNativeScript(),
              "document.addEventListener('DOMContentLoaded',()=>document.body.classList.add('mac-native'));");
}

TEST(ShellScripts, RelayAndPageShimMeetOnTheSameEvent) {
    // The page's world dispatches what the relay listens for; a rename on one side only would
    // silently cut the page off from the bridge.
    const std::string event = "'velmora-bridge-post'";
    EXPECT_NE(std::string(ShellScripts::relayScript()).find("addEventListener(" + event), std::string::npos);
    EXPECT_NE(std::string(ShellScripts::pagePostMessageScript()).find("new CustomEvent(" + event), std::string::npos);
}

TEST(ShellScripts, MediaRewriteEmbedsTheBaseAsOneStringLiteral) {
    std::string script = ShellScripts::mediaSourceRewriteScript("http://127.0.0.1:4567/abc/");
    EXPECT_EQ(script.rfind("(() => {\n  const base = \"http://127.0.0.1:4567/abc/\";", 0), 0U) << script.substr(0, 80);
}

TEST(ShellScripts, MediaRewriteBaseCannotEndTheLiteral) {
    struct Case {
        const char* base;
        const char* literal;
    };
    const Case cases[] = {
        {"http://x/\";alert(1);//", R"("http://x/\";alert(1);//")"},
        {"http://x/\\\"", R"("http://x/\\\"")"},
        {"http://x/\n", R"("http://x/\n")"},
        {"http://x/\xE2\x80\xA8", R"("http://x/\u2028")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base);
        std::string script = ShellScripts::mediaSourceRewriteScript(c.base);
        EXPECT_NE(script.find(std::string("const base = ") + c.literal + ";\n"), std::string::npos) << script.substr(0, 80);
    }
}

}  // namespace
}  // namespace velmora
