#include "vault/RecordWriter.h"

#include <fcntl.h>
#include <unistd.h>

namespace velmora {

RecordWriter::RecordWriter(FileDescriptor file, std::filesystem::path path)
    : path_(std::move(path)), file_(std::move(file)), thread_([this] { run(); }) {}

RecordWriter::~RecordWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queued_.clear();
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

Bytes RecordWriter::takeBuffer() {
    std::lock_guard lock(mutex_);
    if (spare_.empty()) return {};
    Bytes buffer = std::move(spare_.back());
    spare_.pop_back();
    return buffer;
}

void RecordWriter::append(Bytes record) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return error_ || queued_.size() < kRecordsInFlight; });
    if (error_) std::rethrow_exception(error_);
    queued_.push_back(std::move(record));
    changed_.notify_all();
}

FileDescriptor RecordWriter::finish() {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return error_ || (queued_.empty() && !writing_); });
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
    if (error_) std::rethrow_exception(error_);
    return std::move(file_);
}

void RecordWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
        if (queued_.empty() || error_) return;
        Bytes record = std::move(queued_.front());
        queued_.pop_front();
        writing_ = true;
        lock.unlock();
        std::exception_ptr failure;
        try {
            writeAll(file_.get(), record, path_);
            // Start writing the record back now rather than all at the final sync, so the page
            // cache never holds a whole lesson of dirty pages. Advisory; failures change nothing.
            off_t end = ::lseek(file_.get(), 0, SEEK_CUR);
            ::sync_file_range(file_.get(), end - static_cast<off_t>(record.size()), static_cast<off_t>(record.size()),
                              SYNC_FILE_RANGE_WRITE);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        writing_ = false;
        if (failure) {
            error_ = failure;
        } else {
            ++written_;
        }
        record.clear();
        spare_.push_back(std::move(record));
        changed_.notify_all();
    }
}

}  // namespace velmora
