#pragma once

#include <string>

namespace velmora {

// The main window's own actions. Main thread only.
class MainWindow {
public:
    virtual ~MainWindow() = default;
    virtual void miniaturize() = 0;
    // Toggles between the maximised and the user's own frame, like the title bar's button.
    virtual void zoom() = 0;
    // Starts a window move driven by the event being handled now; false (nothing done) if none.
    virtual bool performDragWithCurrentEvent() = 0;
};

// How the bridge drives the application without knowing the shell. Main thread only.
class MacApplicationCommands {
public:
    virtual ~MacApplicationCommands() = default;
    // The main window, or nullptr when there is none. Not owned.
    virtual MainWindow* mainWindow() = 0;
    // Asks to quit; the quit confirmation follows.
    virtual void requestApplicationClose() = 0;
    // Hides the window; the application keeps running with its status item.
    virtual void minimizeToMenuBar() = 0;
    // Brings the main window back and to the front.
    virtual void showMainWindow() = 0;
    // A lesson's download has ended; `text` tells the learner how ("《title》已保存为离线课程" or
    // the failure's message). The shell may tell the desktop when the window is not looked at.
    virtual void downloadEnded([[maybe_unused]] const std::string& assetId, [[maybe_unused]] const std::string& text) {}
    // The page's lesson video started (true) or stopped playing: paused, ended, left or hidden.
    virtual void playbackChanged([[maybe_unused]] bool playing) {}
};

// Opens addresses outside the application, in the user's default browser.
class Workspace {
public:
    virtual ~Workspace() = default;
    virtual void openURL(const std::string& url) = 0;
};

}  // namespace velmora
