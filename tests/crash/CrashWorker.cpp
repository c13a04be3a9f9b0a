#include "CrashWorker.h"

#include "CrashJournal.h"
#include "CrashLessons.h"

#include "downloads/DownloadCoordinator.h"
#include "net/HttpSession.h"
#include "securestore/DeviceSecureStore.h"
#include "support/TestMainQueue.h"
#include "vault/VaultManager.h"

#include <cstdio>
#include <map>
#include <random>

namespace velmora::crash {

namespace {

constexpr auto kDownloadLimit = std::chrono::seconds(60);

class Worker {
public:
    explicit Worker(const CrashWorkerOptions& options);
    void step();

private:
    void download(std::vector<int> lessons);
    void finish(const std::map<std::string, std::uint64_t>& versions);
    void pauseMidway(int lesson);
    void resumeKept();
    void continueAfterRestart();
    void retitleOrDelete(bool remove);
    void saveSession();
    void saveStoreEntry();
    DownloadRequest requestFor(int lesson, std::uint64_t version) const;

    const VaultManager& vault_;
    DeviceSecureStore store_;
    CrashJournal journal_;
    std::mt19937_64 random_;
    std::shared_ptr<test::TestMainQueue> mainQueue_ = std::make_shared<test::TestMainQueue>();
    std::shared_ptr<HttpSession> http_;
    std::shared_ptr<DownloadCoordinator> coordinator_;
    std::map<std::string, std::string> outcomes_;  // asset → "downloadCompleted" / "downloadFailed" / "paused"
    std::map<std::string, std::uint64_t> sealing_;  // asset → bytes sealed so far of its running download
};

const VaultManager& openVault(const std::filesystem::path& dataRoot) {
    VaultManager::configureShared(dataRoot, [store = DeviceSecureStore(dataRoot, IdentitySource::system())] {
        return store.loadOrCreateMasterKey();
    });
    return VaultManager::openAtStartUp();  // as the app does at start-up
}

Endpoints endpointsOf(const CrashWorkerOptions& options) {
    return {"127.0.0.1", static_cast<std::uint16_t>(options.serverPort), "velmora.test", options.caFile};
}

Worker::Worker(const CrashWorkerOptions& options)
    : vault_(openVault(options.dataRoot)),
      store_(options.dataRoot, IdentitySource::system()),
      journal_(options.journal),
      random_(options.seed),
      http_(std::make_shared<HttpSession>(endpointsOf(options), mainQueue_)) {
    DownloadCoordinator::Dependencies dependencies{endpointsOf(options), mainQueue_, http_, &vault_, {http_->tlsTrust()}};
    coordinator_ = DownloadCoordinator::make(
        [this](const Json& message) {
            std::string type = message.value("type", "");
            std::string assetId = message.value("assetId", "");
            if (type == "downloadCompleted" || type == "downloadFailed") outcomes_[assetId] = type;
            if (type != "downloadProgress") return;
            if (message.value("phase", "") == "paused") outcomes_[assetId] = "paused";
            if (message.value("phase", "") == "downloading") sealing_[assetId] = message.value("downloaded", std::uint64_t{0});
        },
        std::move(dependencies));
    continueAfterRestart();
}

// The kept lessons that were running when the last worker was killed continue by themselves.
void Worker::continueAfterRestart() {
    std::map<std::string, std::uint64_t> versions;
    for (const ResumeRecord& record : vault_.keptDownloads()) {
        if (record.paused) continue;
        versions[record.request.assetId] = static_cast<std::uint64_t>(record.request.lessonId);
        journal_.record("download", record.request.assetId, std::to_string(record.request.lessonId));
    }
    coordinator_->sessionHeld(kOwnerKey, "crash-token");
    finish(versions);
}

void Worker::step() {
    const int lessonPick = static_cast<int>(random_() % kLessonCount) + 1;
    switch (random_() % 20) {
        case 0: case 1: case 2: case 3: case 4: case 5: case 6:
            download({lessonPick});
            break;
        case 7: case 8:
            download({lessonPick, lessonPick % kLessonCount + 1});  // two at a time
            break;
        case 9: case 10:
            retitleOrDelete(false);
            break;
        case 11: case 12:
            retitleOrDelete(true);
            break;
        case 13: case 14:
            pauseMidway(lessonPick);
            break;
        case 15: case 16:
            resumeKept();
            break;
        case 17:
            saveSession();
            break;
        default:
            saveStoreEntry();
    }
}

DownloadRequest Worker::requestFor(int lesson, std::uint64_t version) const {
    DownloadRequest request;
    request.ownerKey = kOwnerKey;
    request.token = "crash-token";
    request.classTitle = "崩溃测试班";
    request.courseTitle = "课程";
    request.chapterTitle = "章节";
    request.lessonTitle = "第 " + std::to_string(lesson) + " 课";
    request.assetId = assetIdOf(lesson);
    request.classId = lesson;  // the server reads the lesson from class_id and the version from id
    request.lessonIndex = lesson;
    request.lessonId = static_cast<std::int64_t>(version);
    return request;
}

void Worker::download(std::vector<int> lessons) {
    std::map<std::string, std::uint64_t> versions;
    for (int lesson : lessons) {
        if (coordinator_->stateOf(assetIdOf(lesson))) continue;  // kept: only a resume continues it
        std::uint64_t version = random_() % 1'000'000 + 1;
        versions[assetIdOf(lesson)] = version;
        outcomes_.erase(assetIdOf(lesson));
        journal_.record("download", assetIdOf(lesson), std::to_string(version));
        coordinator_->start(requestFor(lesson, version));
    }
    finish(versions);
}

// Waits for the downloads of `versions` to end and notes how each ended.
void Worker::finish(const std::map<std::string, std::uint64_t>& versions) {
    bool ended = mainQueue_->runUntil([&] { return outcomes_.size() >= versions.size(); }, kDownloadLimit);
    if (!ended) throw std::runtime_error("a download did not end");
    for (const auto& [assetId, version] : versions) {
        if (outcomes_[assetId] == "paused") throw std::runtime_error("download of " + assetId + " paused by itself");
        bool committed = outcomes_[assetId] == "downloadCompleted";
        if (committed == versionFails(version)) throw std::runtime_error("download of " + assetId + " ended unexpectedly");
        journal_.record(committed ? "committed" : "failed", assetId, std::to_string(version));
    }
    outcomes_.clear();
}

// Starts a lesson, pauses it once its first record is sealed and leaves it kept.
void Worker::pauseMidway(int lesson) {
    const std::string assetId = assetIdOf(lesson);
    if (coordinator_->stateOf(assetId)) {
        resumeKept();
        return;
    }
    std::uint64_t version = random_() % 1'000'000 + 1;
    outcomes_.erase(assetId);
    sealing_.erase(assetId);
    journal_.record("download", assetId, std::to_string(version));
    coordinator_->start(requestFor(lesson, version));
    mainQueue_->runUntil([&] { return sealing_.contains(assetId) || outcomes_.contains(assetId); }, kDownloadLimit);
    if (!outcomes_.contains(assetId)) {
        journal_.record("pause", assetId, std::to_string(version));
        coordinator_->pause(kOwnerKey, assetId);
    }
    if (!mainQueue_->runUntil([&] { return outcomes_.contains(assetId); }, kDownloadLimit)) {
        throw std::runtime_error("a pause did not end");
    }
    const std::string outcome = outcomes_[assetId];
    outcomes_.clear();
    if (outcome == "downloadCompleted") {
        journal_.record("committed", assetId, std::to_string(version));
    } else {
        journal_.record("failed", assetId, std::to_string(version));  // kept or failed: no new version is listed
    }
}

// Resumes one paused lesson with the held token and waits for it to end.
void Worker::resumeKept() {
    for (const Json& item : coordinator_->interruptedDownloads(kOwnerKey)) {
        if (item["phase"] != "paused") continue;
        const std::string assetId = item["assetId"];
        const auto version = item["lessonId"].get<std::uint64_t>();
        outcomes_.erase(assetId);
        journal_.record("download", assetId, std::to_string(version));
        coordinator_->resume(kOwnerKey, assetId, "crash-token", false);
        finish({{assetId, version}});
        return;
    }
    pauseMidway(static_cast<int>(random_() % kLessonCount) + 1);
}

void Worker::retitleOrDelete(bool remove) {
    std::vector<VaultItem> items = vault_.list(kOwnerKey);
    if (items.empty()) {
        download({static_cast<int>(random_() % kLessonCount) + 1});
        return;
    }
    const std::string assetId = items[random_() % items.size()].assetId;
    if (remove) {
        journal_.record("delete", assetId);
        vault_.deleteItem({.ownerKey = kOwnerKey, .assetId = assetId});
        journal_.record("deleted", assetId);
        return;
    }
    std::string title = "重命名 " + std::to_string(random_() % 1000);
    journal_.record("retitle", assetId);
    vault_.updateMetadata({.ownerKey = kOwnerKey, .assetId = assetId}, title, title, 1, 2, static_cast<std::int64_t>(random_() % 9));
    journal_.record("retitled", assetId);
}

void Worker::saveSession() {
    std::string token = "token-" + std::to_string(random_());
    journal_.record("session", token);
    store_.saveSession(DesktopSession{token, kOwnerKey, "崩溃测试"});
    journal_.record("session-saved", token);
}

void Worker::saveStoreEntry() {
    Bytes value(1 + random_() % 300);
    for (std::uint8_t& byte : value) byte = static_cast<std::uint8_t>(random_());
    std::string hex = hexLower(value);
    journal_.record("store", hex);
    store_.save(value, kStoreAccount);
    journal_.record("stored", hex);
}

}  // namespace

int runCrashWorker(const CrashWorkerOptions& options) {
    try {
        Worker worker(options);
        for (;;) worker.step();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "crash worker: %s\n", error.what());
        return 1;
    }
}

}  // namespace velmora::crash
