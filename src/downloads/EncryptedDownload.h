#pragma once

#include "core/Crypto.h"
#include "core/Files.h"
#include "core/SerialQueue.h"
#include "downloads/RecordWriter.h"
#include "net/TlsTrust.h"
#include "vault/DownloadRequest.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace velmora {

class VaultManager;

// How one download ended: the committed plaintext size, or the message to show the learner.
struct DownloadResult {
    bool succeeded = false;
    std::uint64_t plainSize = 0;
    std::string message;

    static DownloadResult success(std::uint64_t size) { return {true, size, {}}; }
    static DownloadResult failure(std::string text) { return {false, 0, std::move(text)}; }
};

// Fetches one lesson's media over HTTPS and seals it into the vault record by record, so no
// plaintext ever reaches the disk, then commits it with the vault's finalize().
//
// The transfer runs on the download's own serial queue: curl's callbacks there are the response,
// body and completion steps below, one at a time and in order. Sealed records go to a RecordWriter
// thread so the disk and the network work at the same time; its bounded queue lets a slow disk
// hold back the network through TCP flow control. Memory stays at one chunk being filled plus a
// few sealed records, whatever the lesson's size.
class EncryptedDownload : public std::enable_shared_from_this<EncryptedDownload> {
public:
    // Called on the download's queue after every sealed chunk ("downloading", total = announced
    // length or 0) and once after the commit ("completed", total = downloaded).
    using Progress = std::function<void(std::uint64_t downloaded, std::uint64_t total, const std::string& phase)>;
    // Called exactly once: on the queue, or on the calling thread when start() itself fails.
    using Completion = std::function<void(const DownloadResult& result)>;

    struct Options {
        TlsTrust trust;                                      // the system store unless the endpoints add a CA
        std::chrono::milliseconds requestTimeout{std::chrono::seconds(60)};  // connect, and longest silence
        std::chrono::seconds resourceTimeout{24 * 60 * 60};  // whole transfer
    };


    static std::shared_ptr<EncryptedDownload> make(DownloadRequest request, std::string mediaURL, const VaultManager& vault,
                                                   Progress progress, Completion completion, Options options);
    ~EncryptedDownload();

    // Prepares the ".part" file with its header and starts the transfer on the queue. Main thread, once.
    void start();

    // Fails the download with "下载已取消". Any thread; takes effect on the queue within about a
    // second (curl's progress callback), ending in one completion.
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
    void writeChunk(ByteView plain);
    void finishWithSuccess();
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
    std::unique_ptr<RecordWriter> writer_;  // owns the open ".part" file from start() to the end
    Bytes pending_;
    std::uint64_t downloaded_ = 0;
    std::uint64_t expected_ = 0;
    bool responseSeen_ = false;
    std::optional<std::string> terminalError_;
    bool finished_ = false;

    std::atomic<bool> cancelRequested_{false};
};

}  // namespace velmora
