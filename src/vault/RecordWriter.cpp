#include "vault/RecordWriter.h"

#include "vault/VaultManager.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

namespace velmora {

namespace {

constexpr std::size_t kLargestRecordBytes = VaultManager::chunkSize + VaultManager::recordOverhead;

int statusFlags(int fd, const std::filesystem::path& path) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) throwSystemError(errno, path);
    return flags;
}

// Whether the file system takes writes that bypass the page cache for this file.
bool allowsDirectWrites(int fd, const std::filesystem::path& path) {
    int flags = statusFlags(fd, path);
    if (::fcntl(fd, F_SETFL, flags | O_DIRECT) != 0) return false;
    if (::fcntl(fd, F_SETFL, flags) != 0) throwSystemError(errno, path);
    return true;
}

}  // namespace

RecordWriter::RecordWriter(FileDescriptor file, std::filesystem::path path) : path_(std::move(path)), file_(std::move(file)) {
    appended_ = end_ = unwritten_ = ::lseek(file_.get(), 0, SEEK_CUR);
    if (appended_ < 0) throwSystemError(errno, path_);
    direct_ = allowsDirectWrites(file_.get(), path_);
    thread_ = std::thread([this] { run(); });
}

RecordWriter::~RecordWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queued_.clear();
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

RecordBuffer RecordWriter::newBuffer() const {
    RecordBuffer buffer;
    // A page more than the largest record: the record starts at its own offset within a page.
    buffer.capacity_ = (kPageBytes + kLargestRecordBytes + kPageBytes - 1) / kPageBytes * kPageBytes;
    buffer.storage_.reset(static_cast<std::uint8_t*>(std::aligned_alloc(kPageBytes, buffer.capacity_)));
    if (!buffer.storage_) throw std::bad_alloc();
    return buffer;
}

RecordBuffer RecordWriter::takeBuffer() {
    RecordBuffer buffer;
    {
        std::lock_guard lock(mutex_);
        if (!spare_.empty()) {
            buffer = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    if (!buffer.storage_) buffer = newBuffer();
    buffer.offset_ = static_cast<std::size_t>(appended_) % kPageBytes;
    return buffer;
}

void RecordWriter::append(RecordBuffer buffer, std::size_t size) {
    if (buffer.offset_ != static_cast<std::size_t>(appended_) % kPageBytes || size > buffer.room().size()) {
        throw std::logic_error("a record buffer must be taken for the record that follows the last one appended");
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return error_ || queued_.size() < kRecordsInFlight; });
    if (error_) std::rethrow_exception(error_);
    queued_.push_back({std::move(buffer), size});
    appended_ += static_cast<off_t>(size);
    changed_.notify_all();
}

void RecordWriter::waitUntilQueueWritten(std::unique_lock<std::mutex>& lock) {
    changed_.wait(lock, [this] { return error_ || (queued_.empty() && !writing_); });
}

void RecordWriter::flush() {
    std::unique_lock lock(mutex_);
    waitUntilQueueWritten(lock);
    if (error_) std::rethrow_exception(error_);
    writeRest();  // the thread waits for the next record: this thread may write in its place
}

FileDescriptor RecordWriter::finish() {
    {
        std::unique_lock lock(mutex_);
        waitUntilQueueWritten(lock);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
    if (error_) std::rethrow_exception(error_);
    writeRest();
    if (::lseek(file_.get(), end_, SEEK_SET) < 0) throwSystemError(errno, path_);
    return std::move(file_);
}

void RecordWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
        if (queued_.empty() || error_) return;
        Queued record = std::move(queued_.front());
        queued_.pop_front();
        writing_ = true;
        lock.unlock();
        std::exception_ptr failure;
        try {
            writeRecord(record);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        writing_ = false;
        if (failure) error_ = failure;
        spare_.push_back(std::move(record.buffer));
        changed_.notify_all();
    }
}

void RecordWriter::writeRecord(const Queued& record) {
    std::uint8_t* first = record.buffer.storage_.get() + record.buffer.offset_;
    // Bytes of earlier records still waiting go just before this one: a page boundary lies
    // behind them, and the buffer leaves room for them there.
    const auto carried = static_cast<std::size_t>(end_ - unwritten_);
    std::memcpy(first - carried, carry_.data(), carried);
    ByteView bytes(first - carried, carried + record.size);
    off_t at = unwritten_;
    end_ += static_cast<off_t>(record.size);
    recordEnds_.push_back(end_);
    if (direct_) {
        // Only where the records began off a page boundary: up to it through the page cache.
        std::size_t head = at % kPageBytes == 0 ? 0 : std::min(kPageBytes - static_cast<std::size_t>(at % kPageBytes), bytes.size());
        if (head > 0) {
            setDirect(false);
            writeAt(bytes.first(head), at);
            at += static_cast<off_t>(head);
            bytes = bytes.subspan(head);
        }
        std::size_t wholePages = bytes.size() / kPageBytes * kPageBytes;
        if (wholePages > 0) {
            setDirect(true);
            writeAt(bytes.first(wholePages), at);
            at += static_cast<off_t>(wholePages);
            bytes = bytes.subspan(wholePages);
        }
    }
    if (direct_) {
        std::memcpy(carry_.data(), bytes.data(), bytes.size());
    } else {
        writeAt(bytes, at);
        // Start writing the record back now rather than all at the final sync, so the page cache
        // never holds a whole lesson of dirty pages. Advisory; failures change nothing.
        ::sync_file_range(file_.get(), at, static_cast<off_t>(bytes.size()), SYNC_FILE_RANGE_WRITE);
        at += static_cast<off_t>(bytes.size());
    }
    unwritten_ = at;
    countWrittenRecords();
}

void RecordWriter::writeRest() {
    if (unwritten_ == end_) return;
    setDirect(false);
    writeAt(ByteView(carry_).first(static_cast<std::size_t>(end_ - unwritten_)), unwritten_);
    unwritten_ = end_;
    countWrittenRecords();
}

void RecordWriter::writeAt(ByteView bytes, off_t offset) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = ::pwrite(file_.get(), bytes.data() + done, bytes.size() - done, offset + static_cast<off_t>(done));
        if (wrote >= 0) {
            done += static_cast<std::size_t>(wrote);
        } else if (errno == EINVAL && directOn_) {
            // The device wants a larger alignment than a page: the page cache from here on.
            setDirect(false);
            direct_ = false;
        } else if (errno != EINTR) {
            throwSystemError(errno, path_);
        }
    }
}

void RecordWriter::setDirect(bool direct) {
    if (directOn_ == direct) return;
    int flags = statusFlags(file_.get(), path_);
    if (::fcntl(file_.get(), F_SETFL, direct ? flags | O_DIRECT : flags & ~O_DIRECT) == 0) {
        directOn_ = direct;
    } else if (direct) {
        direct_ = false;  // refused after all: the page cache from here on
    } else {
        throwSystemError(errno, path_);
    }
}

void RecordWriter::countWrittenRecords() {
    while (!recordEnds_.empty() && recordEnds_.front() <= unwritten_) {
        recordEnds_.pop_front();
        ++written_;
    }
}

}  // namespace velmora
