#include "schemes/loopback/LoopbackConnection.h"

#include "schemes/loopback/LoopbackPeer.h"
#include "schemes/loopback/LoopbackTask.h"

#include <openssl/crypto.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>

namespace velmora {

namespace {

constexpr std::size_t kMaxHeadBytes = 16 * 1024;
constexpr int kIdleTimeoutMs = 60'000;  // a keep-alive connection without a request is closed
constexpr std::string_view kVersionSegment = "/v1/";
constexpr std::string_view kMediaScheme = "velmora-media";
constexpr std::string_view kMediaHost = "local";

// Constant-time comparison, so the time to refuse does not tell how much of a guess was right.
bool sameSecret(std::string_view given, std::string_view secret) {
    return given.size() == secret.size() && CRYPTO_memcmp(given.data(), secret.data(), secret.size()) == 0;
}

bool hasBody(const HttpRequestHead& request) {
    auto length = request.field("Content-Length");
    return request.fieldCount("Transfer-Encoding") > 0 || request.fieldCount("Content-Length") > 1 ||
           (length && *length != "0");
}

}  // namespace

LoopbackConnection::LoopbackConnection(FileDescriptor socket, SchemeHandler& media, Gate gate)
    : socket_(std::move(socket)), media_(media), gate_(std::move(gate)) {}

void LoopbackConnection::shutdown() { ::shutdown(socket_.get(), SHUT_RDWR); }

bool LoopbackConnection::dropIfNotAdmitted() {
    Standing expected = Standing::waiting;
    if (!standing_.compare_exchange_strong(expected, Standing::dropped)) return false;
    shutdown();
    return true;
}

// Marks the connection as one that passed the gate, unless it was dropped just before.
bool LoopbackConnection::admit() {
    Standing expected = Standing::waiting;
    return standing_.compare_exchange_strong(expected, Standing::admitted) || expected == Standing::admitted;
}

void LoopbackConnection::run() {
    try {
        serveRequests();
    } catch (const std::exception&) {
        // A platform failure such as running out of descriptors: this client is dropped, the
        // server goes on. Nothing may escape the connection's thread.
    }
    shutdown();
    finished_ = true;
}

void LoopbackConnection::runFor(uid_t owner) {
    if (LoopbackPeer::ownerOf(socket_.get()) == owner) {
        run();
        return;
    }
    shutdown();
    finished_ = true;
}

void LoopbackConnection::serveRequests() {
    for (;;) {
        auto head = readHead();
        if (!head) return;
        auto request = HttpRequestHead::parse(*head);
        if (!request) {
            writeNotFound(false);
            return;
        }
        auto target = admittedMediaTarget(*request);
        if (!target) {
            writeNotFound(false);
            return;
        }
        if (!admit() || answer(*target, *request) == Outcome::close) return;
    }
}

std::optional<std::string> LoopbackConnection::readHead() {
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> deadline;
    if (!passedGate()) deadline = started_ + kHeadTimeout;
    for (;;) {
        if (auto end = pending_.find("\r\n\r\n"); end != std::string::npos) {
            std::string head = pending_.substr(0, end);
            pending_.erase(0, end + 4);
            return head;
        }
        if (pending_.size() > kMaxHeadBytes) return std::nullopt;
        if (!deadline && !pending_.empty()) deadline = Clock::now() + kHeadTimeout;
        int timeoutMs = kIdleTimeoutMs;
        if (deadline) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            if (left <= 0) return std::nullopt;
            timeoutMs = static_cast<int>(left);
        }
        pollfd waiting{socket_.get(), POLLIN, 0};
        int ready = ::poll(&waiting, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        std::array<char, 4096> buffer{};
        ssize_t got = ::recv(socket_.get(), buffer.data(), buffer.size(), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return std::nullopt;
        pending_.append(buffer.data(), static_cast<std::size_t>(got));
    }
}

std::optional<std::string_view> LoopbackConnection::admittedMediaTarget(const HttpRequestHead& request) const {
    if (request.method != "GET" || request.fieldCount("Host") != 1 || request.field("Host") != gate_.host ||
        hasBody(request)) {
        return std::nullopt;
    }
    std::string_view target = request.target;
    if (target.size() < 1 + gate_.secret.size() || target.front() != '/' ||
        !sameSecret(target.substr(1, gate_.secret.size()), gate_.secret)) {
        return std::nullopt;
    }
    std::string_view rest = target.substr(1 + gate_.secret.size());
    if (!rest.starts_with(kVersionSegment)) return std::nullopt;
    std::string_view path = rest.substr(0, rest.find('?'));
    auto decoded = percentDecode(path);
    if (!decoded || path.find("..") != std::string_view::npos || decoded->find("..") != std::string::npos) {
        return std::nullopt;
    }
    return rest;
}

LoopbackConnection::Outcome LoopbackConnection::answer(std::string_view mediaTarget, const HttpRequestHead& request) {
    SchemeRequest schemeRequest;
    schemeRequest.url = Url::fromTarget(kMediaScheme, kMediaHost, mediaTarget);
    if (auto range = request.field("Range")) schemeRequest.headers.emplace("Range", *range);
    bool keepAlive = request.keepsAlive();
    auto task = std::make_shared<LoopbackTask>(std::move(schemeRequest), socket_, keepAlive, media_);
    media_.start(task);
    try {
        return awaitEnd(*task, keepAlive);
    } catch (...) {
        giveUp(*task);  // never leave the media queue waiting for room in an outbox nobody empties
        throw;
    }
}

// Writes what the task puts into its outbox, and between pieces watches the socket, so that a client
// that goes away stops the task at once instead of after the whole answer. A write that fails
// (reset, shut down, or no progress within the send time-out) stops it as well.
LoopbackConnection::Outcome LoopbackConnection::awaitEnd(LoopbackTask& task, bool keepAlive) {
    bool watchInput = true;
    for (;;) {
        while (const Bytes* bytes = task.nextToWrite()) {
            if (!sendAll({reinterpret_cast<const char*>(bytes->data()), bytes->size()})) return giveUp(task);
            task.popWritten();
        }
        switch (task.ending()) {
            case LoopbackTask::Ending::running: break;
            case LoopbackTask::Ending::finished: return Outcome::keepOpen;
            case LoopbackTask::Ending::failedBeforeHead:
                return writeNotFound(keepAlive, task.failureMessage()) && keepAlive ? Outcome::keepOpen : Outcome::close;
            case LoopbackTask::Ending::cutShort: return Outcome::close;
            case LoopbackTask::Ending::clientGone: return giveUp(task);
        }
        std::array<pollfd, 2> waiting{{{task.readyDescriptor(), POLLIN, 0},
                                       {socket_.get(), static_cast<short>(watchInput ? POLLIN | POLLRDHUP : 0), 0}}};
        if (::poll(waiting.data(), waiting.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return giveUp(task);
        }
        if (waiting[1].revents != 0 && clientIsGone(waiting[1].revents, watchInput)) return giveUp(task);
        if ((waiting[0].revents & POLLIN) != 0) task.clearReady();
    }
}

LoopbackConnection::Outcome LoopbackConnection::giveUp(LoopbackTask& task) {
    media_.stop(task);
    task.abandon();
    return Outcome::close;
}

bool LoopbackConnection::clientIsGone(short events, bool& watchInput) {
    if ((events & (POLLHUP | POLLERR | POLLNVAL)) != 0) return true;
    char byte = 0;
    ssize_t got = ::recv(socket_.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got == 0) return true;
    if (got < 0) return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
    watchInput = false;  // a pipelined request waits its turn; stop polling for it
    return false;
}

bool LoopbackConnection::writeNotFound(bool keepAlive, const std::string& detail) {
    std::string answer = "HTTP/1.1 404 Not Found\r\n";
    if (!detail.empty()) answer += "Content-Type: text/plain; charset=utf-8\r\n";
    answer += "Content-Length: " + std::to_string(detail.size()) + "\r\n";
    if (!keepAlive) answer += "Connection: close\r\n";
    return sendAll(answer + "\r\n" + detail);
}

bool LoopbackConnection::sendAll(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t wrote = ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return false;  // gone, reset, or no progress within the send time-out
        }
        bytes.remove_prefix(static_cast<std::size_t>(wrote));
    }
    return true;
}

}  // namespace velmora
