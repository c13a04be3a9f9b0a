#pragma once

#include "core/Crypto.h"
#include "support/TempDirectory.h"
#include "support/TestHttpsServer.h"
#include "support/TestMainQueue.h"
#include "vault/DownloadRequest.h"
#include "vault/VaultManager.h"

#include <gtest/gtest.h>

#include <mutex>
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

// lessonBytes(size) in 300,000-byte pieces, chunked; `finish` ends the body, otherwise the
// connection closes once the bytes are out (short of any announced length).
inline httplib::ContentProviderWithoutLength pieces(std::size_t size, bool finish) {
    auto body = std::make_shared<std::string>(lessonBytes(size));
    return [body, finish](std::size_t offset, httplib::DataSink& sink) {
        if (offset >= body->size() && !finish) return false;
        std::size_t piece = std::min<std::size_t>(300000, body->size() - offset);
        if (piece > 0) sink.write(body->data() + offset, piece);
        if (finish && offset + piece == body->size()) sink.done();
        return true;
    };
}

// Media routes on a test server:
//   /media/<n>          n bytes with Content-Length
//   /chunked/<n>        n bytes, chunked (no length announced)
//   /status/<code>      that status with a small body
//   /short/<n>/<sent>   announces n bytes, sends `sent`, then closes
//   /drop/<sent>        chunked, closes the connection after `sent` bytes
//   /stall/<sent>       sends `sent` bytes (chunked), then goes silent until the server stops
inline void addMediaRoutes(TestHttpsServer& server) {
    auto& s = server.server();
    auto size = [](const httplib::Request& request, int index) { return std::stoul(request.matches[index]); };
    s.Get(R"(/media/(\d+))", [=](const httplib::Request& request, httplib::Response& response) {
        response.set_content(lessonBytes(size(request, 1)), "video/mp4");
    });
    s.Get(R"(/chunked/(\d+))", [=](const httplib::Request& request, httplib::Response& response) {
        response.set_chunked_content_provider("video/mp4", pieces(size(request, 1), true));
    });
    s.Get(R"(/status/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
        response.status = std::stoi(request.matches[1]);
        response.set_content(std::string(5000, 'x'), "text/html");
    });
    s.Get(R"(/short/(\d+)/(\d+))", [=](const httplib::Request& request, httplib::Response& response) {
        auto send = pieces(size(request, 2), false);
        response.set_content_provider(size(request, 1), "video/mp4",
                                      [send](std::size_t offset, std::size_t, httplib::DataSink& sink) { return send(offset, sink); });
    });
    s.Get(R"(/drop/(\d+))", [=](const httplib::Request& request, httplib::Response& response) {
        response.set_chunked_content_provider("video/mp4", pieces(size(request, 1), false));
    });
    s.Get(R"(/stall/(\d+))", [&server, size](const httplib::Request& request, httplib::Response& response) {
        auto body = std::make_shared<std::string>(lessonBytes(size(request, 1)));
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

// A started server with the media routes and an authorisation route that keeps each call.
class DownloadServerTest : public testing::Test {
protected:
    void SetUp() override {
        addMediaRoutes(server);
        server.server().Get(kAuthorizationPath, [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(mutex);
            if (unreachableAuthorizations > 0) {  // the connection closes before the answer's body
                --unreachableAuthorizations;
                response.set_content_provider(64, "application/json", [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
                return;
            }
            authorizations.push_back(request);
            response.status = answerStatus;
            response.set_content(answerBody, "application/json");
        });
        server.start();
    }

    void answerWithMedia(const std::string& path) { answerBody = Json{{"data", {{"offline_download_url", server.url(path)}}}}.dump(); }

    TestHttpsServer server;
    TempDirectory dir;
    VaultManager vault{dir.path(), SecretBytes(randomBytes(32))};
    std::shared_ptr<TestMainQueue> mainQueue = std::make_shared<TestMainQueue>();
    std::mutex mutex;
    std::vector<httplib::Request> authorizations;
    int answerStatus = 200;
    int unreachableAuthorizations = 0;  // how many authorisation calls fail as an unreachable service would
    std::string answerBody;
};

}  // namespace velmora::test
