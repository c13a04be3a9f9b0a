#include "downloads/EncryptedDownload.h"

#include "core/VelmoraError.h"
#include "downloads/DiskSpace.h"
#include "vault/VaultManager.h"

#include "net/HttpTransfer.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <system_error>

namespace velmora {

namespace {

constexpr const char* kCancelled = "下载已取消";
constexpr const char* kResponseTooSmall = "课程媒体响应过小，无法作为视频保存";
constexpr const char* kSizeMismatch = "课程媒体大小校验失败，请重新下载";
constexpr const char* kHttpStatusPrefix = "课程媒体服务返回 HTTP ";
constexpr std::int64_t kMinimumAnnouncedLength = 1024;
constexpr std::size_t kReceiveBufferBytes = 512 * 1024;
constexpr int kLongestDoubling = 30;  // keeps the back-off's shift in range

constexpr const char* kAcceptedMediaTypes = "video/mp4,application/octet-stream;q=0.9,*/*;q=0.8";

// A strong ETag, else Last-Modified: the values "If-Range" may carry. A weak ETag never matches.
std::string validatorOf(const HttpTransfer& transfer) {
    std::string etag = transfer.responseHeader("ETag");
    if (!etag.empty() && etag.rfind("W/", 0) != 0) return etag;
    return transfer.responseHeader("Last-Modified");
}

// A disk that cannot take the lesson is an interruption: the learner can make room and resume.
bool isFullDisk(const std::exception& error) {
    if (dynamic_cast<const DiskFullError*>(&error) != nullptr) return true;
    const auto* system = dynamic_cast<const std::system_error*>(&error);
    return system != nullptr && (system->code().value() == ENOSPC || system->code().value() == EDQUOT) &&
           system->code().category() == std::system_category();
}

}  // namespace

const char* gatePhase(NetworkGate gate) { return gate == NetworkGate::metered ? "meteredNetwork" : "waitingForNetwork"; }

std::shared_ptr<EncryptedDownload> EncryptedDownload::make(DownloadRequest request, std::string mediaURL, const VaultManager& vault,
                                                           Progress progress, Completion completion, Options options,
                                                           Waiting waiting) {
    return std::make_shared<EncryptedDownload>(Private{}, std::move(request), std::move(mediaURL), vault, std::move(progress),
                                               std::move(completion), std::move(options), std::move(waiting));
}

EncryptedDownload::EncryptedDownload(Private, DownloadRequest request, std::string mediaURL, const VaultManager& vault,
                                     Progress progress, Completion completion, Options options, Waiting waiting)
    : request_(std::move(request)),
      mediaURL_(std::move(mediaURL)),
      vault_(vault),
      progress_(std::move(progress)),
      completion_(std::move(completion)),
      options_(std::move(options)),
      waiting_(std::move(waiting)),
      queue_("com.velmora.classroom.download." + request_.assetId) {}

EncryptedDownload::~EncryptedDownload() = default;

void EncryptedDownload::resumeFrom(ResumeRecord record) { resumeFrom_ = std::move(record); }

void EncryptedDownload::start() {
    LessonWriter::Hooks hooks{[this](std::size_t plainBytes) { checkRoomForRecord(plainBytes); },
                              [this](std::uint64_t sealedBytes) { recordSealed(sealedBytes); }};
    try {
        if (resumeFrom_) {
            try {
                writer_ = std::make_unique<LessonWriter>(vault_, request_, resumeFrom_->records, hooks);
                validator_ = resumeFrom_->validator;
                expected_ = resumeFrom_->length;
                downloaded_ = reported_ = writer_->sealedBytes();
                recordSaved_ = true;
            } catch (const std::exception&) {
                // The kept ".part" is gone or shorter than its record says: the lesson starts over.
            }
        }
        if (!writer_) writer_ = std::make_unique<LessonWriter>(vault_, request_, hooks);
    } catch (const std::exception& error) {
        invokeCompletion(DownloadResult::failure(errorDescription(error)));
        return;
    }
    queue_.async([self = shared_from_this()] { self->runTransfer(); });
}

void EncryptedDownload::cancel() { stopWith(Stop::cancel); }

void EncryptedDownload::pause() { stopWith(Stop::pause); }

void EncryptedDownload::stop() { stopWith(Stop::quit); }

void EncryptedDownload::stopWith(Stop stop) {
    {
        std::lock_guard lock(controlMutex_);
        if (stop_ != Stop::cancel) stop_ = stop;  // a cancel is never turned back into a pause
        endTransfer_ = true;
    }
    controlChanged_.notify_all();
}

void EncryptedDownload::setNetworkGate(NetworkGate gate) {
    {
        std::lock_guard lock(controlMutex_);
        gate_ = gate;
        if (gate != NetworkGate::open) endTransfer_ = true;
    }
    controlChanged_.notify_all();
}

void EncryptedDownload::reconnect() {
    {
        std::lock_guard lock(controlMutex_);
        reconnect_ = true;
        endTransfer_ = true;
    }
    controlChanged_.notify_all();
}

void EncryptedDownload::runTransfer() {
    for (;;) {
        if (!waitForGate()) break;
        writer_->rewindToLastRecord();  // a torn record is fetched again; the whole ones stay in the file
        // Without a validator the rest cannot be asked for: the lesson is fetched whole again.
        if (validator_.empty() && downloaded_ > 0 && !startOver()) break;
        Attempt attempt = performAttempt();
        if (attempt == Attempt::ended) return;
        if (attempt == Attempt::broken && !retryAfterBreak()) break;
    }
    endInterrupted();
}

// The transfer stopped short of the end: a cancel or an error fails, anything else keeps.
void EncryptedDownload::endInterrupted() {
    Stop stop;
    {
        std::lock_guard lock(controlMutex_);
        stop = stop_;
    }
    if (stop == Stop::cancel) terminalError_ = kCancelled;
    if (terminalError_) {
        failWith(*terminalError_);
        return;
    }
    keep(stop != Stop::quit, keepReason_.value_or(""));
}

// Waits while the gate is closed, telling what it waits for. False when asked to stop.
bool EncryptedDownload::waitForGate() {
    std::unique_lock lock(controlMutex_);
    while (stop_ == Stop::none && gate_ != NetworkGate::open) {
        NetworkGate shown = gate_;
        lock.unlock();
        if (waiting_) waiting_({gatePhase(shown), "", 0, downloaded_, expected_});
        lock.lock();
        controlChanged_.wait(lock, [&] { return stop_ != Stop::none || gate_ != shown; });
    }
    return stop_ == Stop::none;
}

// Waits up to `delay`, less when the gate closes, a reconnect is asked for or a stop. False when
// asked to stop.
bool EncryptedDownload::waitFor(std::chrono::milliseconds delay) {
    std::unique_lock lock(controlMutex_);
    controlChanged_.wait_for(lock, delay, [this] { return stop_ != Stop::none || gate_ != NetworkGate::open || reconnect_; });
    return stop_ == Stop::none;
}

// After a break: waits out the back-off, or ends the retries once they have had their window.
// The sealed records go wholly to the file first, so that a kill during the wait keeps them.
bool EncryptedDownload::retryAfterBreak() {
    try {
        writer_->writeOutRecords();
    } catch (const std::exception&) {
        // The disk's error comes back with the next record, or when the records are kept.
    }
    auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(controlMutex_);
        if (gate_ != NetworkGate::open) return true;  // a break for want of a network: waited for, not counted
    }
    retriedFor_ += now - attemptStarted_;
    if (retriedFor_ >= options_.retryWindow) {
        keepReason_ = breakText_;
        return false;
    }
    auto delay = std::min(options_.longestRetryDelay, options_.firstRetryDelay * (std::int64_t{1} << std::min(retries_, kLongestDoubling)));
    ++retries_;
    auto seconds = std::chrono::ceil<std::chrono::seconds>(delay).count();
    if (waiting_) waiting_({"retrying", breakText_, seconds, downloaded_, expected_});
    bool go = waitFor(delay);
    retriedFor_ += std::chrono::steady_clock::now() - now;
    return go;
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

EncryptedDownload::Attempt EncryptedDownload::performAttempt() {
    resuming_ = !validator_.empty();
    responseSeen_ = false;
    startOverNext_ = false;
    attemptStarted_ = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(controlMutex_);
        reconnect_ = false;
        endTransfer_ = stop_ != Stop::none || gate_ != NetworkGate::open;
    }
    std::unique_ptr<HttpTransfer> transfer;
    try {
        transfer = HttpTransfer::make(mediaRequest(), options_.trust, [this, &transfer](std::string_view body) {
            if (!responseSeen_ && !acceptResponse(*transfer)) return false;
            return didReceiveData(ByteView(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
        });
    } catch (const std::exception& error) {
        didComplete(errorDescription(error));
        return Attempt::ended;
    }
    transfer->setCancelFlag(&endTransfer_);
    HttpTransferResult result = transfer->perform();
    bool ownStop = terminalError_ || keepReason_;
    {
        std::lock_guard lock(controlMutex_);
        if (!result.succeeded() && (stop_ != Stop::none || (!ownStop && (endTransfer_ || startOverNext_)))) {
            return Attempt::interrupted;  // a stop ends the loop at the gate; anything else tries again
        }
    }
    // Without a validator a server that closes before the announced length is a short body: the
    // size check below reports it, as it would a body that ended early.
    bool shortOfAnnouncedLength = result.end == TransferEnd::cutShort && expected_ != 0;
    if (!result.succeeded() && !ownStop && result.resumable() && !(shortOfAnnouncedLength && validator_.empty())) {
        breakText_ = result.errorText;
        return Attempt::broken;
    }
    if (!result.succeeded() && !shortOfAnnouncedLength) {
        didComplete(result.errorText);
        return Attempt::ended;
    }
    if (!responseSeen_) acceptResponse(*transfer);  // no body at all
    didComplete(std::nullopt);
    return Attempt::ended;
}

bool EncryptedDownload::acceptResponse(const HttpTransfer& transfer) {
    long status = transfer.responseStatus();
    if (resuming_ && status == 206) {
        responseSeen_ = true;
        return continueFrom(transfer) && reserveSpace();
    }
    if (resuming_ && status >= 200 && status <= 299 && !startOver()) return false;
    if (!didReceiveResponse(status, transfer.contentLength())) return false;
    validator_ = validatorOf(transfer);
    try {
        saveResumeRecord(0, false, "");
    } catch (const std::exception&) {
        // Written again with the next records; until then a kill leaves nothing to resume.
    }
    return reserveSpace();
}

// The rest must be of the same lesson (validator), begin right after the records kept and run to
// the end of the same length; any other answer starts the lesson over with a whole new request.
bool EncryptedDownload::continueFrom(const HttpTransfer& transfer) {
    const std::string contentRange = transfer.responseHeader("Content-Range");
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t total = 0;
    int end = 0;
    bool parsed = std::sscanf(contentRange.c_str(), "bytes %" SCNu64 "-%" SCNu64 "/%" SCNu64 "%n", &first, &last, &total, &end) == 3 &&
                  static_cast<std::size_t>(end) == contentRange.size();
    std::string validator = validatorOf(transfer);
    bool sameLesson = validator.empty() || validator == validator_;
    if (parsed && sameLesson && first == downloaded_ && last + 1 == total && (expected_ == 0 || total == expected_)) return true;
    if (!startOver()) return false;
    validator_.clear();
    startOverNext_ = true;
    return false;
}

// Empties the ".part" back to its header for a whole new answer. Its resume record goes first, so
// it never describes bytes of another version.
bool EncryptedDownload::startOver() {
    try {
        removeFile(vault_.resumeURL(request_.assetId));
        recordSaved_ = false;
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
        keepForLater(error);
        return false;
    }
    return true;
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
    if (terminalError_ || keepReason_ || endTransfer_) return false;
    try {
        writer_->append(bytes);
    } catch (const std::exception& error) {
        keepForLater(error);
        return false;
    }
    return true;
}

// A full disk keeps the records written; any other error of the writer fails the download.
void EncryptedDownload::keepForLater(const std::exception& error) {
    if (isFullDisk(error)) {
        keepReason_ = errorDescription(error);
    } else {
        terminalError_ = errorDescription(error);
    }
}

// With an unknown length, room is checked for each record before it is sealed.
void EncryptedDownload::checkRoomForRecord(std::size_t plainBytes) const {
    if (expected_ == 0) DiskSpace::require(vault_.rootURL(), plainBytes + VaultManager::recordOverhead);
}

void EncryptedDownload::recordSealed(std::uint64_t sealedBytes) {
    downloaded_ = sealedBytes;
    if (downloaded_ > reported_) {  // progress ends a series of breaks; bytes sealed again do not
        retries_ = 0;
        retriedFor_ = {};
    }
    if (++recordsSinceSave_ >= kRecordsPerResumeUpdate) {
        try {
            saveResumeRecord(writer_->recordsOnDisk(), false, "");
        } catch (const std::exception&) {
            // The earlier record still holds; the next update tries again.
        }
    }
    if (downloaded_ <= reported_) return;  // bytes sealed again after starting over
    reported_ = downloaded_;
    progress_(downloaded_, expected_, "downloading");
}

void EncryptedDownload::saveResumeRecord(std::uint64_t records, bool paused, const std::string& reason) {
    ResumeRecord record = ResumeRecord::of(request_, validator_, expected_);
    record.records = records;
    record.paused = paused;
    record.reason = reason;
    recordsSinceSave_ = 0;
    vault_.saveResumeRecord(record);
    recordSaved_ = true;
}

void EncryptedDownload::didComplete(std::optional<std::string> transportError) {
    if (finished_) return;
    {
        std::lock_guard lock(controlMutex_);
        if (stop_ == Stop::cancel) terminalError_ = kCancelled;
    }
    if (!terminalError_ && keepReason_) {
        keep(true, *keepReason_);
        return;
    }
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

// Ends with the whole records and a resume record on disk. When not even one resume record can be
// written, nothing could be resumed: the download fails instead.
void EncryptedDownload::keep(bool paused, const std::string& reason) {
    try {
        std::uint64_t records = writer_->keepWholeRecords();
        downloaded_ = records * VaultManager::chunkSize;
        try {
            saveResumeRecord(records, paused, reason);
        } catch (const std::exception&) {
            if (!recordSaved_) throw;  // the earlier record counts no more records than are kept
        }
    } catch (const std::exception& error) {
        writer_.reset();
        vault_.cleanPartial(request_.assetId);
        invokeCompletion(DownloadResult::failure(errorDescription(error)));
        return;
    }
    writer_.reset();
    invokeCompletion(DownloadResult::keptAt(downloaded_, reason));
}

void EncryptedDownload::failWith(const std::string& message) {
    writer_.reset();  // drops queued records and removes the ".part" and its resume record
    invokeCompletion(DownloadResult::failure(message));
}

void EncryptedDownload::invokeCompletion(const DownloadResult& result) {
    if (finished_) return;
    finished_ = true;
    completion_(result);
}

}  // namespace velmora
