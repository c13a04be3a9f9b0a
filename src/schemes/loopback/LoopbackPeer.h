#pragma once

#include <sys/types.h>

#include <optional>

namespace velmora {

// Who is at the other end of a TCP connection accepted on 127.0.0.1. The client's socket lives in
// this machine's kernel too, so its owner can be looked up: the loopback media server serves only
// processes of its own OS user.
class LoopbackPeer {
public:
    // The owner uid of the client socket connected to `acceptedSocket`, read from the kernel's
    // socket tables (/proc/net/tcp, and /proc/net/tcp6 for IPv4-mapped clients); nullopt when the
    // socket is not found there (the client has already gone). Any thread.
    static std::optional<uid_t> ownerOf(int acceptedSocket);
};

}  // namespace velmora
