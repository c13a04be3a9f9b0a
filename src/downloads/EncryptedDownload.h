#pragma once

#include "core/Crypto.h"
#include "core/SerialQueue.h"
#include "net/HttpRequest.h"
#include "net/TlsTrust.h"
#include "vault/DownloadRequest.h"
#include "vault/LessonWriter.h"
#include "vault/ResumeRecord.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace velmora {

class HttpTransfer;
class VaultManager;

// How one download ended: committed, failed (nothing left on disk), or kept (its ".part" and
// resume record stay for a later resume).
struct DownloadResult {
    bool succeeded = false;
    std::uint64_t plainSize = 0;  // committed: the lesson's size; kept: the plaintext kept
    std::string message;          // failed: the text to show; kept: the platform's reason, "" when asked to stop
    bool kept = false;

    static DownloadResult success(std::uint64_t size) { return {true, size, {}, false}; }
    static DownloadResult failure(std::string text) { return {false, 0, std::move(text), false}; }
    static DownloadResult keptAt(std::uint64_t downloaded, std::string reason) { return {false, downloaded, std::move(reason), true}; }
};

// Whether a download may use the network now.
enum class NetworkGate {
    open,
    noNetwork,  // none at all: wait ("waitingForNetwork")
    metered,    // a metered connection the learner has not allowed: wait ("meteredNetwork")
};

// The "downloadProgress" phase of a lesson waiting at a closed gate.
const char* gatePhase(NetworkGate gate);

// Fetches one lesson's media over HTTPS into a LessonWriter, which seals it into the vault record
// by record, so no plaintext ever reaches the disk, and commits it.
//
// The transfer runs on the download's own serial queue: curl's callbacks there are the response,
// body and completion steps below, one at a time and in order. The writer's bounded record queue
// lets a slow disk hold back the network through TCP flow control. Memory stays at one chunk being
// filled plus a few sealed records, whatever the lesson's size.
//
// Interruption is not failure. A transfer that breaks (dropped, reset, idle, server unreachable)
// is tried again after a back-off that starts at Options::firstRetryDelay and doubles up to
// longestRetryDelay, for retryWindow of network time since the last sealed record; the whole
// records already written stay, and the rest is asked for with "Range" and "If-Range" (the first
// answer's strong ETag, else its Last-Modified). Without such a validator, or when a resumed
// answer is a 200, names another length or another validator, the ".part" starts over, so two
// versions never mix. While the gate is closed the transfer waits and continues as soon as it
// opens. A pause, a stop, a full disk and the end of the retry window keep the ".part" with its
// ResumeRecord; HTTP errors, the size check and other disk errors fail and remove it. Before
// records are written the vault's file system must hold the rest of the lesson plus
// DiskSpace::kMarginBytes (per record when the length is unknown).
class EncryptedDownload : public std::enable_shared_from_this<EncryptedDownload> {
public:
    // Called on the download's queue after every sealed chunk ("downloading", total = announced
    // length or 0; after starting over, only once the count passes the highest one reported) and
    // once after the commit ("completed", total = downloaded).
    using Progress = std::function<void(std::uint64_t downloaded, std::uint64_t total, const std::string& phase)>;
    // Called exactly once: on the queue, or on the calling thread when start() itself fails.
    using Completion = std::function<void(const DownloadResult& result)>;

    // What the download waits for, on the queue: phase "waitingForNetwork" or "meteredNetwork"
    // (reason "", retryInSeconds 0), or "retrying" with the break's text and the seconds to the
    // next try. `downloaded` and `total` as for Progress.
    struct Wait {
        std::string phase;
        std::string reason;
        std::int64_t retryInSeconds = 0;
        std::uint64_t downloaded = 0;
        std::uint64_t total = 0;
    };
    using Waiting = std::function<void(const Wait& wait)>;

    struct Options {
        TlsTrust trust;                                      // the system store unless the endpoints add a CA
        std::chrono::milliseconds requestTimeout{std::chrono::seconds(60)};  // connect, and longest silence
        std::chrono::seconds resourceTimeout{24 * 60 * 60};  // whole transfer
        std::chrono::milliseconds firstRetryDelay{std::chrono::seconds(1)};
        std::chrono::milliseconds longestRetryDelay{std::chrono::seconds(60)};
        std::chrono::milliseconds retryWindow{std::chrono::minutes(30)};  // of network time without a new record
    };

    // Records between two updates of the resume record while the transfer runs: what a kill can
    // lose beyond the torn record (the start-up rule finds the rest by authenticating them).
    static constexpr std::uint64_t kRecordsPerResumeUpdate = 16;

