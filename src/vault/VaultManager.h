#pragma once

#include "core/Crypto.h"
#include "core/SecretBytes.h"
#include "vault/DownloadRequest.h"
#include "vault/OwnedLesson.h"
#include "vault/ResumeRecord.h"
#include "vault/VaultItem.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// A record of a stored lesson that does not decrypt under the lesson's key: altered on disk, or
// written under another key. Carries the cipher's own text.
class RecordAuthenticationError : public std::runtime_error {
public:
    RecordAuthenticationError() : std::runtime_error("AES-256-GCM authentication failed") {}
};

// The encrypted offline library: one folder holding, per lesson, "<assetId>.json" (its VaultItem),
// "<assetId>.vlmedia" (the sealed media) and, while downloading or kept for a resume,
// "<assetId>.part" with its ResumeRecord "<assetId>.resume".
//
// Media file layout, integers little-endian:
//   header, headerSize = 32:        "VLMAC001" | u32 version 1 | u32 chunk size 1,048,576 |
//                                   u64 plain size (0 until commit) | 8 zero bytes
//   record i at 32 + i * (chunkSize + recordOverhead):
//                                   u32 plaintext length n (1..1,048,576) | 12-byte nonce |
//                                   16-byte tag | n bytes AES-256-GCM ciphertext
// Every record but the last holds exactly chunkSize bytes of plaintext. Only each record's content
// is authenticated: neither the header nor the record order or count is bound into the tags, so
// readers locate records by arithmetic and take the plain size from the metadata, never the header.
//
// Keys: media key = HKDF-SHA256(master key, salt = asset id, info = raw account key), 32 bytes;
// a fresh random nonce per record. The vault stores account keys only as owner tags.
//
// The object holds nothing mutable: every operation is const, opens its own file handles and
// replaces files whole, so any operation may run on any thread at the same time as any other.
class VaultManager {
public:
    // Sizes in bytes; unsigned like the file offsets and plain sizes they are combined with.
    static constexpr std::uint64_t chunkSize = 1'048'576;
    static constexpr std::uint64_t headerSize = 32;
    static constexpr std::uint64_t recordOverhead = 32;  // 4 length + 12 nonce + 16 tag
    static constexpr std::uint64_t kMinimumPlainSizeBytes = 1'024;  // smaller commits are refused

    // The sentences of the vault's refusals, for callers that refuse the same thing before asking.
    static constexpr const char* kCannotDeleteForeign = "不能删除其他账号的离线课程";
    static constexpr const char* kCannotReadForeign = "当前账号无权读取这份离线课程";
    static constexpr const char* kInvalidRange = "离线媒体读取范围无效";
    static constexpr const char* kRecordTooShort = "离线媒体分块范围异常";
    static constexpr const char* kStoredForAnotherAccount = "本机上的其他账号已保存这节离线课程，无法重复保存";

    // Gives the vault's 32-byte master key, or throws when it cannot be had.
    using MasterKeyProvider = std::function<SecretBytes()>;

    // A vault at dataRoot/"VelmoraClassroom/VaultDeviceV2" under `masterKey` (32 bytes). Creates the
    // folder (0700) with its missing parents. Throws std::system_error when it cannot, and
    // std::invalid_argument for a master key of another size.
    VaultManager(std::filesystem::path dataRoot, SecretBytes masterKey);

    // Sets where shared() makes the vault and where its master key comes from (the application
    // hands in the secure store's). Called once by the application before the first use.
    static void configureShared(std::filesystem::path dataRoot, MasterKeyProvider masterKey);

    // What precedes the cause when the vault cannot be made.
    static constexpr const char* kCannotOpenPrefix = "无法初始化星禾课堂加密媒体库：";

    // The process's vault, made once on first use (thread-safe) with the provider's master key
    // and never destroyed. If it cannot be made, prints kCannotOpenPrefix and the cause to
    // stderr and ends the process.
    static VaultManager& shared();

    // shared(), readied for a new run of the application: what downloads of an earlier process
    // left behind is kept when it can be resumed and removed otherwise (removeLeftoverPartials). The application calls it once when it opens
    // the vault at start-up, before any download of its own can start; it is single instance, so
    // no other process is writing into the vault either.
    static VaultManager& openAtStartUp();

    // Paths. The asset identifier is used verbatim; callers have checked it with isSafeAssetId().
    std::filesystem::path rootURL() const;
    static std::filesystem::path rootURL(const std::filesystem::path& dataRoot);
    std::filesystem::path mediaURL(std::string_view assetId) const;
    std::filesystem::path partialURL(std::string_view assetId) const;
    std::filesystem::path metadataURL(std::string_view assetId) const;
    std::filesystem::path resumeURL(std::string_view assetId) const;

    // 32 lower-case hex digits of the first 16 bytes of SHA-256(account key). Pure.
    static std::string ownerHash(std::string_view ownerKey);

    // The 32-byte media key of one lesson for one account. Pure given the master key.
    SecretBytes key(OwnedLesson lesson) const;

    // The 32 header bytes with `plainSize` in its size field. Pure.
    static Bytes makeHeader(std::uint64_t plainSize = 0);

    // One record sealing `chunk` (1 to chunkSize bytes) under `key` with a fresh nonce.
    // Throws std::invalid_argument for an empty or oversized chunk, the cipher's error otherwise.
    static Bytes encryptChunk(ByteView chunk, ByteView key);
    // The same into `record` of exactly recordOverhead + chunk.size() bytes, for callers that reuse
    // their storage. Also throws std::invalid_argument for a record of another size.
    static void encryptChunk(ByteView chunk, ByteView key, std::span<std::uint8_t> record);

