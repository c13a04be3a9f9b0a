#include "HttpTestClient.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace velmora::test {

namespace {

std::string lowerCased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trimmed(std::string text) {
    auto first = text.find_first_not_of(" \t\r\n");
    auto last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string{} : text.substr(first, last - first + 1);
}

}  // namespace

RawHttpConnection::RawHttpConnection(std::uint16_t port) : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (!socket_) throw std::system_error(errno, std::generic_category(), "socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw std::system_error(errno, std::generic_category(), "connect");
    }
}

void RawHttpConnection::send(const std::string& bytes) {
    if (::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
        throw std::system_error(errno, std::generic_category(), "send");
    }
}

std::string RawHttpConnection::readSome() {
    pollfd waiting{socket_.get(), POLLIN, 0};
    if (::poll(&waiting, 1, 10'000) <= 0) throw std::runtime_error("no answer within 10 s");
    std::array<char, 65536> chunk{};
    ssize_t got = ::recv(socket_.get(), chunk.data(), chunk.size(), 0);
    return got > 0 ? std::string(chunk.data(), static_cast<std::size_t>(got)) : std::string{};
}

std::string RawHttpConnection::readHead() {
    while (buffer_.find("\r\n\r\n") == std::string::npos) {
        std::string more = readSome();
        if (more.empty()) return {};
        buffer_ += more;
    }
    auto end = buffer_.find("\r\n\r\n") + 4;
    std::string head = buffer_.substr(0, end);
    buffer_.erase(0, end);
    return head;
}

std::optional<RawHttpConnection::Response> RawHttpConnection::readResponse() {
    std::string head = readHead();
    if (head.empty()) return std::nullopt;
    Response response;
    response.status = std::stoi(head.substr(9, 3));
    for (std::size_t at = head.find("\r\n") + 2; at < head.size() - 2;) {
        auto end = head.find("\r\n", at);
        std::string line = head.substr(at, end - at);
        auto colon = line.find(':');
        response.fields[lowerCased(line.substr(0, colon))] = trimmed(line.substr(colon + 1));
        at = end + 2;
    }
    if (auto length = response.fields.find("content-length"); length != response.fields.end()) {
        std::size_t wanted = std::stoul(length->second);
        while (buffer_.size() < wanted) {
            std::string more = readSome();
            if (more.empty()) break;
            buffer_ += more;
        }
        response.body = buffer_.substr(0, std::min(wanted, buffer_.size()));
        buffer_.erase(0, response.body.size());
    } else {
        for (std::string more = readSome(); !more.empty(); more = readSome()) buffer_ += more;
        response.body.swap(buffer_);
    }
    return response;
}

bool RawHttpConnection::closedByServer(int timeoutMs) {
    pollfd waiting{socket_.get(), POLLIN, 0};
    if (::poll(&waiting, 1, timeoutMs) <= 0) return false;
    char byte = 0;
    return ::recv(socket_.get(), &byte, 1, MSG_PEEK) <= 0;
}

namespace {

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* target) {
    static_cast<CurlAnswer*>(target)->body.append(data, size * count);
    return size * count;
}

std::size_t collectField(char* data, std::size_t size, std::size_t count, void* target) {
    std::string line(data, size * count);
    auto colon = line.find(':');
    if (colon != std::string::npos) {
        static_cast<CurlAnswer*>(target)->fields[lowerCased(line.substr(0, colon))] = trimmed(line.substr(colon + 1));
    }
    return size * count;
}

}  // namespace

CurlClient::CurlClient() : handle_(curl_easy_init(), [](void* curl) { curl_easy_cleanup(static_cast<CURL*>(curl)); }) {
    if (!handle_) throw std::runtime_error("curl_easy_init");
}

CurlClient::~CurlClient() = default;

CurlAnswer CurlClient::get(const std::string& url, const std::optional<std::string>& range) {
    CURL* curl = static_cast<CURL*>(handle_.get());
    CurlAnswer answer;
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> fields(nullptr, curl_slist_free_all);
    if (range) fields.reset(curl_slist_append(nullptr, ("Range: " + *range).c_str()));
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, fields.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collectField);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    CURLcode result = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    if (result != CURLE_OK) throw std::runtime_error(curl_easy_strerror(result));
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &answer.newConnections);
    return answer;
}

}  // namespace velmora::test
