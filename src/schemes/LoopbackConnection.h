#pragma once

#include "core/Files.h"
#include "schemes/HttpRequestHead.h"
#include "schemes/SchemeTask.h"

#include <atomic>
#include <optional>
#include <string>

namespace velmora {

class LoopbackTask;

// One client connection of the loopback media server: reads HTTP/1.1 requests one after another
// (keep-alive), admits only "GET /<secret>/v1/<asset>?…" for the bound Host, and answers each as a
// scheme task of the media handler. A client that goes away stops its task; run() then returns.
class LoopbackConnection {
public:
    // What an admitted request must name: the path secret and the exact Host value.
    struct Gate {
        std::string secret;
        std::string host;
    };

    LoopbackConnection(FileDescriptor socket, SchemeHandler& media, Gate gate);
    LoopbackConnection(const LoopbackConnection&) = delete;
    LoopbackConnection& operator=(const LoopbackConnection&) = delete;

    // Serves the connection to its end; on the connection's own thread.
    void run();

    // Ends the connection soon: any blocked read, wait or write returns. Any thread.
    void shutdown();

    bool finished() const { return finished_; }

private:
    enum class Outcome { keepOpen, close };

    void serveRequests();
    std::optional<std::string> readHead();
    std::optional<std::string> admittedMediaAddress(const HttpRequestHead& request) const;
    Outcome answer(const std::string& mediaAddress, const HttpRequestHead& request);
    Outcome awaitEnd(LoopbackTask& task, bool keepAlive);
    Outcome giveUp(LoopbackTask& task);
    bool clientIsGone(short events, bool& watchInput);
    bool writeNotFound(bool keepAlive, const std::string& detail = {});
    bool sendAll(std::string_view bytes);

    FileDescriptor socket_;
    SchemeHandler& media_;
    Gate gate_;
    std::string pending_;  // bytes read beyond the last request head
    std::atomic<bool> finished_{false};
};

}  // namespace velmora
