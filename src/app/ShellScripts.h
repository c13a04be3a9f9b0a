#pragma once

#include <string>
#include <string_view>

namespace velmora {

// The scripts the shell injects into the page, kept apart from WebKit so they can be checked
// without a display.
//
// WebKitGTK's script messages carry no information about the sending frame, so the "velmora"
// handler lives in an isolated script world. relayScript() runs in that world in every
// "velmora-app" frame and forwards the page's messages together with its own frame's address;
// pagePostMessageScript() runs in the page's world of the same frames and gives the page
// window.webkit.messageHandlers.velmora.postMessage(). Frames from the network get neither script.
struct ShellScripts {
    static constexpr std::string_view kBridgeWorld = "velmora-bridge";
    // The URL pattern that limits the bridge scripts to the packaged web UI.
    static constexpr std::string_view kAppFramePattern = "velmora-app://*/*";

    // Marks the body "mac-native" once parsed; main frame only.
    static std::string_view macNativeScript();
    static std::string_view relayScript();
    static std::string_view pagePostMessageScript();

    // Rewrites media element sources "velmora-media://local/…" to `loopbackBase` + "/…" (WebKitGTK's
    // media player loads only http(s), file, blob and data addresses).
    static std::string mediaSourceRewriteScript(std::string_view loopbackBase);
};

}  // namespace velmora
