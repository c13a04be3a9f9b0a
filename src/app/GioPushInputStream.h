#pragma once

#include "app/GLibHandles.h"
#include "core/Crypto.h"

#include <gio/gio.h>

#include <functional>
#include <string>

namespace velmora {

// A GInputStream fed from outside: the producer pushes bytes, then finishes or fails; the reader
// (WebKit, reading a scheme response in GLib's worker threads) blocks until bytes, the end or the
// failure arrive. When the reader goes away first (cancels a read, closes the stream or drops it
// before the end), `abandoned` runs once, on whatever thread noticed. `pieceRead` runs on the
// reader's thread each time the reader has taken the last byte of a pushed piece, so that the
// producer can wait for its reader. Thread-safe.
class GioPushInputStream {
public:
    // A new stream (owned by the caller).
    static GObjectPtr<GInputStream> create(std::function<void()> abandoned, std::function<void()> pieceRead);

    static void push(GInputStream* stream, Bytes&& bytes);
    static void finish(GInputStream* stream);
    static void fail(GInputStream* stream, const std::string& message);
};

}  // namespace velmora
