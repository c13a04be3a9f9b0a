#pragma once

#include <string>

namespace velmora {

// The page side of the web view, as the bridge needs it. Main thread only.
class WebViewHost {
public:
    virtual ~WebViewHost() = default;
    // Evaluates `script` in the page's main world; results and script errors are ignored.
    virtual void evaluateScript(const std::string& script) = 0;
    // Sets the page zoom factor (1.0 is 100 %).
    virtual void setPageZoom(double factor) = 0;
};

}  // namespace velmora