    static std::shared_ptr<EncryptedDownload> make(DownloadRequest request, std::string mediaURL, const VaultManager& vault,
                                                   Progress progress, Completion completion, Options options,
                                                   Waiting waiting = {});
    ~EncryptedDownload();

    // Continues the kept ".part" that `record` describes instead of starting a new one. Before
    // start(), main thread.
    void resumeFrom(ResumeRecord record);

    // Prepares the ".part" file with its header (or reopens the kept one) and starts the transfer
    // on the queue. Main thread, once. A kept ".part" that cannot be reopened starts over.
    void start();

    // The requests below take effect on the queue within about a second (curl's progress
    // callback), or at once during a wait, and end in one completion. Any thread.

    // Fails the download with "下载已取消" and removes its files.
    void cancel();
    // Ends the download keeping its records; its resume record says it was paused.
    void pause();
    // Ends the download keeping its records as a running one (the application is ending): the
    // next start continues it.
    void stop();

    // Opens or closes the gate; a closed gate ends the running transfer at once (its records
    // stay) and waits. Any thread.
    void setNetworkGate(NetworkGate gate);
    // Drops the running connection or wait and tries again at once (the machine woke from sleep).
    void reconnect();

    // The delegate steps, on the queue. Public so the state machine can be driven directly in tests.
    // didReceiveResponse answers whether to go on receiving the body.
    bool didReceiveResponse(long statusCode, std::int64_t expectedContentLength);
    // Returns false when the download has failed and the transfer should stop.
    bool didReceiveData(ByteView bytes);
    void didComplete(std::optional<std::string> transportError);

private:
    struct Private {};

public:
    EncryptedDownload(Private, DownloadRequest request, std::string mediaURL, const VaultManager& vault, Progress progress,
                      Completion completion, Options options, Waiting waiting);

private:
    // Why the running transfer was told to end.
    enum class Stop { none, cancel, pause, quit };
    // How one request ended.
    enum class Attempt { ended, broken, interrupted };

    void runTransfer();
    Attempt performAttempt();
    bool retryAfterBreak();
    bool waitForGate();
    bool waitFor(std::chrono::milliseconds delay);
    HttpRequest mediaRequest() const;
    bool acceptResponse(const HttpTransfer& transfer);
    bool continueFrom(const HttpTransfer& transfer);
    bool startOver();
    bool reserveSpace();
    void checkRoomForRecord(std::size_t plainBytes) const;
    void recordSealed(std::uint64_t sealedBytes);
    void saveResumeRecord(std::uint64_t records, bool paused, const std::string& reason);
    void keepForLater(const std::exception& error);
    void stopWith(Stop stop);
    void endInterrupted();
    void keep(bool paused, const std::string& reason);
    void failWith(const std::string& message);
    void invokeCompletion(const DownloadResult& result);

    const DownloadRequest request_;
    const std::string mediaURL_;
    const VaultManager& vault_;
    const Progress progress_;
    const Completion completion_;
    const Options options_;
    const Waiting waiting_;
    SerialQueue queue_;

    // Touched only on the queue (or in start() before the transfer is queued).
    std::unique_ptr<LessonWriter> writer_;  // owns the ".part" file from start() to the end
    std::optional<ResumeRecord> resumeFrom_;
    std::uint64_t downloaded_ = 0;  // plaintext in whole records, as the writer reports it
    std::uint64_t expected_ = 0;
    std::uint64_t reported_ = 0;  // the highest "downloading" count reported: progress never goes back
    std::string validator_;       // If-Range value from the answer that began the ".part"; "" = not resumable
    bool resuming_ = false;       // the running request asks for the rest of the lesson
    bool responseSeen_ = false;
    bool recordSaved_ = false;    // a resume record of this ".part" is on disk
    std::uint64_t recordsSinceSave_ = 0;
    std::string breakText_;       // the platform's text of the last break
    std::optional<std::string> keepReason_;  // a full disk or the end of the retries: keep what was written
    bool startOverNext_ = false;  // the resumed answer was of another lesson: ask for the whole one
    std::optional<std::string> terminalError_;
    int retries_ = 0;             // breaks since the last sealed record
    std::chrono::steady_clock::duration retriedFor_{};  // network time spent on them
    std::chrono::steady_clock::time_point attemptStarted_;
    bool finished_ = false;

    // Requests from other threads; the mutex and condition wake a wait at once.
    std::mutex controlMutex_;
    std::condition_variable controlChanged_;
    Stop stop_ = Stop::none;
    NetworkGate gate_ = NetworkGate::open;
    bool reconnect_ = false;
    std::atomic<bool> endTransfer_{false};  // read by the transfer's progress callback
};

}  // namespace velmora
