#include "downloads/EncryptedDownload.h"

#include "core/VelmoraError.h"
#include "downloads/DiskSpace.h"
#include "vault/VaultManager.h"

#include "net/HttpTransfer.h"

#include <cinttypes>
#include <cstdio>

namespace velmora {

namespace {

constexpr const char* kCancelled = "下载已取消";
constexpr const char* kResponseTooSmall = "课程媒体响应过小，无法作为视频保存";
constexpr const char* kSizeMismatch = "课程媒体大小校验失败，请重新下载";
constexpr const char* kHttpStatusPrefix = "课程媒体服务返回 HTTP ";
constexpr std::int64_t kMinimumAnnouncedLength = 1024;
constexpr std::size_t kReceiveBufferBytes = 512 * 1024;

constexpr const char* kAcceptedMediaTypes = "video/mp4,application/octet-stream;q=0.9,*/*;q=0.8";

// A strong ETag, else Last-Modified: the values "If-Range" may carry. A weak ETag never matches.
std::string validatorOf(const HttpTransfer& transfer) {
    std::string etag = transfer.responseHeader("ETag");
    if (!etag.empty() && etag.rfind("W/", 0) != 0) return etag;
    return transfer.responseHeader("Last-Modified");
}

}  // namespace

std::shared_ptr<EncryptedDownload> EncryptedDownload::make(DownloadRequest request, std::string mediaURL, const VaultManager& vault,
                                                           Progress progress, Completion completion, Options options) {
    return std::make_shared<EncryptedDownload>(Private{}, std::move(request), std::move(mediaURL), vault, std::move(progress),
                                               std::move(completion), std::move(options));
}

EncryptedDownload::EncryptedDownload(Private, DownloadRequest request, std::string mediaURL, const VaultManager& vault,
                                     Progress progress, Completion completion, Options options)
    : request_(std::move(request)),
      mediaURL_(std::move(mediaURL)),
      vault_(vault),
      progress_(std::move(progress)),
      completion_(std::move(completion)),
      options_(std::move(options)),
      queue_("com.velmora.classroom.download." + request_.assetId) {}

EncryptedDownload::~EncryptedDownload() = default;

void EncryptedDownload::start() {
    try {
        writer_ = std::make_unique<LessonWriter>(
            vault_, request_,
            LessonWriter::Hooks{[this](std::size_t plainBytes) { checkRoomForRecord(plainBytes); },
                                [this](std::uint64_t sealedBytes) { recordSealed(sealedBytes); }});
    } catch (const std::exception& error) {
        invokeCompletion(DownloadResult::failure(errorDescription(error)));
        return;
    }
    queue_.async([self = shared_from_this()] { self->runTransfer(); });
}

void EncryptedDownload::cancel() {
    {
        std::lock_guard lock(cancelMutex_);
        cancelRequested_ = true;
    }
    cancelled_.notify_all();
}

void EncryptedDownload::runTransfer() {
    for (int resumes = 0;; ++resumes) {
        std::optional<std::string> broken = performAttempt();
        if (!broken) return;
        if (resumes == kMaximumResumes || !waitBeforeResume(kResumeDelays[resumes])) {
            didComplete(std::move(broken));
            return;
        }
        writer_->rewindToLastRecord();  // a torn record is fetched again; the whole ones stay in the file
    }
}

HttpRequest EncryptedDownload::mediaRequest() const {
    HttpRequest request;
    request.url = mediaURL_;
    request.headers = {{"Accept", kAcceptedMediaTypes}, {"Accept-Encoding", "identity"}};
    if (!validator_.empty()) {
        request.headers.push_back({"Range", "bytes=" + std::to_string(downloaded_) + "-"});
        request.headers.push_back({"If-Range", validator_});
    }
    request.timeout = options_.requestTimeout;
    request.totalTimeout = options_.resourceTimeout;
    request.receiveBufferBytes = kReceiveBufferBytes;
    return request;
}

std::optional<std::string> EncryptedDownload::performAttempt() {
    resuming_ = !validator_.empty();
    responseSeen_ = false;
    std::unique_ptr<HttpTransfer> transfer;
    try {
        transfer = HttpTransfer::make(mediaRequest(), options_.trust, [this, &transfer](std::string_view body) {
            if (!responseSeen_ && !acceptResponse(*transfer)) return false;
            return didReceiveData(ByteView(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
        });
    } catch (const std::exception& error) {
        didComplete(errorDescription(error));
        return std::nullopt;
    }
    transfer->setCancelFlag(&cancelRequested_);
    HttpTransferResult result = transfer->perform();
    bool ownStop = terminalError_ || cancelRequested_;
    if (!result.succeeded() && !ownStop && !validator_.empty() && result.resumable()) return result.errorText;
    // Without a validator a server that closes before the announced length is a short body: the
    // size check below reports it, as it would a body that ended early.
    bool shortOfAnnouncedLength = result.end == TransferEnd::cutShort && expected_ != 0;
    if (!result.succeeded() && !shortOfAnnouncedLength) {
        didComplete(result.errorText);
        return std::nullopt;
    }
    if (!responseSeen_) acceptResponse(*transfer);  // no body at all
    didComplete(std::nullopt);
    return std::nullopt;
}

bool EncryptedDownload::acceptResponse(const HttpTransfer& transfer) {
    long status = transfer.responseStatus();
    if (resuming_ && status == 206) {
        responseSeen_ = true;
        return continueFrom(transfer.responseHeader("Content-Range")) && reserveSpace();
    }
    if (resuming_ && status >= 200 && status <= 299 && !startOver()) return false;
    if (!didReceiveResponse(status, transfer.contentLength())) return false;
    validator_ = validatorOf(transfer);
    return reserveSpace();
}

// The rest must begin right after the records kept and run to the end of the same length.
bool EncryptedDownload::continueFrom(const std::string& contentRange) {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t total = 0;
    int end = 0;
    bool parsed = std::sscanf(contentRange.c_str(), "bytes %" SCNu64 "-%" SCNu64 "/%" SCNu64 "%n", &first, &last, &total, &end) == 3 &&
                  static_cast<std::size_t>(end) == contentRange.size();
    if (parsed && first == downloaded_ && last + 1 == total && (expected_ == 0 || total == expected_)) return true;
    terminalError_ = kSizeMismatch;
    return false;
}

// Empties the ".part" back to its header for a whole new answer.
bool EncryptedDownload::startOver() {
    try {
        writer_->restart();
    } catch (const std::exception& error) {
        terminalError_ = errorDescription(error);
        return false;
    }
    downloaded_ = 0;
    expected_ = 0;
    return true;
}

// With a known length, room for the rest of the lesson is checked once per answer.
bool EncryptedDownload::reserveSpace() {
    if (expected_ == 0 || expected_ <= downloaded_) return true;
    std::uint64_t rest = expected_ - downloaded_;
    std::uint64_t records = (rest + VaultManager::chunkSize - 1) / VaultManager::chunkSize;
    try {
        DiskSpace::require(vault_.rootURL(), rest + records * VaultManager::recordOverhead);
    } catch (const std::exception& error) {
        terminalError_ = errorDescription(error);
        return false;
    }
    return true;
}

bool EncryptedDownload::waitBeforeResume(std::chrono::seconds delay) {
    std::unique_lock lock(cancelMutex_);
    return !cancelled_.wait_for(lock, delay, [this] { return cancelRequested_.load(); });
}

bool EncryptedDownload::didReceiveResponse(long statusCode, std::int64_t expectedContentLength) {
    responseSeen_ = true;
    if (statusCode < 200 || statusCode > 299) {
        terminalError_ = kHttpStatusPrefix + std::to_string(statusCode);
        return false;
    }
    if (expectedContentLength < 1) return true;
    expected_ = static_cast<std::uint64_t>(expectedContentLength);
    if (expectedContentLength >= kMinimumAnnouncedLength) return true;
    terminalError_ = kResponseTooSmall;
    return false;
}

bool EncryptedDownload::didReceiveData(ByteView bytes) {
    if (cancelRequested_) terminalError_ = kCancelled;
    if (terminalError_) return false;
    try {
        writer_->append(bytes);
    } catch (const std::exception& error) {
        terminalError_ = errorDescription(error);
        return false;
    }
    return true;
}

// With an unknown length, room is checked for each record before it is sealed.
void EncryptedDownload::checkRoomForRecord(std::size_t plainBytes) const {
    if (expected_ == 0) DiskSpace::require(vault_.rootURL(), plainBytes + VaultManager::recordOverhead);
}

void EncryptedDownload::recordSealed(std::uint64_t sealedBytes) {
    downloaded_ = sealedBytes;
    if (downloaded_ <= reported_) return;  // bytes sealed again after starting over
    reported_ = downloaded_;
    progress_(downloaded_, expected_, "downloading");
}

void EncryptedDownload::didComplete(std::optional<std::string> transportError) {
    if (finished_) return;
    if (cancelRequested_) terminalError_ = kCancelled;
    if (!terminalError_ && transportError) terminalError_ = std::move(transportError);
    if (terminalError_) {
        failWith(*terminalError_);
        return;
    }
    try {
        writer_->sealTail();
        if (expected_ != 0 && expected_ != downloaded_) throw VelmoraError(kSizeMismatch);
        writer_->commit();
        writer_.reset();
    } catch (const std::exception& error) {
        failWith(errorDescription(error));
        return;
    }
    progress_(downloaded_, downloaded_, "completed");
    invokeCompletion(DownloadResult::success(downloaded_));
}

void EncryptedDownload::failWith(const std::string& message) {
    writer_.reset();  // drops queued records and removes the ".part"
    invokeCompletion(DownloadResult::failure(message));
}

void EncryptedDownload::invokeCompletion(const DownloadResult& result) {
    if (finished_) return;
    finished_ = true;
    completion_(result);
}

}  // namespace velmora
