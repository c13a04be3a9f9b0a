#include "app/NavigationPolicy.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace velmora {
namespace {

using D = NavigationDecision;
using T = NavigationTarget;

struct NavigationCase {
    const char* name;
    std::optional<std::string> url;
    NavigationTarget target;
    NavigationDecision expected;
};

std::vector<NavigationCase> navigationCases() {
    return {
        {"PackagedPageInMainFrame", "velmora-app://local/index.html", T::mainFrame, D::allow},
        {"PackagedPageInSubFrame", "velmora-app://local/frame.html", T::subFrame, D::allow},
        {"PackagedPageInNewWindow", "velmora-app://local/index.html", T::none, D::allow},
        {"WebLinkInMainFrameOpensOutside", "https://www.velmora.cn/course/1", T::mainFrame, D::cancelAndOpenInBrowser},
        {"PlainHttpInMainFrameOpensOutside", "http://velmora.cn/", T::mainFrame, D::cancelAndOpenInBrowser},
        {"UpperCaseWebSchemeOpensOutside", "HTTPS://velmora.cn/", T::mainFrame, D::cancelAndOpenInBrowser},
        {"MailLinkInMainFrameIsDropped", "mailto:learner@velmora.cn", T::mainFrame, D::cancel},
        {"FileInMainFrameIsDropped", "file:///etc/passwd", T::mainFrame, D::cancel},
        {"DataInMainFrameIsDropped", "data:text/html,<p>x</p>", T::mainFrame, D::cancel},
        {"MediaSchemeInMainFrameIsDropped", "velmora-media://local/v1/a?owner=k", T::mainFrame, D::cancel},
        // The app scheme is compared case-sensitively: another spelling is not the packaged UI.
        {"AppSchemeOtherCaseIsNotTheApp", "Velmora-App://local/index.html", T::mainFrame, D::cancel},
        {"AppSchemeAsPrefixIsNotTheApp", "velmora-apps://local/index.html", T::mainFrame, D::cancel},
        {"WebPageInIframeLoadsInPlace", "https://player.velmora.cn/embed", T::subFrame, D::allow},
        {"MailLinkInIframeLoadsInPlace", "mailto:learner@velmora.cn", T::subFrame, D::allow},
        {"WebPageInNewWindowIsAllowed", "https://velmora.cn/", T::none, D::allow},
        {"NoUrlIsCancelled", std::nullopt, T::mainFrame, D::cancel},
        {"NoUrlInIframeIsCancelled", std::nullopt, T::subFrame, D::cancel},
        {"EmptyUrlIsCancelled", "", T::mainFrame, D::cancel},
        {"SchemelessTextIsCancelledInMainFrame", "index.html", T::mainFrame, D::cancel},
    };
}

TEST(DecideNavigation, KeepsTheMainFrameOnThePackagedUi) {
    for (const NavigationCase& c : navigationCases()) {
        SCOPED_TRACE(c.name);
        std::optional<std::string_view> url = c.url ? std::optional<std::string_view>(*c.url) : std::nullopt;
        EXPECT_EQ(decideNavigation(url, c.target), c.expected);
    }
}

}  // namespace
}  // namespace velmora
