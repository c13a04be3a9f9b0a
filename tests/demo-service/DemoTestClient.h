#pragma once

#include <httplib.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "DemoService.h"
#include "support/TempDirectory.h"

namespace velmora::demo::test {

// A demo service on a free port of 127.0.0.1 with fake clips, and a client that trusts only its CA.
class RunningDemo {
public:
    static constexpr std::size_t kShortClipBytes = 300'000;
    static constexpr std::size_t kMediumClipBytes = 2'500'000;

    explicit RunningDemo(const std::filesystem::path& folder) : folder_(folder) {
        std::filesystem::create_directories(folder_ / "media");
        velmora::test::writeFile(folder_ / "media" / "clip-short.mp4", pattern(kShortClipBytes));
        velmora::test::writeFile(folder_ / "media" / "clip-medium.mp4", pattern(kMediumClipBytes));
        restart();
    }

    // Stops the service and starts a new one over the same state folder.
    void restart() {
        service_.reset();
        service_ = std::make_unique<DemoService>(DemoServiceConfig{folder_ / "state", folder_ / "media", "127.0.0.1", 0});
        port_ = service_->start();
    }

    std::unique_ptr<httplib::SSLClient> client() const {
        auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", port_);
        client->set_ca_cert_path(service_->tlsFiles().caCertificate.c_str());
        client->enable_server_certificate_verification(true);
        return client;
    }

    // Signs in and returns the token.
    std::string signIn(const std::string& account) const {
        auto result = client()->Post("/api/web/v2/auth/login",
                                     nlohmann::json{{"account", account}, {"password", "velmora123"}}.dump(), "application/json");
        return nlohmann::json::parse(result->body)["data"]["token"];
    }

    static httplib::Headers bearer(const std::string& token) { return {{"Authorization", "Bearer " + token}}; }

    static std::string pattern(std::size_t size) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
        return bytes;
    }

    const DemoService& service() const { return *service_; }
    const std::filesystem::path& folder() const { return folder_; }

private:
    std::filesystem::path folder_;
    std::unique_ptr<DemoService> service_;
    int port_ = 0;
};

}  // namespace velmora::demo::test
