#include "net/HttpSession.h"

#include <fcntl.h>

#include <algorithm>
#include <map>

#include "core/Crypto.h"
#include "core/Files.h"
#include "net/CurlTransfer.h"

namespace velmora {

namespace {

constexpr int kIdlePollMilliseconds = 1000;
// Like the platform sessions' default; further requests to the host wait for a free connection
// (or share one as HTTP/2 streams).
constexpr long kMaximumConnectionsPerHost = 6;
constexpr std::size_t kTemporaryNameRandomBytes = 8;
// Without an announced length, room on disk is asked for this much at a time.
constexpr std::uint64_t kSpaceCheckStepBytes = 1'048'576;

}  // namespace

// One request on the shared loop. start() and finish() run on the loop thread; a task that cannot
// start has already reported its failure when start() returns nullptr.
class HttpSession::Task {
public:
    virtual ~Task() = default;
    virtual CurlTransfer* start() = 0;
    virtual void finish(CURLcode code) = 0;
};

struct HttpSession::Multi {
    CurlMulti handle = makeCurlMulti();
    std::map<CURL*, std::unique_ptr<Task>> running;
};

namespace {

class DataTask final : public HttpSession::Task {
public:
    DataTask(HttpRequest request, const TlsTrust& trust, std::shared_ptr<MainQueue> mainQueue, HttpSession::DataCompletion done)
        : request_(std::move(request)), trust_(trust), mainQueue_(std::move(mainQueue)), done_(std::move(done)) {}

    CurlTransfer* start() override {
        try {
            limit_ = request_.maxResponseBytes;
            transfer_ = std::make_unique<CurlTransfer>(std::move(request_), trust_,
                                                       [this](std::string_view bytes) { return append(bytes); });
            return transfer_.get();
        } catch (...) {
            deliver({std::current_exception(), {}});
            return nullptr;
        }
    }

    void finish(CURLcode code) override {
        HttpDataResult result;
        if (tooLarge_) {
            result.error = std::make_exception_ptr(HttpResponseTooLargeError(transfer_->responseStatus()));
        } else if (code != CURLE_OK) {
            result.error = transfer_->transportError(code);
        } else {
            result.response = {transfer_->responseStatus(), std::move(body_)};
        }
        deliver(std::move(result));
    }

private:
    // Checked before the bytes are kept, so the buffer never holds more than the limit.
    bool append(std::string_view bytes) {
        if (limit_ && bytes.size() > *limit_ - body_.size()) {
            tooLarge_ = true;
            return false;
        }
        if (body_.empty()) reserveDeclaredLength();
        body_.append(bytes);
        return true;
    }

    // One allocation for a body of announced length instead of repeated doubling (which briefly
    // holds the old and the new buffer); never more than the limit.
    void reserveDeclaredLength() {
        std::int64_t declared = transfer_->contentLength();
        if (declared <= 0) return;
        auto length = static_cast<std::size_t>(declared);
        body_.reserve(limit_ ? std::min(length, *limit_) : length);
    }

    void deliver(HttpDataResult result) {
        mainQueue_->post([done = std::move(done_), result = std::move(result)]() mutable { done(std::move(result)); });
    }

    HttpRequest request_;
    const TlsTrust& trust_;
    std::shared_ptr<MainQueue> mainQueue_;
    HttpSession::DataCompletion done_;
    std::unique_ptr<CurlTransfer> transfer_;
    std::optional<std::size_t> limit_;
    std::string body_;
    bool tooLarge_ = false;
};

class DownloadTask final : public HttpSession::Task {
public:
    DownloadTask(HttpRequest request, const TlsTrust& trust, std::filesystem::path folder, HttpSession::DownloadCompletion done,
                 HttpSession::SpaceCheck checkSpace)
        : request_(std::move(request)),
          trust_(trust),
          folder_(std::move(folder)),
          done_(std::move(done)),
          checkSpace_(std::move(checkSpace)) {}

    // Whatever `done` left behind is not ours to keep.
    ~DownloadTask() override {
        if (!path_.empty()) removeFile(path_);
    }

    CurlTransfer* start() override {
        try {
            limit_ = request_.maxResponseBytes;
            path_ = folder_ / (".velmora-" + hexLower(randomBytes(kTemporaryNameRandomBytes)) + ".download");
            file_ = openFile(path_, O_WRONLY | O_CREAT | O_EXCL, 0600);
            transfer_ = std::make_unique<CurlTransfer>(std::move(request_), trust_,
                                                       [this](std::string_view bytes) { return write(bytes); });
            return transfer_.get();
        } catch (...) {
            report({std::current_exception(), 0, std::nullopt});
            return nullptr;
        }
    }

    void finish(CURLcode code) override {
        HttpDownloadResult result;
        closeFile();
        result.status = transfer_->responseStatus();
        if (writeError_) {
            result.error = writeError_;
        } else if (code != CURLE_OK) {
            result.error = transfer_->transportError(code);
        } else {
            result.temporaryFile = path_;
        }
        report(std::move(result));
    }

private:
    bool write(std::string_view bytes) {
        try {
            admit(bytes.size());
            writeAll(file_.get(), bytesOf(bytes), path_);
            written_ += bytes.size();
            return true;
        } catch (...) {
            writeError_ = std::current_exception();
            return false;
        }
    }

