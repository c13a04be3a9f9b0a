#include "downloads/DownloadCoordinator.h"

#include "core/VelmoraError.h"
#include "net/HttpSession.h"
#include "net/Url.h"
#include "vault/VaultManager.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace velmora {

namespace {

constexpr const char* kAlreadyQueued = "该小节已在下载队列中";
constexpr const char* kAnswerMalformed = "课程授权结果格式异常";
constexpr const char* kNoMediaOffered = "当前课时未提供可下载的 MP4 媒体";
constexpr const char* kDownloadFailed = "离线下载失败";
constexpr const char* kHttpStatusPrefix = "课程授权服务返回 HTTP ";
constexpr const char* kCancelled = "下载已取消";

Json progressEvent(const std::string& assetId, std::uint64_t downloaded, std::uint64_t total, const std::string& phase) {
    return {{"type", "downloadProgress"}, {"assetId", assetId}, {"downloaded", downloaded}, {"total", total}, {"phase", phase}};
}

Json failedEvent(const std::string& assetId, const std::string& message) {
    return {{"type", "downloadFailed"}, {"assetId", assetId}, {"message", message.empty() ? kDownloadFailed : message}};
}

// A candidate address is usable when it parses as a URL with the scheme "https", in lower case.
bool isUsableMediaAddress(const std::string& candidate) {
    return candidate.rfind("https:", 0) == 0 && Url::parseWeb(candidate).has_value();
}

const Json* textMember(const Json& object, const char* key) {
    const Json* value = payloadValue(object, key);
    return value && value->is_string() ? value : nullptr;
}

bool isSuccessStatus(long status) { return status >= 200 && status <= 299; }

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const HttpResponseTooLargeError& tooLarge) {
        // The status is judged before the size, as for an answer read whole.
        if (!isSuccessStatus(tooLarge.status())) return kHttpStatusPrefix + std::to_string(tooLarge.status());
        return kAnswerMalformed;
    } catch (const std::exception& caught) {
        return errorDescription(caught);
    }
}

// No answer at all: the service could not be reached (an answer too large still is one).
bool isTransportFailure(const HttpDataResult& result) {
    if (!result.error) return false;
    try {
        std::rethrow_exception(result.error);
    } catch (const HttpResponseTooLargeError&) {
        return false;
    } catch (...) {
        return true;
    }
}

}  // namespace

std::shared_ptr<DownloadCoordinator> DownloadCoordinator::make(Post post, Dependencies dependencies) {
    auto coordinator = std::make_shared<DownloadCoordinator>(Private{}, std::move(post), std::move(dependencies));
    if (const auto& network = coordinator->dependencies_.network) {
        std::weak_ptr<DownloadCoordinator> weakSelf = coordinator;
        network->setListeners({[weakSelf](NetworkMonitor::State state) {
                                   if (auto self = weakSelf.lock()) self->networkChanged(state);
                               },
                               [weakSelf] {
                                   if (auto self = weakSelf.lock()) self->wokeFromSleep();
                               }});
    }
    return coordinator;
}

DownloadCoordinator::DownloadCoordinator(Private, Post post, Dependencies dependencies)
    : post_(std::move(post)),
      dependencies_(std::move(dependencies)),
      network_(dependencies_.network ? dependencies_.network->state() : NetworkMonitor::State{}) {}

std::string DownloadCoordinator::authorizationURL(const Endpoints& endpoints, const DownloadRequest& request) {
    return endpoints.apiBaseAddress() + kAuthorizationPath + "?class_id=" + std::to_string(request.classId) +
           "&id=" + std::to_string(request.lessonId) + "&is_mobile=1";
}

