// The loopback media server's request reading and gate, over a real socket pair: any bytes a local
// process sends are parsed as request heads, and only a GET for the bound host that carries the
// secret and names a "/v1/" media path without ".." reaches the media handler, as a media address.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <mutex>
#include <thread>
#include <vector>

#include "FuzzInput.h"
#include "schemes/loopback/HttpRequestHead.h"
#include "schemes/loopback/LoopbackConnection.h"

namespace {

using namespace velmora;

constexpr std::string_view kSecret = "b7f1c0de5ecre7";
constexpr std::string_view kHost = "127.0.0.1:40401";

// A media handler that answers at once: five bytes, or a failure for addresses asking for one or
// not parsed.
class AnsweringHandler : public SchemeHandler {
public:
    void start(std::shared_ptr<SchemeTask> task) override {
        const std::optional<Url>& url = task->request().url;
        {
            std::lock_guard lock(mutex);
            started.push_back(url);
        }
        if (!url || url->text.find("fail") != std::string::npos) {
            task->didFail("离线媒体地址无效");
            return;
        }
        SchemeResponse response;
        response.statusCode = 200;
        response.mimeType = "video/mp4";
        response.expectedContentLength = 5;
        response.headers = {{"Content-Type", "video/mp4"}, {"Content-Length", "5"}};
        task->didReceive(response);
        task->didReceive(Bytes{1, 2, 3, 4, 5});
        task->didFinish();
    }
    void stop(const SchemeTask&) override {}
    std::mutex mutex;
    std::vector<std::optional<Url>> started;
};

void checkHead(std::string_view bytes) {
    auto head = HttpRequestHead::parse(bytes.substr(0, bytes.find("\r\n\r\n")));
    if (!head) return;
    fuzz::check(head->version == "HTTP/1.1" || head->version == "HTTP/1.0", "a head of another version");
    fuzz::check(!head->method.empty() && !head->target.empty() && head->target.find(' ') == std::string::npos,
                "a request line with an empty or spaced part");
}

void serve(const std::string& bytes, AnsweringHandler& media) {
    std::array<int, 2> ends{};
    fuzz::check(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends.data()) == 0, "socketpair");
    FileDescriptor server(ends[0]);
    FileDescriptor client(ends[1]);
    LoopbackConnection connection(std::move(server), media, {std::string(kSecret), std::string(kHost)});
    fuzz::check(::send(client.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size()), "send");
    ::shutdown(client.get(), SHUT_WR);
    std::thread reader([&client] {
        std::array<char, 4096> sink{};
        while (::recv(client.get(), sink.data(), sink.size(), 0) > 0) {
        }
    });
    connection.run();
    reader.join();
    fuzz::check(connection.finished(), "the connection did not finish");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    checkHead(bytes);
    AnsweringHandler media;
    serve(bytes, media);
    const std::string prefix = "velmora-media://local/v1/";
    for (const std::optional<Url>& url : media.started) {
        fuzz::check(bytes.find("/" + std::string(kSecret) + "/v1/") != std::string::npos, "admitted without the secret");
        fuzz::check(bytes.find(std::string(kHost)) != std::string::npos, "admitted without the host");
        if (!url) continue;  // a malformed escape in the query, which the media handler refuses
        fuzz::check(url->text.starts_with(prefix), "an admitted address outside the media path");
        std::string path = url->text.substr(0, url->text.find('?'));
        fuzz::check(path.find("..") == std::string::npos, "an admitted address with a parent segment");
    }
    return 0;
}
