#include "app/NavigationPolicy.h"

#include "bridge/MacBridge.h"
#include "net/Url.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace velmora {

namespace {

std::string lowercased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

}  // namespace

NavigationDecision decideNavigation(std::optional<std::string_view> url, NavigationTarget target) {
    if (!url || url->empty()) return NavigationDecision::cancel;
    std::string_view scheme = Url::schemeOf(*url);
    if (scheme == MacBridge::kAppScheme || target == NavigationTarget::none) return NavigationDecision::allow;
    std::string lower = lowercased(scheme);
    if (lower != "https" && lower != "http") return NavigationDecision::cancel;
    return target == NavigationTarget::mainFrame ? NavigationDecision::cancelAndOpenInBrowser : NavigationDecision::allow;
}

}  // namespace velmora
