#pragma once

#include "core/Crypto.h"
#include "core/Files.h"
#include "core/SecretBytes.h"
#include "vault/DownloadRequest.h"
#include "vault/RecordSealer.h"
#include "vault/RecordWriter.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace velmora {

class VaultManager;

// Writes one lesson into the vault, owning its ".part" file from creation to commit: removes an
// earlier ".part", writes the header (or continues a kept ".part" after its whole records), seals
// the plaintext it is given (in pieces of any size) into records of VaultManager::chunkSize bytes,
// and commits with the vault's finalize(). A writer that ends without committing or keeping its
// records, or whose commit fails, removes its ".part" (and the resume record beside it).
//
// The lesson's media key is derived once, when the writer is made. Each piece is sealed straight
// into the buffer its record goes to the disk from, so plaintext is never copied; sealed records
// go to a RecordWriter thread, so sealing and the disk work at the same time. One thread uses a
// writer.
class LessonWriter {
public:
    // Per-record calls of the caller's own rules: beforeRecord gets a record's plaintext size
    // before it is queued for the disk and may throw to refuse it (a download's room check);
    // afterRecord gets the plaintext bytes sealed so far once the record is queued (a download's
    // progress).
    struct Hooks {
        std::function<void(std::size_t plainBytes)> beforeRecord;
        std::function<void(std::uint64_t sealedBytes)> afterRecord;
    };

    // Starts the request's ".part" (mode 0600) with its header. Throws std::invalid_argument for an
    // unsafe asset identifier (touching nothing) and the file error when the ".part" cannot be
    // written, leaving none behind.
    LessonWriter(const VaultManager& vault, DownloadRequest request, Hooks hooks = {});
    // Continues the request's kept ".part" after its first `keptRecords` whole records; anything
    // after them is cut off. Throws std::invalid_argument for an unsafe asset identifier and the
    // file error when the ".part" cannot be opened or holds fewer records, touching nothing.
    LessonWriter(const VaultManager& vault, DownloadRequest request, std::uint64_t keptRecords, Hooks hooks = {});
    // Removes the ".part" unless commit() or keepUncommitted() succeeded.
    ~LessonWriter();
    LessonWriter(const LessonWriter&) = delete;
    LessonWriter& operator=(const LessonWriter&) = delete;

    // Seals every record the plaintext completes and keeps the rest for the next piece. Throws a
    // hook's, the cipher's or the disk's error; the writer is then only good for destruction.
    void append(ByteView plain);

    // Plaintext bytes held in whole records: where a resumed transfer continues.
    std::uint64_t sealedBytes() const { return sealed_; }

    // Resumes at the last whole record after a broken transfer: the plaintext kept for the record
    // the break tore is dropped, the whole records stay in the file.
    void rewindToLastRecord();

    // Puts every sealed record wholly in the file without ending the writer: a broken transfer
    // waits to retry, and a kill meanwhile must still find them. Throws the disk's error.
    void writeOutRecords();

    // Empties the ".part" back to its header, for a lesson that starts over. Throws the file error.
    void restart();

    // Seals the plaintext kept so far as the last record (nothing when none is kept). Throws as
    // append() does.
    void sealTail();

    // Seals the tail, writes and syncs the ".part" and commits it with finalize(request, plain
    // size); returns the plain size. Throws finalize()'s or the disk's error (the ".part" is then
    // removed). The writer takes no plaintext afterwards.
    std::uint64_t commit();

    // As commit(), but leaves the synced ".part" uncommitted where a process killed just before
    // its commit leaves it (tests lay out lessons with it). Returns the plain size.
    std::uint64_t keepUncommitted();

    // Ends the writer leaving its whole records synced in the ".part" for a later resume; the
    // plaintext of the record being filled is dropped, and so is a record the disk refused (a full
    // disk keeps the records before it). Returns the records kept. Throws the disk's error when
    // the ".part" cannot be cut back or synced (it is then removed).
    std::uint64_t keepWholeRecords();

    // Whole records already in the file (sealed ones still queued for the disk not counted): what
    // a resume record may promise. The writer's thread.
    std::uint64_t recordsOnDisk() const { return recordsBefore_ + (records_ ? records_->recordsWritten() : 0); }

private:
    // Checks the identifier and derives the lesson's key, before the file is touched.
    void prepare();
    void beginRecord();
    void endRecord();
    // Waits for the queued records and takes the file back from the record thread.
    FileDescriptor finishRecords();
    void writeEverything();

    const VaultManager& vault_;
    const DownloadRequest request_;
    const Hooks hooks_;
    const std::filesystem::path path_;
    std::optional<RecordSealer> sealer_;     // under the lesson's key
    std::unique_ptr<RecordWriter> records_;  // null once the file has been handed back
    std::optional<RecordBuffer> filling_;    // the record being sealed, from its first byte on
    std::uint64_t sealed_ = 0;
    std::uint64_t recordsBefore_ = 0;  // records in the file when the current record thread began
    bool kept_ = false;  // committed or deliberately left: the destructor leaves the file alone
};

}  // namespace velmora
