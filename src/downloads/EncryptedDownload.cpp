#include "downloads/EncryptedDownload.h"

#include "core/VelmoraError.h"
#include "vault/VaultManager.h"

#include "net/CurlTransfer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace velmora {

namespace {

constexpr const char* kCancelled = "下载已取消";
constexpr const char* kResponseTooSmall = "课程媒体响应过小，无法作为视频保存";
constexpr const char* kSizeMismatch = "课程媒体大小校验失败，请重新下载";
constexpr const char* kHttpStatusPrefix = "课程媒体服务返回 HTTP ";
constexpr std::int64_t kMinimumAnnouncedLength = 1024;
constexpr long kReceiveBufferBytes = 512 * 1024;

constexpr const char* kAcceptedMediaTypes = "video/mp4,application/octet-stream;q=0.9,*/*;q=0.8";

std::int64_t announcedLength(const CurlTransfer& transfer) {
    curl_off_t length = -1;
    curl_easy_getinfo(transfer.easy(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    return length;
}

std::string transportErrorText(const CurlTransfer& transfer, CURLcode code) {
    try {
        std::rethrow_exception(transfer.transportError(code));
    } catch (const std::exception& error) {
        return error.what();
    }
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
      queue_("com.velmora.classroom.download." + request_.assetId) {
    pending_.reserve(VaultManager::kChunkSizeBytes);
}

EncryptedDownload::~EncryptedDownload() = default;

void EncryptedDownload::start() {
    vault_.cleanPartial(request_.assetId);
    try {
        std::filesystem::path partial = vault_.partialURL(request_.assetId);
        FileDescriptor file = openFile(partial, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        writeAll(file.get(), VaultManager::makeHeader(), partial);
        writer_ = std::make_unique<RecordWriter>(std::move(file), partial);
    } catch (const std::exception& error) {
        invokeCompletion(DownloadResult::failure(errorDescription(error)));
        return;
    }
    queue_.async([self = shared_from_this()] { self->runTransfer(); });
}

void EncryptedDownload::cancel() { cancelRequested_ = true; }

void EncryptedDownload::runTransfer() {
    HttpRequest request;
    request.url = mediaURL_;
    request.headers = {{"Accept", kAcceptedMediaTypes}, {"Accept-Encoding", "identity"}};
    request.timeout = options_.requestTimeout;
    std::optional<CurlTransfer> transfer;
    try {
        transfer.emplace(std::move(request), options_.trust, [this, &transfer](std::string_view body) {
            if (!responseSeen_ && !didReceiveResponse(transfer->responseStatus(), announcedLength(*transfer))) return false;
            return didReceiveData(ByteView(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
        });
        checkCurl(curl_easy_setopt(transfer->easy(), CURLOPT_TIMEOUT, static_cast<long>(options_.resourceTimeout.count())));
        checkCurl(curl_easy_setopt(transfer->easy(), CURLOPT_BUFFERSIZE, kReceiveBufferBytes));
    } catch (const std::exception& error) {
        didComplete(errorDescription(error));
        return;
    }
    transfer->setCancelFlag(&cancelRequested_);
    CURLcode code = transfer->perform();
    // A server that closes before the announced length is a short body: the size check below
    // reports it, as it would a body that ended early.
    bool shortOfAnnouncedLength = code == CURLE_PARTIAL_FILE && expected_ != 0;
    if (code != CURLE_OK && !shortOfAnnouncedLength) {
        didComplete(transportErrorText(*transfer, code));
        return;
    }
    if (!responseSeen_) didReceiveResponse(transfer->responseStatus(), announcedLength(*transfer));  // no body at all
    didComplete(std::nullopt);
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
        while (!bytes.empty()) {
            // Whole chunks straight from the delivery skip the copy into `pending_`.
            if (pending_.empty() && bytes.size() >= VaultManager::kChunkSizeBytes) {
                writeChunk(bytes.first(VaultManager::kChunkSizeBytes));
                bytes = bytes.subspan(VaultManager::kChunkSizeBytes);
                continue;
            }
            std::size_t take = std::min<std::size_t>(VaultManager::kChunkSizeBytes - pending_.size(), bytes.size());
            pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
            bytes = bytes.subspan(take);
            if (pending_.size() == VaultManager::kChunkSizeBytes) {
                writeChunk(pending_);
                pending_.clear();
            }
        }
    } catch (const std::exception& error) {
        terminalError_ = errorDescription(error);
        return false;
    }
    return true;
}

void EncryptedDownload::writeChunk(ByteView plain) {
    SecretBytes key = vault_.key(request_.ownerKey, request_.assetId);
    if (writer_) {
        Bytes record = writer_->takeBuffer();
        VaultManager::encryptChunk(plain, key.span(), record);
        writer_->append(std::move(record));
    }
    downloaded_ += plain.size();
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
        if (!pending_.empty()) {
            writeChunk(pending_);
            pending_.clear();
        }
        if (expected_ != 0 && expected_ != downloaded_) throw VelmoraError(kSizeMismatch);
        FileDescriptor file = writer_->finish();
        writer_.reset();
        if (::fsync(file.get()) != 0) throwSystemError(errno, vault_.partialURL(request_.assetId));
        file.close();
        vault_.finalize(request_, downloaded_);
    } catch (const std::exception& error) {
        failWith(errorDescription(error));
        return;
    }
    progress_(downloaded_, downloaded_, "completed");
    invokeCompletion(DownloadResult::success(downloaded_));
}

void EncryptedDownload::failWith(const std::string& message) {
    writer_.reset();  // drops queued records and closes the file, which is about to be removed
    vault_.cleanPartial(request_.assetId);
    invokeCompletion(DownloadResult::failure(message));
}

void EncryptedDownload::invokeCompletion(const DownloadResult& result) {
    if (finished_) return;
    finished_ = true;
    completion_(result);
}

}  // namespace velmora
