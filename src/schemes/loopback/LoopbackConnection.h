#pragma once

#include "core/Files.h"
#include "schemes/SchemeTask.h"
#include "schemes/loopback/HttpRequestHead.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include <sys/types.h>

namespace velmora {

class LoopbackTask;

// One client connection of the loopback media server: reads HTTP/1.1 requests one after another
// (keep-alive), admits only "GET /<secret>/v1/<asset>?…" for the bound Host, and answers each as a
// scheme task of the media handler. A client that goes away stops its task; run() then returns.
// The owner check runs on the connection's own thread, so the accepting thread never waits for it.
// A request head must be whole within kHeadTimeout of the connection's start (of its first byte on
// a connection that has passed the gate), and a request the gate refuses ends the connection: a
// client without the secret cannot keep a connection open for long.
class LoopbackConnection {
public:
    // What an admitted request must name: the path secret and the exact Host value.
    struct Gate {
        std::string secret;
        std::string host;
    };

    static constexpr std::chrono::milliseconds kHeadTimeout{2000};

    LoopbackConnection(FileDescriptor socket, SchemeHandler& media, Gate gate);
    LoopbackConnection(const LoopbackConnection&) = delete;
    LoopbackConnection& operator=(const LoopbackConnection&) = delete;

    // Serves the connection to its end; on the connection's own thread.
    void run();
    // run() when the client's socket belongs to the OS user `owner`; otherwise closes the connection
    // unread. On the connection's own thread.
    void runFor(uid_t owner);

    // Ends the connection soon: any blocked read, wait or write returns. Any thread.
    void shutdown();

    bool finished() const { return finished_; }

    // Whether a request on this connection has passed the gate, or it is still open and waiting.
    bool passedGate() const { return standing_ == Standing::admitted; }
    bool holdsSlot() const { return !finished_ && standing_ != Standing::dropped; }

    // Ends the connection if no request on it has passed the gate yet; false when one has. Any thread.
    bool dropIfNotAdmitted();

private:
    enum class Outcome { keepOpen, close };
    enum class Standing { waiting, admitted, dropped };

    void serveRequests();
    std::optional<std::string> readHead();
    bool admit();
    // The media target ("/v1/<asset>?…") an admitted request names, or nullopt when the gate refuses it.
    std::optional<std::string_view> admittedMediaTarget(const HttpRequestHead& request) const;
    Outcome answer(std::string_view mediaTarget, const HttpRequestHead& request);
    Outcome awaitEnd(LoopbackTask& task, bool keepAlive);
    Outcome giveUp(LoopbackTask& task);
    bool clientIsGone(short events, bool& watchInput);
    bool writeNotFound(bool keepAlive, const std::string& detail = {});
    bool sendAll(std::string_view bytes);

    FileDescriptor socket_;
    SchemeHandler& media_;
    Gate gate_;
    std::string pending_;  // bytes read beyond the last request head
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::atomic<Standing> standing_{Standing::waiting};
    std::atomic<bool> finished_{false};
};

}  // namespace velmora
