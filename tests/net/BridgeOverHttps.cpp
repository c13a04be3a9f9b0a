#include "BridgeOverHttps.h"

#include <algorithm>
#include <strings.h>

namespace velmora::test {

bool SeenRequest::hasHeaderNamed(std::string_view name) const {
    return std::any_of(headers.begin(), headers.end(), [&](const auto& header) {
        return header.first.size() == name.size() && ::strncasecmp(header.first.data(), name.data(), name.size()) == 0;
    });
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
    mainQueue->runUntil(
        [&] {
            for (const Json& message : page().messages()) {
                if (message.value("type", "") == type && (!requestId || message.value("requestId", "") == *requestId)) {
                    return found = message, true;
                }
            }
            return false;
        },
        limit);
    return found;
}

}  // namespace velmora::test
