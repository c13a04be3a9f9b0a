#include "HttpTestClient.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace velmora::test {

namespace {

// Adds one "Name: value" line to `fields` under the lower-cased name; other lines are ignored.
void addField(std::map<std::string, std::string>& fields, const std::string& line) {
    auto colon = line.find(':');
    if (colon == std::string::npos) return;
    std::string name = line.substr(0, colon);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto first = line.find_first_not_of(" \t", colon + 1), last = line.find_last_not_of(" \t\r\n");
    fields[name] = first > last || first == std::string::npos ? std::string{} : line.substr(first, last - first + 1);
}

}  // namespace

RawHttpConnection::RawHttpConnection(std::uint16_t port) : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (!socket_ || ::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw std::system_error(errno, std::generic_category(), "connect");
    }
}

void RawHttpConnection::send(const std::string& bytes) {
    if (::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
        throw std::system_error(errno, std::generic_category(), "send");
    }
}

bool RawHttpConnection::readMore() {
    pollfd waiting{socket_.get(), POLLIN, 0};
    if (::poll(&waiting, 1, 10'000) <= 0) throw std::runtime_error("no answer within 10 s");
    std::array<char, 65536> chunk{};
    ssize_t got = ::recv(socket_.get(), chunk.data(), chunk.size(), 0);
    if (got > 0) buffer_.append(chunk.data(), static_cast<std::size_t>(got));
    return got > 0;
}

std::string RawHttpConnection::readHead() {
    while (buffer_.find("\r\n\r\n") == std::string::npos) {
        if (!readMore()) return {};
    }
    auto end = buffer_.find("\r\n\r\n") + 4;
    std::string head = buffer_.substr(0, end);
    buffer_.erase(0, end);
    return head;
}

std::optional<RawHttpConnection::Response> RawHttpConnection::readResponse() {
    std::string head = readHead();
    if (head.empty()) return std::nullopt;
    Response response{std::stoi(head.substr(9, 3)), {}, {}};
    for (auto at = head.find("\r\n") + 2, end = head.find("\r\n", at); end != std::string::npos && end > at;
         at = end + 2, end = head.find("\r\n", at)) {
        addField(response.fields, head.substr(at, end - at));
    }
    // By Content-Length, or to the close without one.
    auto length = response.fields.find("content-length");
    std::size_t wanted = length == response.fields.end() ? std::string::npos : std::stoul(length->second);
    while (buffer_.size() < wanted && readMore()) {
    }
    response.body = buffer_.substr(0, std::min(wanted, buffer_.size()));
    buffer_.erase(0, response.body.size());
    return response;
}

bool RawHttpConnection::closedByServer(int timeoutMs) {
    pollfd waiting{socket_.get(), POLLIN, 0};
    char byte = 0;
    return ::poll(&waiting, 1, timeoutMs) > 0 && ::recv(socket_.get(), &byte, 1, MSG_PEEK) <= 0;
}

CurlClient::CurlClient() : handle_(curl_easy_init(), [](void* curl) { curl_easy_cleanup(static_cast<CURL*>(curl)); }) {
    if (!handle_) throw std::runtime_error("curl_easy_init");
}

CurlAnswer CurlClient::get(const std::string& url, const std::optional<std::string>& range) {
    using Sink = std::size_t (*)(char*, std::size_t, std::size_t, void*);
    Sink body = [](char* data, std::size_t size, std::size_t count, void* answer) {
        static_cast<CurlAnswer*>(answer)->body.append(data, size * count);
        return size * count;
    };
    Sink field = [](char* data, std::size_t size, std::size_t count, void* answer) {
        addField(static_cast<CurlAnswer*>(answer)->fields, std::string(data, size * count));
        return size * count;
    };
    CURL* curl = static_cast<CURL*>(handle_.get());
    CurlAnswer answer;
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> fields(nullptr, curl_slist_free_all);
    if (range) fields.reset(curl_slist_append(nullptr, ("Range: " + *range).c_str()));
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, fields.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, field);
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
