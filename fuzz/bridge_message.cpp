// The bridge: each input line is one script message from the packaged page, dispatched through
// MacBridge with a real secure store and vault in a temporary folder, the real HTTP session aimed at
// a closed local port, a save panel that is cancelled and a fake window. Every command the page
// expects an answer to gets exactly one; the others send at most one error.
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <map>
#include <set>

#include "FuzzInput.h"
#include "bridge/LoneSurrogates.h"
#include "core/Files.h"
#include "net/HttpSession.h"
#include "schemes/StoredLesson.h"
#include "securestore/DeviceSecureStore.h"
#include "support/FakeIdentity.h"
#include "support/FakePage.h"
#include "support/FakeSavePanel.h"
#include "support/TempDirectory.h"
#include "vault/VaultManager.h"

namespace {

using namespace velmora;
using namespace std::chrono_literals;

constexpr std::size_t kMaximumMessages = 8;
constexpr std::string_view kOwner = "owner-K";

// A local port nothing listens on: bound once to learn a free number, then closed.
std::uint16_t closedPort() {
    FileDescriptor probe(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    fuzz::check(::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0,
                "bind a probe socket");
    return ntohs(address.sin_port);
}

struct Fixture {
    Fixture() {
        endpoints.apiHost = "127.0.0.1";
        endpoints.apiPort = closedPort();
        endpoints.webHost = "velmora.test";
        http = std::make_shared<HttpSession>(endpoints, mainQueue);
    }
    test::TempDirectory root;
    std::shared_ptr<test::FakeIdentity> identity = std::make_shared<test::FakeIdentity>();
    VaultManager vault{root.path(), SecretBytes(Bytes(32, 7))};
    std::shared_ptr<test::TestMainQueue> mainQueue = std::make_shared<test::TestMainQueue>();
    Endpoints endpoints;
    std::shared_ptr<HttpSession> http;
    std::shared_ptr<test::FakeSavePanel> savePanel = std::make_shared<test::FakeSavePanel>();
};

Fixture& fixture() {
    static Fixture* shared = new Fixture;  // the HTTP session's thread runs for the whole run
    return *shared;
}

// The replies that answer each command; commands not named here answer only with an error, if at all.
const std::map<std::string, std::set<std::string>, std::less<>>& replies() {
    static const std::map<std::string, std::set<std::string>, std::less<>> kReplies{
        {"restoreSession", {"session", "noSession"}},
        {"listDownloads", {"downloads"}},
        {"deleteDownload", {"deleteCompleted", "error"}},
        {"download", {"downloadCompleted", "downloadFailed"}},
        {"apiRequest", {"nativeResponse"}},
        {"downloadResource", {"resourceDownloadCompleted", "resourceDownloadFailed"}},
    };
    return kReplies;
}

std::size_t countSince(const test::FakePage& page, std::size_t from, const std::set<std::string>& types) {
    std::vector<Json> messages = page.messages();
    return static_cast<std::size_t>(
        std::count_if(messages.begin() + static_cast<std::ptrdiff_t>(from), messages.end(),
                      [&](const Json& message) { return types.contains(payloadText(message, "type")); }));
}

// The command type the bridge dispatches for this body, or "" when it ignores the body.
std::string dispatchedType(std::string_view line) {
    Json body = Json::parse(replaceLoneSurrogates(line), nullptr, /*allow_exceptions=*/false);
    if (!body.is_object()) return {};
    const Json* type = payloadValue(body, "type");
    return type && type->is_string() ? type->get<std::string>() : std::string();
}

void sendOne(Fixture& f, test::FakePage& page, std::string_view line) {
    const std::size_t before = page.messages().size();
    const std::size_t panelsBefore = f.savePanel->suggestedNames.size();
    const std::string type = dispatchedType(line);
    page.bridge->didReceiveScriptMessageJSON("velmora", "velmora-app://local/index.html", line);

    auto expected = replies().find(type);
    if (expected == replies().end()) {
        f.mainQueue->runFor(1ms);
        fuzz::check(
            page.messages().size() - before <= 1 && countSince(page, before, {"error"}) == page.messages().size() - before,
            "a command without a reply answered");
        return;
    }
    if (type == "downloadResource" && f.savePanel->suggestedNames.size() > panelsBefore) {
        f.savePanel->answer(std::nullopt);  // the learner cancels: nothing is fetched, nothing is said
        f.mainQueue->runFor(1ms);
        fuzz::check(countSince(page, before, expected->second) == 0, "a cancelled save answered");
        return;
    }
    bool answered = f.mainQueue->runUntil([&] { return countSince(page, before, expected->second) >= 1; }, 15s);
    fuzz::check(answered, "a command was never answered");
    f.mainQueue->runFor(1ms);
    fuzz::check(countSince(page, before, expected->second) == 1, "a command answered more than once");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fixture& f = fixture();
    // Every input starts from the same stored state: no session, one lesson of the account.
    DeviceSecureStore(f.root.path(), f.identity).clearSession();
    if (!std::filesystem::exists(f.vault.metadataURL("lesson-1"))) {
        test::storeLesson(f.vault, "lesson-1", std::string(kOwner), test::lessonBytes(2000));
    }

    BridgeEnvironment environment;
    environment.endpoints = f.endpoints;
    environment.mainQueue = f.mainQueue;
    environment.dataRoot = f.root.path();
    environment.identity = f.identity;
    environment.vault = &f.vault;
    environment.http = f.http;
    environment.savePanel = f.savePanel;
    environment.apiTimeout = 2s;
    environment.coursewareTimeout = 2s;
    test::FakePage page(environment);

    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (std::size_t count = 0; count < kMaximumMessages && !text.empty(); ++count) {
        std::size_t end = text.find('\n');
        sendOne(f, page, text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return 0;
}