    // Throws unless `count` more bytes keep within the request's limit and have room on disk. An
    // announced length is judged whole before the first byte.
    void admit(std::uint64_t count) {
        if (!judgedAnnouncement_) {
            judgedAnnouncement_ = true;
            std::int64_t announced = transfer_->contentLength();
            if (announced > 0) {
                refuseBeyondLimit(static_cast<std::uint64_t>(announced));
                reserve(static_cast<std::uint64_t>(announced));
            }
        }
        refuseBeyondLimit(written_ + count);
        if (written_ + count > reserved_) reserve(std::max(kSpaceCheckStepBytes, written_ + count - reserved_));
    }

    void refuseBeyondLimit(std::uint64_t total) const {
        if (limit_ && total > *limit_) throw HttpResponseTooLargeError(transfer_->responseStatus());
    }

    void reserve(std::uint64_t bytes) {
        if (checkSpace_) checkSpace_(bytes);
        reserved_ += bytes;
    }

    void closeFile() {
        try {
            if (file_) file_.close();
        } catch (...) {
            if (!writeError_) writeError_ = std::current_exception();
        }
    }

    // The completion runs here, on the loop thread; nothing it throws may reach libcurl.
    void report(HttpDownloadResult result) {
        try {
            done_(std::move(result));
        } catch (...) {
        }
    }

    HttpRequest request_;
    const TlsTrust& trust_;
    std::filesystem::path folder_;
    HttpSession::DownloadCompletion done_;
    HttpSession::SpaceCheck checkSpace_;
    std::optional<std::size_t> limit_;
    std::uint64_t written_ = 0;
    std::uint64_t reserved_ = 0;  // bytes the space check has admitted so far
    bool judgedAnnouncement_ = false;
    std::filesystem::path path_;
    FileDescriptor file_;
    std::unique_ptr<CurlTransfer> transfer_;
    std::exception_ptr writeError_;
};

}  // namespace

HttpSession::HttpSession(const Endpoints& endpoints, std::shared_ptr<MainQueue> mainQueue)
    : trust_(TlsTrust::fromEndpoints(endpoints)), mainQueue_(std::move(mainQueue)), multi_(std::make_unique<Multi>()) {
    checkCurl(curl_multi_setopt(multi_->handle.get(), CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX));
    checkCurl(curl_multi_setopt(multi_->handle.get(), CURLMOPT_MAX_HOST_CONNECTIONS, kMaximumConnectionsPerHost));
    loop_ = std::thread([this] { run(); });
}

HttpSession::~HttpSession() {
    stopping_ = true;
    curl_multi_wakeup(multi_->handle.get());
    loop_.join();
}

void HttpSession::dataTask(HttpRequest request, DataCompletion done) {
    enqueue(std::make_unique<DataTask>(std::move(request), trust_, mainQueue_, std::move(done)));
}

void HttpSession::downloadTask(HttpRequest request, std::filesystem::path temporaryFolder, DownloadCompletion done,
                               SpaceCheck checkSpace) {
    enqueue(std::make_unique<DownloadTask>(std::move(request), trust_, std::move(temporaryFolder), std::move(done),
                                           std::move(checkSpace)));
}

void HttpSession::enqueue(std::unique_ptr<Task> task) {
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(task));
    }
    curl_multi_wakeup(multi_->handle.get());
}

void HttpSession::run() {
    while (!stopping_) {
        adoptPending();
        int stillRunning = 0;
        curl_multi_perform(multi_->handle.get(), &stillRunning);
        finishDone();
        curl_multi_poll(multi_->handle.get(), nullptr, 0, kIdlePollMilliseconds, nullptr);
    }
    abandonAll();
}

void HttpSession::adoptPending() {
    std::vector<std::unique_ptr<Task>> adopted;
    {
        std::lock_guard lock(mutex_);
        adopted.swap(pending_);
    }
    for (std::unique_ptr<Task>& task : adopted) {
        CurlTransfer* transfer = task->start();
        if (transfer == nullptr) continue;
        if (curl_multi_add_handle(multi_->handle.get(), transfer->easy()) != CURLM_OK) {
            task->finish(CURLE_FAILED_INIT);
            continue;
        }
        multi_->running.emplace(transfer->easy(), std::move(task));
    }
}

void HttpSession::finishDone() {
    int remaining = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_->handle.get(), &remaining)) {
        if (message->msg != CURLMSG_DONE) continue;
        CURL* easy = message->easy_handle;
        CURLcode code = message->data.result;
        curl_multi_remove_handle(multi_->handle.get(), easy);
        auto found = multi_->running.find(easy);
        if (found == multi_->running.end()) continue;
        std::unique_ptr<Task> task = std::move(found->second);
        multi_->running.erase(found);
        task->finish(code);
    }
}

void HttpSession::abandonAll() {
    for (auto& [easy, task] : multi_->running) curl_multi_remove_handle(multi_->handle.get(), easy);
    multi_->running.clear();
}

}  // namespace velmora