std::string DownloadCoordinator::mediaAddressFromAnswer(long status, const std::string& body) {
    if (!isSuccessStatus(status)) throw VelmoraError(kHttpStatusPrefix + std::to_string(status));
    if (body.size() > kMaximumAnswerBytes) throw VelmoraError(kAnswerMalformed);
    Json answer = Json::parse(body);
    if (!answer.is_object()) throw VelmoraError(kAnswerMalformed);

    const Json* data = payloadValue(answer, "data");
    const Json* candidate = data && data->is_object() && !data->empty() ? textMember(*data, "offline_download_url") : nullptr;
    if (candidate == nullptr) candidate = textMember(answer, "offline_download_url");
    // A candidate inside "data" that is unusable is not replaced by a top-level one.
    if (candidate && isUsableMediaAddress(candidate->get_ref<const std::string&>())) return candidate->get<std::string>();
    if (const Json* message = textMember(answer, "msg")) throw VelmoraError(message->get<std::string>());
    throw VelmoraError(kNoMediaOffered);
}

std::optional<DownloadCoordinator::State> DownloadCoordinator::stateOf(const std::string& assetId) const {
    auto found = entries_.find(assetId);
    if (found == entries_.end()) return std::nullopt;
    return found->second.state;
}

void DownloadCoordinator::start(const DownloadRequest& request) {
    // A kept ".part" of this asset belongs to its account: another one may not start over it.
    std::optional<ResumeRecord> kept = dependencies_.vault->resumeRecord(request.assetId);
    if (entries_.contains(request.assetId) || (kept && kept->request.ownerKey != request.ownerKey)) {
        post_(failedEvent(request.assetId, kAlreadyQueued));
        return;
    }
    Entry& entry = entries_[request.assetId];
    entry.request = request;
    entry.run = ++runs_;
    if (kept) {
        entry.downloaded = kept->records * VaultManager::chunkSize;
        entry.total = kept->length;
        entry.kept = std::move(kept);
    }
    advance(request.assetId);
}

DownloadCoordinator::Entry* DownloadCoordinator::ownedEntry(const std::string& ownerKey, const std::string& assetId) {
    auto found = entries_.find(assetId);
    if (found == entries_.end() || found->second.request.ownerKey != ownerKey) return nullptr;
    return &found->second;
}

bool DownloadCoordinator::pause(const std::string& ownerKey, const std::string& assetId) {
    Entry* entry = ownedEntry(ownerKey, assetId);
    if (!entry) return false;
    switch (entry->state) {
        case State::waiting:
        case State::authorizing:
            entry->run = ++runs_;  // an answer still on its way is for a run that has ended
            setPaused(*entry, assetId);
            break;
        case State::downloading:
            entry->state = State::stopping;
            entry->download->pause();
            break;
        case State::stopping:
            entry->resumeWhenStopped = false;
            break;
        case State::paused:
            break;
    }
    updateRunning();
    return true;
}

bool DownloadCoordinator::resume(const std::string& ownerKey, const std::string& assetId, const std::string& token,
                                 bool allowMetered) {
    Entry* entry = ownedEntry(ownerKey, assetId);
    if (!entry) return false;
    entry->request.token = token;
    entry->allowMetered = entry->allowMetered || allowMetered;
    if (entry->download) entry->download->setNetworkGate(gateFor(*entry));  // a running one waiting for leave to use it
    if (entry->state == State::stopping && !entry->cancelled) entry->resumeWhenStopped = true;
    if (entry->state == State::waiting && entry->allowMetered) advance(assetId);
    if (entry->state != State::paused) return true;
    entry->kept = dependencies_.vault->resumeRecord(assetId);
    entry->reason.clear();
    entry->run = ++runs_;
    advance(assetId);
    return true;
}

bool DownloadCoordinator::cancel(const std::string& ownerKey, const std::string& assetId) {
    Entry* entry = ownedEntry(ownerKey, assetId);
    if (!entry) return false;
    if (entry->state == State::downloading || entry->state == State::stopping) {
        entry->state = State::stopping;
        entry->cancelled = true;
        entry->resumeWhenStopped = false;
        entry->download->cancel();
    } else {
        removeEntry(assetId, kCancelled, true);
    }
    updateRunning();
    return true;
}

