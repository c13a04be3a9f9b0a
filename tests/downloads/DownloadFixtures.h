#pragma once

#include "core/Crypto.h"
#include "support/TestHttpsServer.h"
#include "vault/DownloadRequest.h"

#include <string>

namespace velmora::test {

// Deterministic lesson bytes: position-dependent, so a misplaced record shows up.
inline std::string lessonBytes(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 2463534242u;
    for (std::size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = static_cast<char>(state);
    }
    return bytes;
}

// A valid request of the account "owner-key" with the held token "held-token".
inline DownloadRequest lessonRequest(const std::string& assetId) {
    DownloadRequest request;
    request.ownerKey = "owner-key";
    request.token = "held-token";
    request.lessonTitle = "第一课";
    request.assetId = assetId;
    request.classId = 42;
    request.lessonId = 9001;
    return request;
}

inline constexpr const char* kAuthorizationPath = "/api/web/v2/classes/getClassChapterItemStashInfo";

// Media routes on a test server:
//   /media/<n>          n bytes with Content-Length
//   /chunked/<n>        n bytes, chunked (no length announced)
//   /status/<code>      that status with a small body
//   /short/<n>/<sent>   announces n bytes, sends `sent`, then closes
//   /drop/<sent>        chunked, closes the connection after `sent` bytes
//   /stall/<sent>       sends `sent` bytes (chunked), then goes silent until the server stops
inline void addMediaRoutes(TestHttpsServer& server) {
    auto& s = server.server();
    s.Get(R"(/media/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
        response.set_content(lessonBytes(std::stoul(request.matches[1])), "video/mp4");
    });
    s.Get(R"(/chunked/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
        auto body = std::make_shared<std::string>(lessonBytes(std::stoul(request.matches[1])));
        response.set_chunked_content_provider("video/mp4", [body](std::size_t offset, httplib::DataSink& sink) {
            std::size_t piece = std::min<std::size_t>(300000, body->size() - offset);
            if (piece > 0) sink.write(body->data() + offset, piece);
            if (offset + piece == body->size()) sink.done();
            return true;
        });
    });
    s.Get(R"(/status/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
        response.status = std::stoi(request.matches[1]);
        response.set_content(std::string(5000, 'x'), "text/html");
    });
    s.Get(R"(/short/(\d+)/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
        std::size_t announced = std::stoul(request.matches[1]);
        auto body = std::make_shared<std::string>(lessonBytes(std::stoul(request.matches[2])));
        response.set_content_provider(announced, "video/mp4", [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            if (offset >= body->size()) return false;  // closes the connection short of the announced length
            sink.write(body->data() + offset, std::min<std::size_t>(300000, body->size() - offset));
            return true;
        });
    });
    s.Get(R"(/drop/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
        auto body = std::make_shared<std::string>(lessonBytes(std::stoul(request.matches[1])));
        response.set_chunked_content_provider("video/mp4", [body](std::size_t offset, httplib::DataSink& sink) {
            if (offset >= body->size()) return false;
            sink.write(body->data() + offset, std::min<std::size_t>(300000, body->size() - offset));
            return true;
        });
    });
    s.Get(R"(/stall/(\d+))", [&server](const httplib::Request& request, httplib::Response& response) {
        auto body = std::make_shared<std::string>(lessonBytes(std::stoul(request.matches[1])));
        response.set_chunked_content_provider("video/mp4", [body, &server](std::size_t offset, httplib::DataSink& sink) {
            if (offset < body->size()) {
                sink.write(body->data(), body->size());
                return true;
            }
            server.holdUntilStopped(std::chrono::seconds(30));
            return false;
        });
    });
}

}  // namespace velmora::test
