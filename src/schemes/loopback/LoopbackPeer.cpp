#include "schemes/loopback/LoopbackPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace velmora {

namespace {

constexpr std::string_view kEstablished = "01";

// Addresses as the kernel prints them in /proc/net/tcp*: each 32-bit word of the address in
// memory order as one hexadecimal number, then the port as a number.
std::string tableAddress(const std::uint32_t* words, int count, std::uint16_t port) {
    std::string text;
    char part[9];
    for (int i = 0; i < count; ++i) {
        std::snprintf(part, sizeof part, "%08X", words[i]);
        text += part;
    }
    std::snprintf(part, sizeof part, "%04X", port);
    return text + ":" + part;
}

std::string ipv4Address(const sockaddr_in& address) {
    return tableAddress(&address.sin_addr.s_addr, 1, ntohs(address.sin_port));
}

std::string mappedAddress(const sockaddr_in& address) {
    in6_addr mapped{};
    mapped.s6_addr[10] = 0xff;
    mapped.s6_addr[11] = 0xff;
    std::memcpy(&mapped.s6_addr[12], &address.sin_addr.s_addr, 4);
    std::uint32_t words[4];
    std::memcpy(words, mapped.s6_addr, sizeof words);
    return tableAddress(words, 4, ntohs(address.sin_port));
}

// The uid of the established socket whose local end is `local` and remote end is `remote`.
std::optional<uid_t> findOwner(const char* table, const std::string& local, const std::string& remote) {
    std::ifstream file(table);
    std::string line;
    std::getline(file, line);  // the column titles
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string slot, localEnd, remoteEnd, state, queues, timer, retransmits;
        uid_t uid = 0;
        if (!(fields >> slot >> localEnd >> remoteEnd >> state >> queues >> timer >> retransmits >> uid)) continue;
        if (localEnd == local && remoteEnd == remote && state == kEstablished) return uid;
    }
    return std::nullopt;
}

}  // namespace

std::optional<uid_t> LoopbackPeer::ownerOf(int acceptedSocket) {
    sockaddr_in ours{}, theirs{};
    socklen_t oursLength = sizeof ours, theirsLength = sizeof theirs;
    if (::getsockname(acceptedSocket, reinterpret_cast<sockaddr*>(&ours), &oursLength) != 0 ||
        ::getpeername(acceptedSocket, reinterpret_cast<sockaddr*>(&theirs), &theirsLength) != 0 ||
        ours.sin_family != AF_INET || theirs.sin_family != AF_INET) {
        return std::nullopt;
    }
    // The client's socket sees the two ends the other way round.
    if (auto owner = findOwner("/proc/net/tcp", ipv4Address(theirs), ipv4Address(ours))) return owner;
    return findOwner("/proc/net/tcp6", mappedAddress(theirs), mappedAddress(ours));
}

}  // namespace velmora
