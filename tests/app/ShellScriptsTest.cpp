#include "app/ShellScripts.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora {
namespace {

// The media server's address goes into page script as a string literal: no base may end it.
TEST(ShellScripts, MediaRewriteBaseCannotEndTheLiteral) {
    const std::pair<const char*, const char*> cases[] = {
        {"http://x/\";alert(1);//", R"("http://x/\";alert(1);//")"},
        {"http://x/\\\"", R"("http://x/\\\"")"},
        {"http://x/\n", R"("http://x/\n")"},
        {"http://x/\xE2\x80\xA8", R"("http://x/\u2028")"},
    };
    for (const auto& [base, literal] : cases) {
        SCOPED_TRACE(base);
        std::string script = ShellScripts::mediaSourceRewriteScript(base);
        EXPECT_NE(script.find(std::string("const base = ") + literal + ";\n"), std::string::npos) << script.substr(0, 80);
    }
}

}  // namespace
}  // namespace velmora
