#pragma once

#include "core/Files.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace velmora::test {

// A plain HTTP/1.1 client over one TCP connection to 127.0.0.1, for requests that a library would
// refuse or rewrite (foreign Host, "..", several Host fields, pipelining).
class RawHttpConnection {
public:
    struct Response {
        int status = 0;
        std::map<std::string, std::string> fields;  // names lower-cased
        std::string body;
    };

    explicit RawHttpConnection(std::uint16_t port);
    void send(const std::string& bytes);
    // One whole response; nullopt when the server closes before a whole head arrived.
    std::optional<Response> readResponse();
    std::optional<Response> exchange(const std::string& request) {
        send(request);
        return readResponse();
    }
    std::string readHead();
    // True when the server closes the connection within `timeoutMs`.
    bool closedByServer(int timeoutMs = 2000);

private:
    bool readMore();

    FileDescriptor socket_;
    std::string buffer_;
};

// A GET through libcurl on one reused handle, as a media player's HTTP stack makes it.
struct CurlAnswer {
    long status = 0;
    std::map<std::string, std::string> fields;  // names lower-cased
    std::string body;
    long newConnections = 0;
};

class CurlClient {
public:
    CurlClient();
    // Throws std::runtime_error with curl's text when the transfer fails.
    CurlAnswer get(const std::string& url, const std::optional<std::string>& range = {});

private:
    std::unique_ptr<void, void (*)(void*)> handle_;
};

}  // namespace velmora::test
