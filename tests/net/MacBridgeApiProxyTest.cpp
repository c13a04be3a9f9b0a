#include <fstream>
#include <random>
#include <set>

#include "BridgeOverHttps.h"
#include "bridge/APIFormPart.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kMiB = 1024 * 1024;

// Peak resident memory of this process in KiB (VmHWM), or -1; `reset` first asks the kernel to
// start a new peak and reports whether it could.
long peakMemoryKiB(bool reset = false) {
    if (reset && !(std::ofstream("/proc/self/clear_refs") << "5").flush()) return -1;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
    }
    return -1;
}

class ApiProxyOverHttps : public test::BridgeOverHttps {
protected:
    // "slow/<ms>" answers its delay after waiting it; everything else is recorded and answered.
    void registerDefaultHandlers() override {
        server.server().Get("/api/web/v2/slow/(\\d+)", [](const httplib::Request& request, httplib::Response& response) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(request.matches[1])));
            response.set_content(std::string(request.matches[1]), "text/plain");
        });
        server.handleAll("/api/web/v2/.*", [this](const httplib::Request& request, httplib::Response& response) {
            record(request);
            response.set_content("{\"ok\":true}", "application/json");
        });
    }

    Json request(Json payload) {
        static int next = 0;
        std::string id = "r" + std::to_string(++next);
        payload["type"] = "apiRequest";
        payload["requestId"] = id;
        page().send(payload);
        return awaitMessage("nativeResponse", id);
    }
};

TEST_F(ApiProxyOverHttps, SendsTheExactMultipartBytes) {
    Json parts = Json::array({
        {{"name", "a\"b\n"}, {"value", "plain"}},
        {{"name", "doc"}, {"fileName", "报\\告\r.pdf"}, {"mimeType", "application/pdf\"raw"}, {"base64", "JVBERi0xLjQK/w=="}},
        {{"name", "bin"}, {"fileName", "x.bin"}, {"base64", "AA=="}},
        {{"name", "noFileName"}, {"base64", "Zm9v"}},
        {{"name", "bad64"}, {"fileName", "x.bin"}, {"base64", "Zm9v\n"}, {"value", "kept"}},
        {{"value", "no name, dropped"}},
    });
    Json reply = request({{"path", "upload"}, {"method", "post"}, {"formParts", parts}, {"jsonBody", "{\"ignored\":1}"}});
    ASSERT_EQ(reply.value("ok", false), true) << reply.dump();
    ASSERT_EQ(requests().size(), 1u) << reply.dump();
    test::SeenRequest seen = requests()[0];
    EXPECT_EQ(seen.method, "POST");
    std::string contentType = seen.header("Content-Type");
    ASSERT_TRUE(contentType.starts_with("multipart/form-data; boundary=")) << contentType;
    std::string boundary = contentType.substr(std::string("multipart/form-data; boundary=").size());
    EXPECT_EQ(boundary.size(), 47u);
    std::string expected = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"a_b_\"\r\n\r\nplain\r\n" + "--" +
                           boundary + "\r\nContent-Disposition: form-data; name=\"doc\"; filename=\"报_告_.pdf\"\r\n" +
                           "Content-Type: application/pdf\"raw\r\n\r\n%PDF-1.4\n\xff\r\n" + "--" + boundary +
                           "\r\nContent-Disposition: form-data; name=\"bin\"; filename=\"x.bin\"\r\n" +
                           "Content-Type: application/octet-stream\r\n\r\n" + std::string(1, '\0') + "\r\n" + "--" + boundary +
                           "\r\nContent-Disposition: form-data; name=\"noFileName\"\r\n\r\n\r\n" + "--" + boundary +
                           "\r\nContent-Disposition: form-data; name=\"bad64\"\r\n\r\nkept\r\n" + "--" + boundary + "--\r\n";
    EXPECT_EQ(seen.body, expected);
}

