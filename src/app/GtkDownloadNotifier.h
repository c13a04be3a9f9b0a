#pragma once

#include <gtk/gtk.h>

#include <string>

namespace velmora {

// Tells the desktop that a download ended while the learner was not looking at the window (it is
// hidden, or another window has the focus). Clicking the notification runs kShowLibraryAction.
// Main thread only.
class GtkDownloadNotifier {
public:
    static constexpr const char* kShowLibraryAction = "show-offline-library";  // in the "app." group

    explicit GtkDownloadNotifier(GtkApplication* application) : application_(application) {}

    // Sends `text` as the notification of `assetId`'s download (replacing an earlier one of the
    // same lesson) unless `window` is on the screen and focused.
    void downloadEnded(GtkWindow* window, const std::string& assetId, const std::string& text) const;

private:
    GtkApplication* application_;  // not owned; outlives the notifier
};

}  // namespace velmora
