#include "vault/LessonWriter.h"

#include "core/Files.h"
#include "vault/RecordWriter.h"
#include "vault/VaultManager.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace velmora {

namespace {

// Use after commit(), keepUncommitted() or a failed restart(): a programming error.
constexpr const char* kFileHandedBack = "the lesson writer no longer holds its file";
constexpr std::uint64_t kRecordStrideBytes = VaultManager::chunkSize + VaultManager::recordOverhead;

}  // namespace

LessonWriter::LessonWriter(const VaultManager& vault, DownloadRequest request, Hooks hooks)
    : vault_(vault),
      request_(std::move(request)),
      hooks_(std::move(hooks)),
      path_(vault_.partialURL(request_.assetId)) {
    prepare();
    vault_.cleanPartial(request_.assetId);
    try {
        FileDescriptor file = openFile(path_, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        writeAll(file.get(), VaultManager::makeHeader(), path_);
        records_ = std::make_unique<RecordWriter>(std::move(file), path_);
    } catch (const std::exception&) {
        vault_.cleanPartial(request_.assetId);
        throw;
    }
}

LessonWriter::LessonWriter(const VaultManager& vault, DownloadRequest request, std::uint64_t keptRecords, Hooks hooks)
    : vault_(vault),
      request_(std::move(request)),
      hooks_(std::move(hooks)),
      path_(vault_.partialURL(request_.assetId)) {
    prepare();
    FileDescriptor file = openFile(path_, O_WRONLY);
    const off_t kept = static_cast<off_t>(VaultManager::headerSize + keptRecords * kRecordStrideBytes);
    if (::lseek(file.get(), 0, SEEK_END) < kept) throwSystemError(ENODATA, path_);
    if (::ftruncate(file.get(), kept) != 0 || ::lseek(file.get(), kept, SEEK_SET) < 0) throwSystemError(errno, path_);
    records_ = std::make_unique<RecordWriter>(std::move(file), path_);
    sealed_ = keptRecords * VaultManager::chunkSize;
    recordsBefore_ = keptRecords;
}

void LessonWriter::prepare() {
    DownloadRequest::requireSafeAssetId(request_.assetId);
    sealer_.emplace(vault_.key(request_.lesson()));
}

LessonWriter::~LessonWriter() {
    records_.reset();  // drops queued records and closes the file before it goes
    if (!kept_) vault_.cleanPartial(request_.assetId);
}

void LessonWriter::append(ByteView plain) {
    while (!plain.empty()) {
        if (!filling_) beginRecord();
        std::size_t take = std::min<std::size_t>(VaultManager::chunkSize - sealer_->plainBytes(), plain.size());
        sealer_->add(plain.first(take));
        plain = plain.subspan(take);
        if (sealer_->plainBytes() == VaultManager::chunkSize) endRecord();
    }
}

void LessonWriter::rewindToLastRecord() { filling_.reset(); }

void LessonWriter::writeOutRecords() {
    if (!records_) throw std::logic_error(kFileHandedBack);
    records_->flush();
}

void LessonWriter::restart() {
    FileDescriptor file = finishRecords();
    const auto header = static_cast<off_t>(VaultManager::headerSize);
    if (::ftruncate(file.get(), header) != 0 || ::lseek(file.get(), header, SEEK_SET) < 0) throwSystemError(errno, path_);
    filling_.reset();
    records_ = std::make_unique<RecordWriter>(std::move(file), path_);
    sealed_ = 0;
    recordsBefore_ = 0;
}

void LessonWriter::sealTail() {
    if (filling_) endRecord();
}

std::uint64_t LessonWriter::commit() {
    writeEverything();
    vault_.finalize(request_, sealed_);
    kept_ = true;
    return sealed_;
}

std::uint64_t LessonWriter::keepUncommitted() {
    writeEverything();
    kept_ = true;
    return sealed_;
}

std::uint64_t LessonWriter::keepWholeRecords() {
    filling_.reset();
    std::unique_ptr<RecordWriter> writer = std::exchange(records_, nullptr);
    if (!writer) throw std::logic_error(kFileHandedBack);
    try {
        writer->finish().close();
    } catch (const std::system_error&) {
        // A record that did not fit (a full disk): the ones written before it are kept.
    }
    const std::uint64_t kept = recordsBefore_ + writer->recordsWritten();
    writer.reset();
    FileDescriptor file = openFile(path_, O_WRONLY);
    if (::ftruncate(file.get(), static_cast<off_t>(VaultManager::headerSize + kept * kRecordStrideBytes)) != 0 ||
        ::fsync(file.get()) != 0) {
        throwSystemError(errno, path_);
    }
    file.close();
    kept_ = true;
    sealed_ = kept * VaultManager::chunkSize;
    return kept;
}

void LessonWriter::beginRecord() {
    if (!records_) throw std::logic_error(kFileHandedBack);
    filling_ = records_->takeBuffer();
    sealer_->begin(filling_->room());
}

void LessonWriter::endRecord() {
    const std::size_t plainBytes = sealer_->plainBytes();
    if (hooks_.beforeRecord) hooks_.beforeRecord(plainBytes);
    const std::size_t recordBytes = sealer_->finish().size();
    records_->append(std::move(*filling_), recordBytes);
    filling_.reset();
    sealed_ += plainBytes;
    if (hooks_.afterRecord) hooks_.afterRecord(sealed_);
}

FileDescriptor LessonWriter::finishRecords() {
    std::unique_ptr<RecordWriter> writer = std::exchange(records_, nullptr);
    if (!writer) throw std::logic_error(kFileHandedBack);
    return writer->finish();
}

void LessonWriter::writeEverything() {
    sealTail();
    FileDescriptor file = finishRecords();
    if (::fsync(file.get()) != 0) throwSystemError(errno, path_);
    file.close();
}

}  // namespace velmora
