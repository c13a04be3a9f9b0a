#pragma once

#include "core/Crypto.h"
#include "core/Files.h"

#include <sys/types.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace velmora {

// Room for one record, placed in a page-aligned allocation at its own file offset within a page,
// so the disk can take it straight from this memory (see RecordWriter).
class RecordBuffer {
public:
    // The room for the record's bytes: up to VaultManager::chunkSize + recordOverhead.
    std::span<std::uint8_t> room() const { return {storage_.get() + offset_, capacity_ - offset_}; }

private:
    friend class RecordWriter;
    struct Free {
        void operator()(std::uint8_t* bytes) const { std::free(bytes); }
    };
    std::unique_ptr<std::uint8_t, Free> storage_;
    std::size_t capacity_ = 0;
    std::size_t offset_ = 0;
};

// Appends sealed records to an open file on a thread of its own, so the disk works while the
// lesson writer seals the next record and a download's network keeps delivering. At most
// kRecordsInFlight records wait at a time (bounded memory, and a slow disk still holds back the
// network). Buffers are recycled between records.
//
// Where the file system allows it the writes bypass the page cache (O_DIRECT): copying each record
// into the cache costs more CPU than receiving and sealing it. Such writes cover whole pages, so
// the bytes after the last page boundary wait for the next record and are written through the
// cache by flush() or finish(), as are the bytes before the first boundary. Elsewhere each record
// goes through the cache and is handed to write-back at once.
// One producer thread; the first write error is reported to it at the next call.
class RecordWriter {
public:
    static constexpr std::size_t kRecordsInFlight = 4;

    // Writes from the file's current offset on.
    RecordWriter(FileDescriptor file, std::filesystem::path path);
    // Stops without waiting for queued records (the download has failed); the file is closed.
    ~RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    // A buffer for the next record (storage reused from written records); the records before it
    // must have been appended.
    RecordBuffer takeBuffer();

    // Queues the first `size` bytes of the buffer's room as the next record; waits while
    // kRecordsInFlight are queued. Throws an earlier write's error.
    void append(RecordBuffer buffer, std::size_t size);

    // Waits until every appended record is wholly in the file, the bytes that wait for the next
    // record too: the producer has paused and a kill must not cost the last record. Throws the
    // first write error.
    void flush();

    // Waits until everything is written, ends the thread and hands the file back (its offset at
    // the end of the records). Throws the first write error.
    FileDescriptor finish();

    // Records wholly written to the file so far (queued ones, and one whose last bytes wait for
    // the next, not yet). Any thread.
    std::uint64_t recordsWritten() const { return written_; }

private:
    static constexpr std::size_t kPageBytes = 4096;
    struct Queued {
        RecordBuffer buffer;
        std::size_t size;
    };

    void run();
    // Until the record thread has written every queued record, or a write has failed.
    void waitUntilQueueWritten(std::unique_lock<std::mutex>& lock);
    void writeRecord(const Queued& record);
    void writeRest();
    void writeAt(ByteView bytes, off_t offset);
    void setDirect(bool direct);
    void countWrittenRecords();
    RecordBuffer newBuffer() const;

    std::filesystem::path path_;
    FileDescriptor file_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Queued> queued_;
    std::vector<RecordBuffer> spare_;
    std::exception_ptr error_;
    bool stopping_ = false;
    bool writing_ = false;
    std::atomic<std::uint64_t> written_{0};
    off_t appended_ = 0;  // file offset after the last record appended; the producer's

    // The record thread's.
    bool direct_ = false;   // writes bypass the page cache (the file system allows it)
    bool directOn_ = false;  // O_DIRECT is set on the file now
    off_t end_ = 0;          // file offset after the last record taken from the queue
    off_t unwritten_ = 0;    // bytes from here to end_ are not in the file yet (in carry_)
    std::array<std::uint8_t, kPageBytes> carry_{};
    std::deque<off_t> recordEnds_;  // ends of records not yet wholly written
    std::thread thread_;
};

}  // namespace velmora