TEST_F(ApiProxyOverHttps, PassesAllowedHeadersUnderThePagesSpellingToTheConcatenatedPath) {
    Json reply = request({{"path", "/courses?x=1"},
                          {"method", "delete"},
                          {"headers",
                           {{"x-velmora-CLIENT", "web"},
                            {"authorization", "Bearer abc"},
                            {"Cookie", "sid=1"},
                            {"User-Agent", "Page/1.0"},
                            {"Accept", 1},
                            {"X-Other", "x"}}}});
    ASSERT_EQ(reply.value("ok", false), true) << reply.dump();
    test::SeenRequest seen = requests().at(0);
    EXPECT_EQ(seen.method, "DELETE");
    EXPECT_EQ(seen.path, "/api/web/v2//courses");
    EXPECT_EQ(seen.header("x-velmora-CLIENT"), "web");
    EXPECT_EQ(seen.header("authorization"), "Bearer abc");
    EXPECT_FALSE(seen.hasHeaderNamed("Cookie"));
    EXPECT_FALSE(seen.hasHeaderNamed("X-Other"));
    EXPECT_NE(seen.header("User-Agent"), "Page/1.0");
    EXPECT_NE(seen.header("Accept"), "1");
}

TEST_F(ApiProxyOverHttps, RefusalsReplyWithoutAnyRequest) {
    for (const auto& [payload, message] : std::vector<std::pair<Json, std::string>>{
             {{{"path", std::string(4097, 'p')}}, "接口地址无效"},
             {{{"path", "//127.0.0.1/x"}}, "接口地址无效"},
             {{{"path", "x"}, {"method", "HEAD"}}, "接口请求方法无效"},
             {{{"path", "x"}, {"method", "POST"}, {"jsonBody", std::string(16 * kMiB + 1, 'j')}}, "请求内容过大"},
         }) {
        SCOPED_TRACE(message);
        Json reply = request(payload);
        EXPECT_EQ(reply.value("ok", true), false);
        EXPECT_EQ(reply.value("message", ""), message);
        EXPECT_FALSE(reply.contains("result"));
    }
    EXPECT_TRUE(requests().empty());
}

TEST_F(ApiProxyOverHttps, SendsA16MiBJsonBodyWhole) {
    std::string body = "\"" + std::string(16 * kMiB - 2, 'j') + "\"";
    Json reply =
        request({{"path", "big"}, {"method", "PUT"}, {"jsonBody", body}, {"headers", {{"Content-Type", "application/json"}}}});
    ASSERT_EQ(reply.value("ok", false), true) << reply.dump();
    EXPECT_EQ(requests().at(0).body.size(), 16'777'216u);
    EXPECT_TRUE(requests().at(0).body == body);
    EXPECT_EQ(requests().at(0).header("Content-Type"), "application/json");
}

TEST_F(ApiProxyOverHttps, ReportsEveryStatusAsAResult) {
    server.server().Get("/api/web/v2/status/(\\d+)", [](const httplib::Request& request, httplib::Response& response) {
        response.status = std::stoi(request.matches[1]);
        if (response.status == 200) response.set_content(std::string("\x89PNG\r\n\x1a\n\xff", 9), "image/png");
        if (response.status == 500) response.set_content("{\"code\":500}", "application/json");
    });
    for (const auto& [path, result] : std::vector<std::pair<std::string, Json>>{
             {"status/204", {{"status", 204}, {"body", ""}, {"message", ""}}},
             {"status/500", {{"status", 500}, {"body", "{\"code\":500}"}, {"message", "服务响应异常（HTTP 500）"}}},
             {"status/200", {{"status", 200}, {"body", "{}"}, {"message", ""}}}}) {  // not UTF-8
        SCOPED_TRACE(path);
        Json reply = request({{"path", path}});
        EXPECT_EQ(reply["ok"], true);
        EXPECT_EQ(reply["result"], result);
    }
}