// Starts the lesson's authorisation, or waits while the network gate is closed.
void DownloadCoordinator::advance(const std::string& assetId) {
    Entry& entry = entries_.at(assetId);
    NetworkGate gate = gateFor(entry);
    if (gate != NetworkGate::open) {
        entry.state = State::waiting;
        postProgress(assetId, entry, gatePhase(gate));
    } else {
        entry.state = State::authorizing;
        entry.authorizationRetries = 0;
        entry.unreachableSince.reset();
        postProgress(assetId, entry, "authorizing");
        resolveOfflineURL(assetId);
    }
    updateRunning();
}

NetworkGate DownloadCoordinator::gateFor(const Entry& entry) const {
    if (!network_.available) return NetworkGate::noNetwork;
    if (network_.metered && !meteredAllowed_ && !entry.allowMetered) return NetworkGate::metered;
    return NetworkGate::open;
}

void DownloadCoordinator::resolveOfflineURL(const std::string& assetId) {
    const Entry& entry = entries_.at(assetId);
    HttpRequest call;
    call.url = authorizationURL(dependencies_.endpoints, entry.request);
    call.headers = {{"Accept", "application/json"}, {"X-Velmora-Client", "app"}, {"Authorization", "Bearer " + entry.request.token}};
    call.cachePolicy = CachePolicy::reloadIgnoringLocalCache;
    call.timeout = dependencies_.authorizationTimeout;
    call.maxResponseBytes = kMaximumAnswerBytes;
    dependencies_.http->dataTask(std::move(call), [self = shared_from_this(), assetId, run = entry.run](HttpDataResult result) {
        auto found = self->entries_.find(assetId);
        if (found == self->entries_.end() || found->second.run != run || found->second.state != State::authorizing) return;
        std::string mediaURL;
        try {
            if (result.error) std::rethrow_exception(result.error);
            mediaURL = mediaAddressFromAnswer(result.response.status, result.response.body);
        } catch (...) {
            std::string message = describe(std::current_exception());
            // A lesson with kept records that cannot reach the service is tried again, with the
            // downloads' back-off and for their retry window, then interrupted, not lost.
            if (isTransportFailure(result) && found->second.kept) {
                if (self->retryAuthorization(assetId, found->second, message)) return;
                found->second.reason = message;
                self->setPaused(found->second, assetId);
            } else {
                self->removeEntry(assetId, message, true);  // refused: kept records go too
            }
            self->updateRunning();
            return;
        }
        self->startDownload(assetId, mediaURL);
    });
}

// Asks for the authorisation again after the next back-off delay, posting "retrying"; false once
// the service has been unreachable for the whole retry window.
bool DownloadCoordinator::retryAuthorization(const std::string& assetId, Entry& entry, const std::string& reason) {
    const EncryptedDownload::Options& options = dependencies_.downloadOptions;
    auto now = std::chrono::steady_clock::now();
    if (!entry.unreachableSince) entry.unreachableSince = now;
    if (now - *entry.unreachableSince >= options.retryWindow) return false;
    auto delay = options.firstRetryDelay;
    for (int i = 0; i < entry.authorizationRetries && delay < options.longestRetryDelay; ++i) delay *= 2;
    delay = std::min(delay, options.longestRetryDelay);
    ++entry.authorizationRetries;
    auto seconds = std::chrono::ceil<std::chrono::seconds>(delay).count();
    postProgress(assetId, entry, "retrying", {{"reason", reason}, {"retryInSeconds", seconds}});
    dependencies_.mainQueue->postAfter(delay, [weakSelf = weak_from_this(), assetId, run = entry.run] {
        auto self = weakSelf.lock();
        if (!self) return;
        auto found = self->entries_.find(assetId);
        if (found != self->entries_.end() && found->second.run == run && found->second.state == State::authorizing) {
            self->resolveOfflineURL(assetId);
        }
    });
    return true;
}

