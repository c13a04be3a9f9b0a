#pragma once

#include "core/Files.h"
#include "schemes/SchemeTask.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace velmora {

class LoopbackConnection;

// Stands in for media elements that cannot load "velmora-media" addresses in WebKitGTK (see
// README.md in this folder): an HTTP/1.1 server on 127.0.0.1 that hands each request to the media
// scheme handler as a scheme task for the equivalent "velmora-media" address, Range header included.
//
// Only "GET <baseAddress path>/v1/<asset>?owner=…" with the Host header naming the bound address and
// port is served; anything else gets a bare 404, reaches no handler and ends the connection. The path
// secret is 256 random bits drawn per instance, so other local processes cannot guess addresses.
// Connections of another OS user are closed before anything is read from them. Connections are kept alive between
// requests; a client that goes away stops its task within one piece.
//
// Client slots: at most kMaxClients connections are open. Only those that have passed the gate
// keep theirs; while the slots are taken, a new connection takes the slot of the oldest one that
// has not, so idle connections of a process without the secret cannot lock the player out.
//
// The handler must outlive this object; destruction closes every connection, stops their tasks
// and joins all threads.
class MediaLoopback {
public:
    // Binds 127.0.0.1 on an ephemeral port and starts accepting. Throws std::system_error.
    explicit MediaLoopback(SchemeHandler& media);
    MediaLoopback(const MediaLoopback&) = delete;
    MediaLoopback& operator=(const MediaLoopback&) = delete;
    ~MediaLoopback();

    static constexpr std::size_t kMaxClients = 16;  // media elements open a handful; more is not a player

    std::uint16_t port() const { return port_; }

    // "http://127.0.0.1:<port>/<secret>": the page serves velmora-media://local/v1/A?owner=K from
    // baseAddress() + "/v1/A?owner=K".
    const std::string& baseAddress() const { return baseAddress_; }

private:
    struct Client {
        std::unique_ptr<LoopbackConnection> connection;
        std::thread thread;
    };

    void acceptLoop();
    void admit(FileDescriptor socket);
    bool makeRoom();
    void reapFinished();

    SchemeHandler& media_;
    std::string secret_;
    FileDescriptor listener_;
    FileDescriptor wake_;
    std::uint16_t port_ = 0;
    std::string host_;
    std::string baseAddress_;
    std::mutex clientsMutex_;
    std::list<Client> clients_;
    std::thread acceptor_;
};

}  // namespace velmora