TEST_F(ApiProxyOverHttps, RefusesResponsesPast64MiBWhileReading) {
    // Shared with the server's workers, which may still be writing when the test body ends.
    struct Source {
        std::atomic<std::size_t> served = 0;
        std::string piece = std::string(kMiB, 'r');
    };
    auto source = std::make_shared<Source>();
    server.server().Get("/api/web/v2/announced", [source](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(64 * kMiB + 1, "application/json",
                                      [source](std::size_t, std::size_t length, httplib::DataSink& sink) {
                                          std::size_t count = std::min(length, source->piece.size());
                                          source->served += count;
                                          return sink.write(source->piece.data(), count);
                                      });
    });
    server.server().Get("/api/web/v2/endless", [source](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("application/json", [source](std::size_t, httplib::DataSink& sink) {
            source->served += source->piece.size();
            return source->served < 1024 * kMiB && sink.write(source->piece.data(), source->piece.size());
        });
    });
    page();
    long before = peakMemoryKiB(true);

    Json announced = request({{"path", "announced"}});
    EXPECT_EQ(announced.value("ok", true), false);
    EXPECT_EQ(announced.value("message", ""), "服务响应异常过大");

    source->served = 0;
    Json endless = request({{"path", "endless"}});
    EXPECT_EQ(endless.value("ok", true), false);
    EXPECT_EQ(endless.value("message", ""), "服务响应异常过大");
    EXPECT_LT(source->served.load(), 256 * kMiB);
#ifndef __SANITIZE_THREAD__  // the race detector's shadow memory grows with every byte touched
    if (before > 0) {
        EXPECT_LT((peakMemoryKiB() - before) / 1024, 150) << "the body was buffered far past the limit";
    }
#endif
}

TEST_F(ApiProxyOverHttps, SilentServerGivesATimeOutReply) {
    apiTimeout = 1s;
    server.server().Get("/api/web/v2/silent", [&](const httplib::Request&, httplib::Response&) { server.holdUntilStopped(30s); });
    Json reply = request({{"path", "silent"}});
    EXPECT_EQ(reply.value("ok", true), false) << reply.dump();
    EXPECT_FALSE(reply.value("message", "").empty());
    EXPECT_FALSE(reply.contains("result"));
}

TEST_F(ApiProxyOverHttps, ManyRequestsInFlightEachGetExactlyOneReply) {
    constexpr std::size_t kRequests = 40;
    std::mt19937 random(7);
    std::map<std::string, std::string> expectedBody;
    for (std::size_t i = 0; i < kRequests; ++i) {
        std::string delay = std::to_string(random() % 300), id = "req-" + std::to_string(i);
        expectedBody[id] = delay;
        page().send({{"type", "apiRequest"}, {"requestId", id}, {"path", "slow/" + delay}});
    }
    std::map<std::string, int> count;
    auto countReplies = [&] {
        count.clear();
        for (const Json& message : page().messages()) ++count[message.value("requestId", "")];
        return count.size() >= kRequests;
    };
    ASSERT_TRUE(mainQueue->runUntil(countReplies, 60s));
    mainQueue->runFor(300ms);
    countReplies();
    EXPECT_EQ(count.size(), kRequests);
    for (const auto& [id, n] : count) EXPECT_EQ(n, 1) << id;
    for (const Json& reply : page().messages()) {
        EXPECT_EQ(reply.value("type", ""), "nativeResponse");
        EXPECT_EQ(reply["result"]["body"], expectedBody[reply.value("requestId", "")]) << reply.dump();
    }
}

TEST_F(ApiProxyOverHttps, ReplyForAReleasedBridgeIsDropped) {
    test::FakePage& fake = page();
    fake.send({{"type", "apiRequest"}, {"requestId", "gone"}, {"path", "slow/200"}});
    fake.bridge.reset();
    mainQueue->runFor(600ms);
    EXPECT_TRUE(fake.messages().empty());
}

}  // namespace
}  // namespace velmora
