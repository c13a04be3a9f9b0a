#include "schemes/loopback/LoopbackPeer.h"

#include "core/Files.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace velmora {
namespace {

// A listener on 127.0.0.1 and the connections made to it: each the client end and the accepted end.
struct LoopbackConnections {
    struct Pair {
        FileDescriptor client;
        FileDescriptor accepted;
    };

    LoopbackConnections() : listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(::listen(listener.get(), SOMAXCONN), 0);
        EXPECT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
        port = address.sin_port;
    }

    // A client of `family`: AF_INET, or AF_INET6 connecting to ::ffff:127.0.0.1.
    Pair connect(int family = AF_INET) {
        FileDescriptor client(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in v4{.sin_family = AF_INET, .sin_port = port, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
        sockaddr_in6 v6{.sin6_family = AF_INET6, .sin6_port = port, .sin6_flowinfo = 0, .sin6_addr = {}, .sin6_scope_id = 0};
        ::inet_pton(AF_INET6, "::ffff:127.0.0.1", &v6.sin6_addr);
        int connected = family == AF_INET ? ::connect(client.get(), reinterpret_cast<sockaddr*>(&v4), sizeof v4)
                                          : ::connect(client.get(), reinterpret_cast<sockaddr*>(&v6), sizeof v6);
        EXPECT_EQ(connected, 0);
        return {std::move(client), FileDescriptor(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC))};
    }

    FileDescriptor listener;
    in_port_t port = 0;
};

// Bytes this process has read through read(2) and its kind, /proc/net/tcp included.
long long bytesReadSoFar() {
    std::ifstream io("/proc/self/io");
    std::string field;
    long long value = 0;
    while (io >> field >> value) {
        if (field == "rchar:") return value;
    }
    return -1;
}

TEST(LoopbackPeer, NamesTheOwnerOfOwnClientsAndNobodyOnceTheClientHasGone) {
    LoopbackConnections server;
    for (int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(family == AF_INET ? "IPv4 client" : "IPv4-mapped IPv6 client");
        LoopbackConnections::Pair pair = server.connect(family);
        EXPECT_EQ(LoopbackPeer::ownerOf(pair.accepted.get()), ::geteuid());
        pair.client.close();
        EXPECT_EQ(LoopbackPeer::ownerOf(pair.accepted.get()), std::nullopt);
    }
}

// Another user's many sockets must not make each lookup read the machine's socket tables.
TEST(LoopbackPeer, LookupCostDoesNotGrowWithTheSocketsOnTheMachine) {
    LoopbackConnections server;
    std::vector<LoopbackConnections::Pair> crowd;
    for (int i = 0; i < 1000; ++i) crowd.push_back(server.connect());
    constexpr int kLookups = 50;
    long long before = bytesReadSoFar();
    for (int i = 0; i < kLookups; ++i) ASSERT_EQ(LoopbackPeer::ownerOf(crowd[i * 20].accepted.get()), ::geteuid());
    // Each table line is ~150 bytes: reading the tables would cost megabytes here.
    EXPECT_LT(bytesReadSoFar() - before, 64 * 1024);
}

}  // namespace
}  // namespace velmora
