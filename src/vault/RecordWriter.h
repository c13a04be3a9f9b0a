#pragma once

#include "core/Crypto.h"
#include "core/Files.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora {

// Appends sealed records to an open file on a thread of its own, so the disk works while the
// lesson writer seals the next record and a download's network keeps delivering. At most
// kRecordsInFlight records wait at a time (bounded memory, and a slow disk still holds back the
// network). Buffers are recycled between records.
// One producer thread; the first write error is reported to it at the next call.
class RecordWriter {
public:
    static constexpr std::size_t kRecordsInFlight = 4;

    RecordWriter(FileDescriptor file, std::filesystem::path path);
    // Stops without waiting for queued records (the download has failed); the file is closed.
    ~RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    // An empty buffer to seal the next record into (capacity reused from written records).
    Bytes takeBuffer();

    // Queues a record; waits while kRecordsInFlight are queued. Throws an earlier write's error.
    void append(Bytes record);

    // Waits until everything is written, ends the thread and hands the file back. Throws the
    // first write error.
    FileDescriptor finish();

    // Records written to the file so far (queued ones not yet). Any thread.
    std::uint64_t recordsWritten() const { return written_; }

private:
    void run();

    std::filesystem::path path_;
    FileDescriptor file_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Bytes> queued_;
    std::vector<Bytes> spare_;
    std::exception_ptr error_;
    bool stopping_ = false;
    bool writing_ = false;
    std::atomic<std::uint64_t> written_{0};
    std::thread thread_;
};

}  // namespace velmora