    // Catalogue (main thread for the bridge; the download queues for finalize and cleanPartial).

    // The account's committed lessons, ordered by class title, course, chapter and lesson position,
    // then lesson title (texts by code point after NFC; ties keep directory order). Never throws.
    std::vector<VaultItem> list(std::string_view ownerKey) const;

    // Removes the account's lesson. Throws VelmoraError "不能删除其他账号的离线课程" for an unsafe
    // identifier or a lesson that is missing, unreadable or another account's, "无法删除离线课程文件"
    // when its metadata survives.
    void deleteItem(OwnedLesson lesson) const;

    // Retitles and repositions the account's lesson: titles lose CR, LF and NUL and are cut to 1,000
    // characters, negative positions become 0. Throws VelmoraError "当前账号无权更新这份离线课程目录"
    // for an unsafe identifier or a lesson that is not the account's; write failures pass through.
    void updateMetadata(OwnedLesson lesson, std::string_view courseTitle, std::string_view chapterTitle,
                        std::int64_t courseIndex, std::int64_t chapterIndex, std::int64_t lessonIndex) const;

    // Writes the item's metadata file atomically (mode 0600). Failures pass through unchanged; an
    // item whose identifier could name a file outside the vault throws std::invalid_argument.
    void saveMetadata(const VaultItem& item) const;

    // Commits a finished ".part" file: patches its plain size, syncs it, renames it over any earlier
    // ".vlmedia" in one step and writes the metadata. Throws VelmoraError "课程媒体内容为空或格式异常"
    // for a plain size below 1,024, the sentence of requireNotStoredForAnotherAccount() for a lesson
    // stored for another account, and std::invalid_argument for an unsafe identifier (touching
    // nothing); file-system failures pass through and leave the ".part" file (and any earlier
    // lesson) in place.
    void finalize(const DownloadRequest& request, std::uint64_t plainSize) const;

    // Throws VelmoraError "本机上的其他账号已保存这节离线课程，无法重复保存" when the lesson's metadata
    // names another owner tag than the account's: a lesson's files are named by its asset alone,
    // so storing it for this account would replace the other account's copy. Missing metadata, or
    // metadata naming no owner tag, passes.
    void requireNotStoredForAnotherAccount(OwnedLesson lesson) const;

    // Removes the lesson's ".part" file and its resume record; never fails (an unsafe identifier
    // removes nothing).
    void cleanPartial(std::string_view assetId) const;

    // Resume records (the download queues write them; the main thread reads them).

    // Writes the record of a kept ".part" atomically (mode 0600). Failures pass through; an unsafe
    // identifier throws std::invalid_argument.
    void saveResumeRecord(const ResumeRecord& record) const;

    // The resume record of `assetId`, or nullopt when there is none, it cannot be read or decoded,
    // or it names another lesson. Never throws.
    std::optional<ResumeRecord> resumeRecord(std::string_view assetId) const;

    // The records of every kept ".part", in directory order. Never throws.
    std::vector<ResumeRecord> keptDownloads() const;

    // Sorts what downloads that ended with their process left behind. A ".part" is kept when its
    // resume record decodes, its header is a ".part"'s and its last whole record authenticates
    // under the lesson's key: a torn record after it is cut off, and a last record that does not
    // open is dropped as long as the resume record does not count it. Every other ".part", and
    // every resume record without its ".part", is removed: it would keep its disk space forever.
    // Only while no download can be writing: the application (single instance) calls it when it
    // opens the vault at start-up. Never fails.
    void removeLeftoverPartials() const;

    // Removes the hidden temporary files of metadata (and other whole-file) writes that ended with
    // their process; only those of "<safe identifier>.<extension>" files. Same caller as
    // removeLeftoverPartials(). Never fails.
    void removeLeftoverTemporaries() const;

    // Finishes commits that ended with their process between moving the new media into place and
    // writing its metadata: such a lesson's metadata still records the earlier media's size. The
    // new media is whole (it was synced before the move) and its header holds its plain size, so
    // that size is written into the metadata; everything else in it stays. Same caller as
    // removeLeftoverPartials(). Never fails.
    void repairInterruptedCommits() const;

    // Ranged reads, called from the media serving queue while the main thread and the download
    // queues use the catalogue. Both keep no state between calls (each reads the metadata again and
    // opens its own handle), so they are safe on any thread, concurrently with every operation.

    // The lesson's recorded plaintext size. Throws VelmoraError "当前账号无权读取这份离线课程" when the
    // metadata is missing, unreadable or another account's.
    std::uint64_t plainSize(OwnedLesson lesson) const;

    // Plaintext bytes start..min(endInclusive, size - 1), decrypting only the records that overlap.
    // Throws VelmoraError "当前账号无权读取这份离线课程", "离线媒体读取范围无效", "离线媒体密文不完整",
    // "离线媒体分块损坏" or "离线媒体分块范围异常"; RecordAuthenticationError when a record does not
    // decrypt; file failures pass through.
    Bytes readRange(OwnedLesson lesson, std::uint64_t start, std::uint64_t endInclusive) const;

private:
    // The owner's entry of `assetId`, or nullopt when its metadata is missing, unreadable or foreign.
    std::optional<VaultItem> ownedItem(OwnedLesson lesson) const;
    // Whether the ".part" of `assetId` may be resumed; cuts it back to its authenticated records.
    bool keepResumablePartial(std::string_view assetId) const;

    std::filesystem::path dataRoot_;
    SecretBytes masterKey_;
};

}  // namespace velmora
