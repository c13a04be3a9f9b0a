#pragma once

#include "core/Endpoints.h"
#include "core/MainQueue.h"
#include "core/Payload.h"
#include "downloads/EncryptedDownload.h"
#include "downloads/NetworkMonitor.h"
#include "vault/DownloadRequest.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace velmora {

class HttpSession;
class VaultManager;

// Turns the page's lesson downloads into offline lessons: refuses a lesson that is already known,
// asks the course API for the lesson's media address, runs one EncryptedDownload per lesson and
// reports every step to the page as "downloadProgress", "downloadCompleted" and "downloadFailed"
// events. Main thread only; the downloads' callbacks hop to the main queue, in order, before they
// touch the coordinator.
//
// Each lesson it knows is in one state of this table (a lesson it does not know has no entry):
//
//   state        | left by (event → next state)                               | on disk
//   -------------+------------------------------------------------------------+----------------------------------
//   waiting      | gate opens → authorizing; pause → paused;                  | a kept ".part" and its resume
//                | cancel → (none)                                            | record, if it is a resume
//   authorizing  | address → downloading; refusal → (none) "downloadFailed";  | as in waiting
//                | transport failure of a resume → paused; pause → paused;    |
//                | cancel → (none)                                            |
//   downloading  | committed → (none) "downloadCompleted"; failed → (none);   | ".part" and its resume record
//                | kept by itself → paused (with the reason); pause, sign-out |
//                | → stopping; cancel → stopping (then none)                  |
//   stopping     | the download's end → paused (or none after a cancel;       | ".part" and its resume record
//                | downloading again when resumed meanwhile)                  |
//   paused       | resume → waiting or authorizing; cancel → (none)           | ".part" and its resume record
//                |                                                            | (none when paused before any)
//
// "waiting" means the network gate is closed (no network, or a metered one the learner has not
// allowed); a running download waits the same way inside EncryptedDownload. Kept downloads of an
// earlier run enter as paused when their account's session is held (sessionHeld); those that were
// running then resume at once. An account's lessons are invisible to every other account.
class DownloadCoordinator : public std::enable_shared_from_this<DownloadCoordinator> {
public:
    using Post = std::function<void(const Json& message)>;

    struct Dependencies {
        Endpoints endpoints;                    // the course API host
        std::shared_ptr<MainQueue> mainQueue;
        std::shared_ptr<HttpSession> http;      // the shared session, for the authorisation call
        const VaultManager* vault = nullptr;    // where lessons are sealed
        EncryptedDownload::Options downloadOptions;
        std::chrono::milliseconds authorizationTimeout{std::chrono::seconds(60)};
        std::shared_ptr<NetworkMonitor> network{};  // null: the network is always there, unmetered
        // Called with true when the first lesson starts running and false when none runs any more.
        std::function<void(bool anyRunning)> runningChanged{};
    };

    enum class State { waiting, authorizing, downloading, stopping, paused };

    static constexpr const char* kAuthorizationPath = "classes/getClassChapterItemStashInfo";
    static constexpr std::size_t kMaximumAnswerBytes = 8 * 1024 * 1024;

    static std::shared_ptr<DownloadCoordinator> make(Post post, Dependencies dependencies);

    // Takes the request over and returns at once; everything else arrives through `post`.
    void start(const DownloadRequest& request);

    // The learner's commands for one lesson of `ownerKey`. False, changing nothing, for a lesson
    // of another account or one not known. resume() authorises again with `token`; with
    // `allowMetered` this run may use a metered connection. cancel() ends in "downloadFailed"
    // "下载已取消" with the lesson's files removed.
    bool pause(const std::string& ownerKey, const std::string& assetId);
    bool resume(const std::string& ownerKey, const std::string& assetId, const std::string& token, bool allowMetered);
    bool cancel(const std::string& ownerKey, const std::string& assetId);

    // The account's known lessons as the page lists them ("interruptedDownloads" items).
    Json interruptedDownloads(const std::string& ownerKey) const;

    // The account's session is held: its kept lessons of an earlier run become known, and those
    // that were running then continue with `token`.
    void sessionHeld(const std::string& ownerKey, const std::string& token);
    // Posts {"type": "networkChanged", "available", "metered"} with the state as it is.
    void postNetworkState();
    // The account signed out: its running lessons are paused.
    void sessionEnded(const std::string& ownerKey);

    // Whether metered connections may be used (the learner's setting; off until told).
    void setMeteredDownloadsAllowed(bool allowed);

    // The application ends: every running download stops keeping its records as a running one,
    // so that the next start continues it.
    void stopAll();

    // The media address in an authorisation answer, or the failure to show. Throws VelmoraError
    // for the service's refusals and passes JSON parse errors on unchanged.
    static std::string mediaAddressFromAnswer(long status, const std::string& body);

    // The authorisation call's address for one lesson.
    static std::string authorizationURL(const Endpoints& endpoints, const DownloadRequest& request);

    // Lessons known (running, waiting or paused).
    std::size_t activeCount() const { return entries_.size(); }
    // The state of a known lesson, for tests.
    std::optional<State> stateOf(const std::string& assetId) const;

private:
    // Only make() can name this, so every coordinator lives in a shared_ptr (its tasks hold it).
    struct Private {};

public:
    DownloadCoordinator(Private, Post post, Dependencies dependencies);

private:
    struct Entry {
        State state = State::waiting;
        DownloadRequest request;
        std::shared_ptr<EncryptedDownload> download;  // from downloading until its end has been handled
        std::optional<ResumeRecord> kept;             // the kept ".part" this lesson continues
        std::uint64_t downloaded = 0;
        std::uint64_t total = 0;
        std::string phase;
        std::string reason;
        bool allowMetered = false;  // this run may use a metered connection
        bool cancelled = false;     // stopping for a cancel
        bool resumeWhenStopped = false;
        std::uint64_t run = 0;      // tells the callbacks of an earlier run from this one's
        int authorizationRetries = 0;  // of this run's authorisation, which could not reach the service
        std::optional<std::chrono::steady_clock::time_point> unreachableSince;
    };

    Entry* ownedEntry(const std::string& ownerKey, const std::string& assetId);
    void advance(const std::string& assetId);
    void resolveOfflineURL(const std::string& assetId);
    void authorized(const std::string& assetId, std::uint64_t run, const std::string& mediaURL);
    void startDownload(const std::string& assetId, const std::string& mediaURL);
    void downloadEnded(const std::string& assetId, std::uint64_t run, const DownloadResult& result);
    void removeEntry(const std::string& assetId, const std::string& message, bool removeFiles);
    void setPaused(Entry& entry, const std::string& assetId);
    bool retryAuthorization(const std::string& assetId, Entry& entry, const std::string& reason);
    void postProgress(const std::string& assetId, Entry& entry, const std::string& phase, Json extra = Json::object());
    NetworkGate gateFor(const Entry& entry) const;
    void networkChanged(NetworkMonitor::State state);
    void applyNetworkGates();
    void wokeFromSleep();
    void updateRunning();

    const Post post_;
    const Dependencies dependencies_;
    std::map<std::string, Entry> entries_;  // by asset identifier
    NetworkMonitor::State network_;
    bool meteredAllowed_ = false;
    bool anyRunning_ = false;
    std::uint64_t runs_ = 0;
};

}  // namespace velmora
