#pragma once

#include "bridge/MacBridge.h"
#include "support/TestMainQueue.h"

#include <memory>
#include <string>
#include <vector>

namespace velmora::test {

// A web view that records what the bridge evaluates and decodes posted events back to JSON.
class FakeWebView : public WebViewHost {
public:
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    void setPageZoom(double factor) override { zoomFactors.push_back(factor); }

    // The "data" objects of every posted event, in order. Scripts that are not events are skipped.
    std::vector<Json> messages() const {
        static const std::string kPrefix = "window.dispatchEvent(new MessageEvent('message',{data:";
        static const std::string kSuffix = "}));";
        std::vector<Json> out;
        for (const std::string& script : scripts) {
            if (script.rfind(kPrefix, 0) != 0 || script.size() < kPrefix.size() + kSuffix.size()) continue;
            out.push_back(Json::parse(script.substr(kPrefix.size(), script.size() - kPrefix.size() - kSuffix.size())));
        }
        return out;
    }

    std::vector<std::string> scripts;
    std::vector<double> zoomFactors;
};

class FakeWindow : public MainWindow {
public:
    void miniaturize() override { ++miniaturized; }
    void zoom() override { ++zoomed; }
    bool performDragWithCurrentEvent() override {
        if (!hasCurrentEvent) return false;
        ++dragged;
        return true;
    }

    int miniaturized = 0;
    int zoomed = 0;
    int dragged = 0;
    bool hasCurrentEvent = true;
};

class FakeApplication : public MacApplicationCommands {
public:
    MainWindow* mainWindow() override { return hasWindow ? &window : nullptr; }
    void requestApplicationClose() override { ++closeRequests; }
    void minimizeToMenuBar() override { ++minimizedToMenuBar; }
    void showMainWindow() override { ++shown; }
    void downloadEnded(const std::string& assetId, const std::string& text) override { endedDownloads.emplace_back(assetId, text); }
    void playbackChanged(bool playing) override { playback.push_back(playing); }

    FakeWindow window;
    bool hasWindow = true;
    int closeRequests = 0;
    int minimizedToMenuBar = 0;
    int shown = 0;
    std::vector<std::pair<std::string, std::string>> endedDownloads;  // (asset, text told to the learner)
    std::vector<bool> playback;                                       // every playbackChanged, in order
};

class FakeWorkspace : public Workspace {
public:
    void openURL(const std::string& url) override { opened.push_back(url); }
    std::vector<std::string> opened;
};

// A bridge wired to a fake page, window and workspace, as the shell wires the real ones.
struct FakePage {
    explicit FakePage(BridgeEnvironment environment = {}) {
        if (!environment.mainQueue) environment.mainQueue = mainQueue;
        if (!environment.workspace) environment.workspace = workspace;
        if (environment.endpoints.webHost.empty()) environment.endpoints.webHost = "velmora.test";
        bridge = std::make_shared<MacBridge>(std::move(environment));
        bridge->setWebView(webView);
        bridge->setAppController(application);
    }

    // Posts a message as the packaged page's main frame does.
    void send(const Json& body) { bridge->didReceiveScriptMessage("velmora", "velmora-app://local/index.html", body); }

    std::vector<Json> messages() const { return webView->messages(); }

    std::shared_ptr<TestMainQueue> mainQueue = std::make_shared<TestMainQueue>();
    std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
    std::shared_ptr<FakeWebView> webView = std::make_shared<FakeWebView>();
    std::shared_ptr<FakeApplication> application = std::make_shared<FakeApplication>();
    std::shared_ptr<MacBridge> bridge;
};

}  // namespace velmora::test
