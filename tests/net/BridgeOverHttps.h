#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/HttpSession.h"
#include "support/FakeIdentity.h"
#include "support/FakePage.h"
#include "support/FakeSavePanel.h"
#include "support/TempDirectory.h"
#include "support/TestHttpsServer.h"
#include "support/TestMainQueue.h"

namespace velmora::test {

// A request as the local server saw it, header names spelled as they came over the wire.
struct SeenRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The value of the header whose name is spelled exactly `name`, or "<absent>".
    std::string header(std::string_view name) const {
        for (const auto& [key, value] : headers) {
            if (key == name) return value;
        }
        return "<absent>";
    }
    // Whether any header is named `name` in any letter case.
    bool hasHeaderNamed(std::string_view name) const;
};

// A bridge wired to a fake page and save panel, with a real HttpSession talking to a local HTTPS
// server that plays the API host. Register server handlers before the first call to page().
class BridgeOverHttps : public ::testing::Test {
protected:
    // Handlers every test of the fixture shares; registered after the test's own, so those win.
    virtual void registerDefaultHandlers() {}

    FakePage& page();
    void record(const httplib::Request& request);
    std::vector<SeenRequest> requests();

    // Pumps the main queue until the page has received a message of `type` (and, when given,
    // "requestId"); returns it, or null after the time limit.
    Json awaitMessage(const std::string& type, std::optional<std::string> requestId = std::nullopt,
                      std::chrono::milliseconds limit = std::chrono::seconds(30));

    TestHttpsServer server;  // outlives the session below
    std::shared_ptr<TestMainQueue> mainQueue = std::make_shared<TestMainQueue>();
    std::shared_ptr<FakeSavePanel> panel = std::make_shared<FakeSavePanel>();
    std::chrono::milliseconds apiTimeout = std::chrono::seconds(45);
    TempDirectory dataRoot;             // the secure store of "saveSession"
    std::shared_ptr<HttpSession> http;  // held here too, as the shell holds the process's session

private:
    std::unique_ptr<FakePage> page_;
    std::mutex mutex_;
    std::vector<SeenRequest> seen_;
};

}  // namespace velmora::test
