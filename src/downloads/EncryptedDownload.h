#pragma once

#include "core/Crypto.h"
#include "core/SerialQueue.h"
#include "net/HttpRequest.h"
#include "net/TlsTrust.h"
#include "vault/DownloadRequest.h"
#include "vault/LessonWriter.h"

#include <array>
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

// How one download ended: the committed plaintext size, or the message to show the learner.
struct DownloadResult {
    bool succeeded = false;
    std::uint64_t plainSize = 0;
    std::string message;

    static DownloadResult success(std::uint64_t size) { return {true, size, {}}; }
    static DownloadResult failure(std::string text) { return {false, 0, std::move(text)}; }
};

// Fetches one lesson's media over HTTPS into a LessonWriter, which seals it into the vault record
// by record, so no plaintext ever reaches the disk, and commits it.
//
// The transfer runs on the download's own serial queue: curl's callbacks there are the response,
// body and completion steps below, one at a time and in order. The writer's bounded record queue
// lets a slow disk hold back the network through TCP flow control. Memory stays at one chunk being
// filled plus a few sealed records, whatever the lesson's size.
//
// A transfer that breaks (dropped, reset, idle) is resumed up to kMaximumResumes times, after
// kResumeDelays: the whole records already written stay, and the rest is asked for with "Range"
// and "If-Range" (the first answer's strong ETag, else its Last-Modified). An answer without such
// a validator cannot be resumed safely, so its failure stands. A 200 to a resume means the lesson
// changed (or ranges are not served): the ".part" starts over, so two versions never mix. HTTP
// errors, the size check and disk errors are final. Before records are written the vault's file
// system must hold the rest of the lesson plus DiskSpace::kMarginBytes (per record when the
// length is unknown).
class EncryptedDownload : public std::enable_shared_from_this<EncryptedDownload> {
public:
    // Called on the download's queue after every sealed chunk ("downloading", total = announced
    // length or 0; after starting over, only once the count passes the highest one reported) and
    // once after the commit ("completed", total = downloaded).
    using Progress = std::function<void(std::uint64_t downloaded, std::uint64_t total, const std::string& phase)>;
    // Called exactly once: on the queue, or on the calling thread when start() itself fails.
    using Completion = std::function<void(const DownloadResult& result)>;

    struct Options {
        TlsTrust trust;                                      // the system store unless the endpoints add a CA
        std::chrono::milliseconds requestTimeout{std::chrono::seconds(60)};  // connect, and longest silence
        std::chrono::seconds resourceTimeout{24 * 60 * 60};  // whole transfer
    };


    static constexpr int kMaximumResumes = 3;
    static constexpr std::array<std::chrono::seconds, kMaximumResumes> kResumeDelays = {
        std::chrono::seconds(1), std::chrono::seconds(2), std::chrono::seconds(4)};

    static std::shared_ptr<EncryptedDownload> make(DownloadRequest request, std::string mediaURL, const VaultManager& vault,
                                                   Progress progress, Completion completion, Options options);
    ~EncryptedDownload();

    // Prepares the ".part" file with its header and starts the transfer on the queue. Main thread, once.
    void start();

    // Fails the download with "下载已取消". Any thread; takes effect on the queue within about a
    // second (curl's progress callback), or at once during a wait before a resume, ending in one
    // completion.
    void cancel();

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
                      Completion completion, Options options);

private:
    void runTransfer();
    // One request for the lesson (or its rest). Returns the error text of a break that may be
    // resumed; nullopt once the download has ended one way or the other.
    std::optional<std::string> performAttempt();
    HttpRequest mediaRequest() const;
    bool acceptResponse(const HttpTransfer& transfer);
    bool continueFrom(const std::string& contentRange);
    bool startOver();
    bool reserveSpace();
    bool waitBeforeResume(std::chrono::seconds delay);
    void checkRoomForRecord(std::size_t plainBytes) const;
    void recordSealed(std::uint64_t sealedBytes);
    void failWith(const std::string& message);
    void invokeCompletion(const DownloadResult& result);

    const DownloadRequest request_;
    const std::string mediaURL_;
    const VaultManager& vault_;
    const Progress progress_;
    const Completion completion_;
    const Options options_;
    SerialQueue queue_;

    // Touched only on the queue (or in start() before the transfer is queued).
    std::unique_ptr<LessonWriter> writer_;  // owns the ".part" file from start() to the end
    std::uint64_t downloaded_ = 0;  // plaintext in whole records, as the writer reports it
    std::uint64_t expected_ = 0;
    std::uint64_t reported_ = 0;  // the highest "downloading" count reported: progress never goes back
    std::string validator_;       // If-Range value from the answer that began the ".part"; "" = not resumable
    bool resuming_ = false;       // the running request asks for the rest of the lesson
    bool responseSeen_ = false;
    std::optional<std::string> terminalError_;
    bool finished_ = false;

    std::atomic<bool> cancelRequested_{false};
    std::mutex cancelMutex_;  // with cancelled_, wakes a wait before a resume
    std::condition_variable cancelled_;
};

}  // namespace velmora
