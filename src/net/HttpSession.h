#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "core/Endpoints.h"
#include "core/MainQueue.h"
#include "net/HttpRequest.h"
#include "net/TlsTrust.h"

namespace velmora {

struct HttpDataResult {
    std::exception_ptr error;  // set when no usable response arrived
    HttpResponse response;     // meaningful when error is null
};

struct HttpDownloadResult {
    std::exception_ptr error;                            // transport or file failure
    long status = 0;                                     // final HTTP status, 0 when none arrived
    std::optional<std::filesystem::path> temporaryFile;  // the downloaded body, when no error
};

// The application's shared HTTPS session: one libcurl multi loop on its own thread, so
// connections (and HTTP/2 streams) are reused across requests. Every request follows the rules
// of CurlTransfer. Tasks may be started from any thread.
class HttpSession {
public:
    using DataCompletion = std::function<void(HttpDataResult)>;
    using DownloadCompletion = std::function<void(HttpDownloadResult)>;
    // Asked on the session's thread before a download task writes more: `bytes` more are about to
    // go into the temporary folder. Throws to refuse them; the task then ends with that error.
    using SpaceCheck = std::function<void(std::uint64_t bytes)>;

    // Trust comes from `endpoints` (system store plus its CA file). Throws std::system_error when
    // the CA file cannot be read. Completions of data tasks are posted to `mainQueue`.
    HttpSession(const Endpoints& endpoints, std::shared_ptr<MainQueue> mainQueue);
    // Stops the loop. Tasks still running end without calling their completions.
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    // Loads the request's answer into memory; `done` runs once, on the main queue. A body that
    // grows past request.maxResponseBytes stops the transfer with HttpResponseTooLargeError.
    void dataTask(HttpRequest request, DataCompletion done);

    // Streams the answer into a new file in `temporaryFolder` (mode 0600). `done` runs once on the
    // session's own thread, so it must be brief and must not block on the main thread; the
    // temporary file is removed after `done` returns unless `done` moved it away. A body that
    // grows, or is announced to grow, past request.maxResponseBytes ends the task with
    // HttpResponseTooLargeError before those bytes are written. `checkSpace`, when given, is asked
    // once for an announced length before the first byte is written, and otherwise before each
    // further MiB.
    void downloadTask(HttpRequest request, std::filesystem::path temporaryFolder, DownloadCompletion done,
                      SpaceCheck checkSpace = {});

    const TlsTrust& tlsTrust() const { return trust_; }

    class Task;

private:
    void enqueue(std::unique_ptr<Task> task);
    void run();
    void adoptPending();
    void finishDone();
    void abandonAll();

    struct Multi;  // the libcurl multi handle and the tasks running on it (loop thread only)

    TlsTrust trust_;
    std::shared_ptr<MainQueue> mainQueue_;
    std::unique_ptr<Multi> multi_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Task>> pending_;  // guarded by mutex_
    std::atomic<bool> stopping_ = false;
    std::thread loop_;
};

}  // namespace velmora
