#include "schemes/loopback/MediaLoopback.h"

#include "core/Crypto.h"
#include "schemes/loopback/LoopbackConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <system_error>

namespace velmora {

namespace {

constexpr std::size_t kSecretSizeBytes = 32;
constexpr int kSendTimeoutSeconds = 30;  // a client that stops reading this long is let go

[[noreturn]] void throwSocketError(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

FileDescriptor listenOnLoopback() {
    FileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) throwSocketError("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) throwSocketError("bind");
    if (::listen(socket.get(), SOMAXCONN) != 0) throwSocketError("listen");
    return socket;
}

std::uint16_t boundPort(const FileDescriptor& socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) throwSocketError("getsockname");
    return ntohs(address.sin_port);
}

FileDescriptor makeWakeDescriptor() {
    FileDescriptor fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!fd) throwSocketError("eventfd");
    return fd;
}

void configureClientSocket(int fd) {
    timeval timeout{kSendTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

MediaLoopback::MediaLoopback(SchemeHandler& media)
    : media_(media),
      secret_(hexLower(randomBytes(kSecretSizeBytes))),
      listener_(listenOnLoopback()),
      wake_(makeWakeDescriptor()),
      port_(boundPort(listener_)),
      host_("127.0.0.1:" + std::to_string(port_)),
      baseAddress_("http://" + host_ + "/" + secret_),
      acceptor_([this] { acceptLoop(); }) {}

MediaLoopback::~MediaLoopback() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wake_.get(), &one, sizeof one);
    acceptor_.join();
    std::lock_guard lock(clientsMutex_);
    for (Client& client : clients_) client.connection->shutdown();
    for (Client& client : clients_) client.thread.join();
}

void MediaLoopback::acceptLoop() {
    for (;;) {
        std::array<pollfd, 2> waiting{{{listener_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}}};
        if (::poll(waiting.data(), waiting.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (waiting[1].revents != 0) return;
        int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors or a connection that died in the backlog: wait a little, go on.
            if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            continue;
        }
        try {
            admit(FileDescriptor(fd));
        } catch (const std::exception&) {
            // Out of memory for one more client: it is refused, the server goes on.
        }
    }
}

// Closing the socket (dropping it unused) refuses the client.
void MediaLoopback::admit(FileDescriptor socket) {
    reapFinished();
    std::lock_guard lock(clientsMutex_);
    if (!makeRoom()) return;
    configureClientSocket(socket.get());
    auto connection = std::make_unique<LoopbackConnection>(std::move(socket), media_,
                                                           LoopbackConnection::Gate{secret_, host_});
    LoopbackConnection& running = *connection;
    clients_.push_back({std::move(connection), std::thread()});
    try {
        clients_.back().thread = std::thread([&running, owner = ::geteuid()] { running.runFor(owner); });
    } catch (const std::system_error&) {
        clients_.pop_back();  // no thread for it: dropping the entry closes its socket
    }
}

// Called with clientsMutex_ held. Clients are listed oldest first.
bool MediaLoopback::makeRoom() {
    std::size_t open = 0;
    for (const Client& client : clients_) open += client.connection->holdsSlot() ? 1 : 0;
    if (open < kMaxClients) return true;
    for (Client& client : clients_) {
        if (client.connection->holdsSlot() && client.connection->dropIfNotAdmitted()) return true;
    }
    return false;
}

void MediaLoopback::reapFinished() {
    std::lock_guard lock(clientsMutex_);
    for (auto client = clients_.begin(); client != clients_.end();) {
        if (!client->connection->finished()) {
            ++client;
            continue;
        }
        client->thread.join();
        client = clients_.erase(client);
    }
}

}  // namespace velmora
