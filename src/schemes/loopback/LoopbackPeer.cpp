#include "schemes/loopback/LoopbackPeer.h"

#include "core/Files.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>

namespace velmora {

namespace {

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

// One exact lookup (no dump) of the TCP socket whose local end is `local` and remote end `remote`.
// The kernel finds IPv4-mapped ends of IPv6 sockets by the same IPv4 lookup.
DiagRequest lookupRequest(const sockaddr_in& local, const sockaddr_in& remote) {
    DiagRequest request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.body.sdiag_family = AF_INET;
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.id.idiag_sport = local.sin_port;
    request.body.id.idiag_dport = remote.sin_port;
    request.body.id.idiag_src[0] = local.sin_addr.s_addr;
    request.body.id.idiag_dst[0] = remote.sin_addr.s_addr;
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return request;
}

std::optional<uid_t> askKernel(const DiagRequest& request) {
    FileDescriptor diag(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!diag) return std::nullopt;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(diag.get(), &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0) {
        return std::nullopt;
    }
    // The answer is one inet_diag_msg, or an error message (ENOENT when there is no such socket).
    alignas(nlmsghdr) std::array<std::uint8_t, 8192> answer{};
    ssize_t received;
    do {
        received = ::recv(diag.get(), answer.data(), answer.size(), 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0) return std::nullopt;
    const auto* message = reinterpret_cast<const nlmsghdr*>(answer.data());
    if (!NLMSG_OK(message, static_cast<int>(received)) || message->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        message->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        return std::nullopt;
    }
    const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
    if (found->idiag_state != TCP_ESTABLISHED) return std::nullopt;  // a closing client's end has no owner worth trusting
    return found->idiag_uid;
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
    return askKernel(lookupRequest(theirs, ours));
}

}  // namespace velmora