void DownloadCoordinator::startDownload(const std::string& assetId, const std::string& mediaURL) {
    Entry& entry = entries_.at(assetId);
    std::weak_ptr<DownloadCoordinator> weakSelf = weak_from_this();
    std::shared_ptr<MainQueue> mainQueue = dependencies_.mainQueue;
    const std::uint64_t run = entry.run;
    // Runs `step` on the main thread with this run's entry, if the coordinator and the run still exist.
    auto onMain = [weakSelf, mainQueue, assetId, run](std::function<void(DownloadCoordinator&, Entry&)> step) {
        mainQueue->post([weakSelf, assetId, run, step = std::move(step)] {
            auto self = weakSelf.lock();
            if (!self) return;
            auto found = self->entries_.find(assetId);
            if (found != self->entries_.end() && found->second.run == run) step(*self, found->second);
        });
    };
    auto progress = [onMain, assetId](std::uint64_t downloaded, std::uint64_t total, const std::string& phase) {
        onMain([assetId, downloaded, total, phase](DownloadCoordinator& self, Entry& entry) {
            entry.downloaded = downloaded;
            entry.total = total;
            self.postProgress(assetId, entry, phase);
        });
    };
    auto waiting = [onMain, assetId](const EncryptedDownload::Wait& wait) {
        onMain([assetId, wait](DownloadCoordinator& self, Entry& entry) {
            entry.downloaded = wait.downloaded;
            entry.total = wait.total;
            Json extra = Json::object();
            if (wait.phase == "retrying") extra = {{"reason", wait.reason}, {"retryInSeconds", wait.retryInSeconds}};
            self.postProgress(assetId, entry, wait.phase, extra);
        });
    };
    auto completion = [onMain, assetId, run](const DownloadResult& result) {
        onMain([assetId, run, result](DownloadCoordinator& self, Entry&) { self.downloadEnded(assetId, run, result); });
    };
    entry.download = EncryptedDownload::make(entry.request, mediaURL, *dependencies_.vault, std::move(progress), std::move(completion),
                                             dependencies_.downloadOptions, std::move(waiting));
    if (entry.kept) entry.download->resumeFrom(*entry.kept);
    entry.download->setNetworkGate(gateFor(entry));
    entry.state = State::downloading;
    // start() may end the download at once, which erases the entry: keep the download until then.
    std::shared_ptr<EncryptedDownload> download = entry.download;
    download->start();
}

void DownloadCoordinator::downloadEnded(const std::string& assetId, std::uint64_t run, const DownloadResult& result) {
    auto found = entries_.find(assetId);
    if (found == entries_.end() || found->second.run != run) return;
    Entry& entry = found->second;
    entry.download.reset();
    entry.allowMetered = false;
    if (result.succeeded) {
        entries_.erase(found);
        post_({{"type", "downloadCompleted"}, {"assetId", assetId}});
    } else if (!result.kept) {
        entries_.erase(found);
        post_(failedEvent(assetId, result.message));
    } else if (entry.cancelled) {
        removeEntry(assetId, kCancelled, true);
    } else {
        entry.kept = dependencies_.vault->resumeRecord(assetId);
        entry.downloaded = result.plainSize;
        entry.reason = result.message;
        entry.run = ++runs_;
        if (std::exchange(entry.resumeWhenStopped, false)) {
            advance(assetId);
        } else {
            setPaused(entry, assetId);
        }
    }
    updateRunning();
}

void DownloadCoordinator::removeEntry(const std::string& assetId, const std::string& message, bool removeFiles) {
    if (removeFiles) dependencies_.vault->cleanPartial(assetId);
    entries_.erase(assetId);
    post_(failedEvent(assetId, message));
}

void DownloadCoordinator::setPaused(Entry& entry, const std::string& assetId) {
    entry.state = State::paused;
    postProgress(assetId, entry, "paused", entry.reason.empty() ? Json::object() : Json{{"reason", entry.reason}});
}

void DownloadCoordinator::postProgress(const std::string& assetId, Entry& entry, const std::string& phase, Json extra) {
    entry.phase = phase;
    Json event = progressEvent(assetId, entry.downloaded, entry.total, phase);
    event.update(extra);
    post_(event);
}

