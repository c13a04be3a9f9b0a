#pragma once

#include "core/Endpoints.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace velmora {

class MainQueue;
class Workspace;
class IdentitySource;
class SecretBytes;
class VaultManager;
class HttpSession;
class SavePanel;
class NetworkMonitor;

// What the bridge's handlers are given at construction. Null members disable the commands that
// need them (a test of the window commands needs no vault).
struct BridgeEnvironment {
    Endpoints endpoints;
    std::shared_ptr<MainQueue> mainQueue;
    std::shared_ptr<Workspace> workspace;
    std::filesystem::path dataRoot;                   // the user data folder (secure store, vault)
    std::shared_ptr<const IdentitySource> identity;   // machine and user identity for the secure store
    std::shared_ptr<const SecretBytes> keyringSecret;  // the desktop keyring's secret for the store, or null
    VaultManager* vault = nullptr;                    // the process's vault; never released
    std::shared_ptr<HttpSession> http;                // the shared HTTP session
    // Why `http` is null: the text every network command answers with instead of a result.
    std::string httpUnavailableReason = "the HTTPS session could not be created";
    std::shared_ptr<SavePanel> savePanel;             // asks where courseware is saved
    std::shared_ptr<NetworkMonitor> network;          // null: downloads take the network as always there
    std::function<void(bool anyRunning)> downloadsRunningChanged;  // whether any download runs now
    std::chrono::milliseconds apiTimeout = std::chrono::seconds(45);         // "apiRequest" requests
    std::chrono::milliseconds coursewareTimeout = std::chrono::seconds(60);  // courseware downloads
};

}  // namespace velmora
