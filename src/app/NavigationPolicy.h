#pragma once

#include <optional>
#include <string_view>

namespace velmora {

// Which frame a navigation would load into.
enum class NavigationTarget {
    none,           // a new window (no target frame)
    mainFrame,      // replaces the packaged page
    existingFrame,  // the main frame or an iframe: WebKitGTK's navigation actions do not say which
};

enum class NavigationDecision {
    allow,
    cancel,
    cancelAndOpenInBrowser,  // cancel here, open the address in the user's default browser
};

// The main frame never leaves the packaged web UI: "velmora-app" addresses (scheme compared
// case-sensitively) load; web links aimed at the main frame open in the browser; any other scheme
// aimed at the main frame is dropped; new windows load as asked. In an existing frame web links
// load, since the main-frame ones are stopped at their response (MainFrameNavigationGuard), and
// every other scheme is dropped: "about:blank" and its kind replace a document without any
// response that could be stopped. No URL: cancel.
NavigationDecision decideNavigation(std::optional<std::string_view> url, NavigationTarget target);

}  // namespace velmora
