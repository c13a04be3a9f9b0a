#pragma once

#include <optional>
#include <string_view>

namespace velmora {

// Which frame a navigation would load into.
enum class NavigationTarget {
    none,       // a new window (no target frame)
    mainFrame,  // replaces the packaged page
    subFrame,   // an iframe inside it
};

enum class NavigationDecision {
    allow,
    cancel,
    cancelAndOpenInBrowser,  // cancel here, open the address in the user's default browser
};

// The main frame never leaves the packaged web UI: "velmora-app" addresses (scheme compared
// case-sensitively) load; web links aimed at the main frame open in the browser; any other scheme
// aimed at the main frame is dropped; new windows and iframes load as asked. No URL: cancel.
NavigationDecision decideNavigation(std::optional<std::string_view> url, NavigationTarget target);

}  // namespace velmora
