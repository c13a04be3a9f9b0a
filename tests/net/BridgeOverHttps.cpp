#include "BridgeOverHttps.h"

#include <algorithm>
#include <cctype>

namespace velmora::test {

bool SeenRequest::hasHeaderNamed(std::string_view name) const {
    auto sameName = [&](const auto& header) {
        return std::equal(header.first.begin(), header.first.end(), name.begin(), name.end(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        });
    };
    return std::any_of(headers.begin(), headers.end(), sameName);
}

FakePage& BridgeOverHttps::page() {
    if (!page_) {
        registerDefaultHandlers();
        server.start();
        BridgeEnvironment environment;
        environment.endpoints = server.endpoints();
        environment.mainQueue = mainQueue;
        http = std::make_shared<HttpSession>(environment.endpoints, mainQueue);
        environment.http = http;
        environment.savePanel = panel;
        environment.apiTimeout = apiTimeout;
        environment.dataRoot = dataRoot.path();
        environment.identity = std::make_shared<FakeIdentity>();
        page_ = std::make_unique<FakePage>(std::move(environment));
    }
    return *page_;
}

void BridgeOverHttps::record(const httplib::Request& request) {
    SeenRequest seen{request.method, request.path, {request.headers.begin(), request.headers.end()}, request.body};
    std::lock_guard lock(mutex_);
    seen_.push_back(std::move(seen));
}

std::vector<SeenRequest> BridgeOverHttps::requests() {
    std::lock_guard lock(mutex_);
    return seen_;
}

Json BridgeOverHttps::awaitMessage(const std::string& type, std::optional<std::string> requestId,
                                   std::chrono::milliseconds limit) {
    Json found;
    auto matches = [&] {
        for (const Json& message : page().messages()) {
            if (message.value("type", "") != type) continue;
            if (requestId && message.value("requestId", "") != *requestId) continue;
            found = message;
            return true;
        }
        return false;
    };
    mainQueue->runUntil(matches, limit);
    return found;
}

}  // namespace velmora::test
