#pragma once

#include <string>

namespace velmora {

// Start-up timestamps for the start-up benchmark. With VELMORA_TRACE_STARTUP=1 in the environment it
// prints, on stderr, the CLOCK_MONOTONIC time in microseconds when the page reports its first drawn
// frame ("velmora-trace first-frame <us>") and when the bridge has answered the page's first
// restoreSession ("velmora-trace restore-session <us>"), and the steps marked with mark(). Otherwise
// it does nothing.
class StartupTrace {
public:
    // Called with every page message's JSON text after the bridge has handled it.
    void noteHandled(const std::string& body);

    // Prints "velmora-trace <event> <us>" when tracing is on: the steps of a start.
    static void mark(const char* event);

private:
    bool frameSeen_ = false;
    bool restoreSeen_ = false;
};

// Whether a page message is the page's report of its first drawn frame ({"type":"firstFrame"}).
bool isFirstFrameMessage(const std::string& body);

}  // namespace velmora