Json DownloadCoordinator::interruptedDownloads(const std::string& ownerKey) const {
    Json items = Json::array();
    for (const auto& [assetId, entry] : entries_) {
        if (entry.request.ownerKey != ownerKey) continue;
        const DownloadRequest& r = entry.request;
        Json item = {{"assetId", assetId},           {"classId", r.classId},         {"lessonId", r.lessonId},
                     {"classTitle", r.classTitle},   {"courseTitle", r.courseTitle}, {"chapterTitle", r.chapterTitle},
                     {"lessonTitle", r.lessonTitle}, {"coverUrl", r.coverUrl},       {"courseIndex", r.courseIndex},
                     {"chapterIndex", r.chapterIndex}, {"lessonIndex", r.lessonIndex}, {"downloaded", entry.downloaded},
                     {"total", entry.total},         {"phase", entry.phase}};
        if (!entry.reason.empty()) item["reason"] = entry.reason;
        items.push_back(std::move(item));
    }
    return items;
}

void DownloadCoordinator::sessionHeld(const std::string& ownerKey, const std::string& token) {
    for (ResumeRecord& record : dependencies_.vault->keptDownloads()) {
        const std::string assetId = record.request.assetId;
        if (record.request.ownerKey != ownerKey || entries_.contains(assetId)) continue;
        Entry& entry = entries_[assetId];
        entry.state = State::paused;
        entry.phase = "paused";
        entry.request = record.request;
        entry.downloaded = record.records * VaultManager::chunkSize;
        entry.total = record.length;
        entry.reason = record.reason;
        entry.run = ++runs_;
        bool wasRunning = !record.paused;
        entry.kept = std::move(record);
        if (wasRunning) resume(ownerKey, assetId, token, false);
    }
}

void DownloadCoordinator::postNetworkState() {
    post_({{"type", "networkChanged"}, {"available", network_.available}, {"metered", network_.metered}});
}

void DownloadCoordinator::sessionEnded(const std::string& ownerKey) {
    std::vector<std::string> owned;
    for (const auto& [assetId, entry] : entries_) {
        if (entry.request.ownerKey == ownerKey) owned.push_back(assetId);
    }
    for (const std::string& assetId : owned) pause(ownerKey, assetId);
}

void DownloadCoordinator::setMeteredDownloadsAllowed(bool allowed) {
    meteredAllowed_ = allowed;
    applyNetworkGates();
}

void DownloadCoordinator::networkChanged(NetworkMonitor::State state) {
    if (state == network_) return;
    network_ = state;
    postNetworkState();
    applyNetworkGates();
}

// Running downloads wait or continue by themselves; lessons waiting to be authorised start.
void DownloadCoordinator::applyNetworkGates() {
    std::vector<std::string> ready;
    for (auto& [assetId, entry] : entries_) {
        if (entry.download) entry.download->setNetworkGate(gateFor(entry));
        NetworkGate gate = gateFor(entry);
        if (entry.state == State::waiting && (gate == NetworkGate::open || entry.phase != gatePhase(gate))) ready.push_back(assetId);
    }
    for (const std::string& assetId : ready) advance(assetId);
}

void DownloadCoordinator::wokeFromSleep() {
    for (auto& [assetId, entry] : entries_) {
        if (entry.download) entry.download->reconnect();
    }
}

void DownloadCoordinator::stopAll() {
    for (auto& [assetId, entry] : entries_) {
        if (entry.state != State::downloading) continue;
        entry.state = State::stopping;
        entry.download->stop();
    }
}

void DownloadCoordinator::updateRunning() {
    bool any = false;
    for (const auto& [assetId, entry] : entries_) {
        any = any || entry.state == State::authorizing || entry.state == State::downloading || entry.state == State::stopping;
    }
    if (any == anyRunning_) return;
    anyRunning_ = any;
    if (dependencies_.runningChanged) dependencies_.runningChanged(any);
}

}  // namespace velmora
