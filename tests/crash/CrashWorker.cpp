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
    std::map<std::string, std::string> outcomes_;  // asset → "downloadCompleted" / "downloadFailed"
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
            if (type == "downloadCompleted" || type == "downloadFailed") outcomes_[message.value("assetId", "")] = type;
        },
        std::move(dependencies));
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
        case 9: case 10: case 11:
            retitleOrDelete(false);
            break;
        case 12: case 13: case 14:
            retitleOrDelete(true);
            break;
        case 15: case 16: case 17:
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
        std::uint64_t version = random_() % 1'000'000 + 1;
        versions[assetIdOf(lesson)] = version;
        outcomes_.erase(assetIdOf(lesson));
        journal_.record("download", assetIdOf(lesson), std::to_string(version));
        coordinator_->start(requestFor(lesson, version));
    }
    bool ended = mainQueue_->runUntil([&] { return outcomes_.size() >= versions.size(); }, kDownloadLimit);
    if (!ended) throw std::runtime_error("a download did not end");
    for (const auto& [assetId, version] : versions) {
        bool committed = outcomes_[assetId] == "downloadCompleted";
        if (committed == versionFails(version)) throw std::runtime_error("download of " + assetId + " ended unexpectedly");
        journal_.record(committed ? "committed" : "failed", assetId, std::to_string(version));
    }
    outcomes_.clear();
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
