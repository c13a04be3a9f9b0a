#pragma once

#include <sys/types.h>

#include <optional>

namespace velmora {

// Who is at the other end of a TCP connection accepted on 127.0.0.1. The client's socket lives in
// this machine's kernel too, so its owner can be looked up: the loopback media server serves only
// processes of its own OS user.
class LoopbackPeer {
public:
    // The owner uid of the client socket connected to `acceptedSocket`, asked of the kernel for
    // that one socket (NETLINK_SOCK_DIAG, by its two ends; IPv4-mapped IPv6 clients included), so
    // the cost does not grow with the sockets open on the machine. nullopt when the client socket
    // is no longer established (the client has gone) or the kernel cannot be asked. Any thread.
    static std::optional<uid_t> ownerOf(int acceptedSocket);
};

}  // namespace velmora
