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
        {"PackagedPageInExistingFrame", "velmora-app://local/frame.html", T::existingFrame, D::allow},
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
        {"WebPageInExistingFrameLoadsInPlace", "https://player.velmora.cn/embed", T::existingFrame, D::allow},
        // Possibly the main frame, and these replace it without a response that could be stopped.
        {"BlankPageInExistingFrameIsDropped", "about:blank", T::existingFrame, D::cancel},
        {"DataInExistingFrameIsDropped", "data:text/html,<p>x</p>", T::existingFrame, D::cancel},
        {"MailLinkInExistingFrameIsDropped", "mailto:learner@velmora.cn", T::existingFrame, D::cancel},
        {"BlankPageInMainFrameIsDropped", "about:blank", T::mainFrame, D::cancel},
        {"WebPageInNewWindowIsAllowed", "https://velmora.cn/", T::none, D::allow},
        {"NoUrlIsCancelled", std::nullopt, T::mainFrame, D::cancel},
        {"NoUrlInExistingFrameIsCancelled", std::nullopt, T::existingFrame, D::cancel},
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
