#pragma once

#include "core/SerialQueue.h"
#include "schemes/SchemeTask.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace velmora {

class VaultManager;

// An inclusive byte range of a lesson's plaintext.
struct ByteRange {
    std::uint64_t start = 0;
    std::uint64_t end = 0;

    std::uint64_t length() const { return end - start + 1; }
    friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

// Serves offline lessons under "velmora-media://local/v1/<assetId>?owner=<accountKey>", decrypting
// from the vault on the fly, in pieces of at most kPieceSizeBytes, honouring HTTP byte ranges.
//
// Every request is served on one serial queue, one at a time and in start order. A task's identity
// is its object address; stop() marks it, and the serving side checks the mark right before every
// delivery, so a stopped task receives nothing more (no data, no finish, no failure).
//
// Lifetime: destroying the handler stops every task (queued work does nothing, running work stops
// at its next check) and waits for the running piece. Whoever feeds tasks to it (the WebKit adapter,
// MediaLoopback) must be gone before it.
class MediaSchemeHandler : public SchemeHandler {
public:
    static constexpr std::uint64_t kPieceSizeBytes = 2'097'152;
    static constexpr std::string_view kQueueLabel = "com.velmora.classroom.media";

    // Told, on the media queue, of every request that met a record of a lesson that does not
    // decrypt (the stored copy is damaged). The request fails as any other failed read does.
    using DamageObserver = std::function<void(const std::string& assetId, const std::string& ownerKey)>;

    explicit MediaSchemeHandler(VaultManager& vault, DamageObserver damaged = {});
    MediaSchemeHandler(const MediaSchemeHandler&) = delete;
    MediaSchemeHandler& operator=(const MediaSchemeHandler&) = delete;
    ~MediaSchemeHandler() override;

    // Clears any earlier stop of this identity and queues the task; returns at once. Any thread (the
    // web view calls it on the main thread). The handler keeps the task alive until it is served.
    void start(std::shared_ptr<SchemeTask> task) override;

    // Marks the task stopped; nothing else. Any thread.
    void stop(const SchemeTask& task) override;

    bool isCancelled(const SchemeTask* identity) const;

    // The range a "Range" header asks for within `total` bytes, or nullopt when the header is
    // missing, unusable or unsatisfiable (then the whole media is served with status 200). Of
    // several ranges only the first counts; an end past the last byte is clamped. Pure.
    static std::optional<ByteRange> parseRange(std::optional<std::string_view> header, std::uint64_t total);

private:
    struct Address {
        std::string assetId;
        std::string ownerKey;
    };

    static Address parseAddress(const std::optional<Url>& url);
    void serve(SchemeTask& task, const SchemeTask* identity);
    void answer(SchemeTask& task, const SchemeTask* identity);
    Bytes readPiece(const Address& address, std::uint64_t start, std::uint64_t endInclusive) const;

    VaultManager& vault_;
    DamageObserver damaged_;
    mutable std::mutex stateLock_;  // guards cancelled_; never held while waiting for the queue
    std::unordered_set<const SchemeTask*> cancelled_;
    std::atomic<bool> closing_{false};
    SerialQueue queue_{std::string(kQueueLabel)};  // last: destroyed first, while the rest still exists
};

}  // namespace velmora
