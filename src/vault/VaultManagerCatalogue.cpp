// Catalogue operations of the vault: listing, deletion, retitling, commit and size look-up.
#include "vault/VaultManager.h"

#include "core/Files.h"
#include "core/Payload.h"
#include "core/Unicode.h"
#include "core/VelmoraError.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <tuple>
#include <unordered_set>

namespace velmora {

namespace fs = std::filesystem;

namespace {

constexpr mode_t kFileMode = 0600;
constexpr std::size_t kMaxTitleCharacters = 1'000;
constexpr off_t kPlainSizeFieldOffset = 16;

constexpr const char* kMetadataSurvived = "无法删除离线课程文件";
constexpr const char* kCannotUpdateForeign = "当前账号无权更新这份离线课程目录";
constexpr const char* kMediaEmptyOrMalformed = "课程媒体内容为空或格式异常";

// Drops CR, LF and NUL, then keeps the first 1,000 characters.
std::string clean(std::string_view text) {
    std::string kept;
    kept.reserve(text.size());
    for (char c : text) {
        if (c != '\r' && c != '\n' && c != '\0') kept.push_back(c);
    }
    return graphemeCount(kept) > kMaxTitleCharacters ? graphemePrefix(kept, kMaxTitleCharacters) : kept;
}

// The NFC form of a text as UTF-8, whose byte order is code point order; canonically equivalent
// texts give equal keys. Computed once per item so sorting compares plain bytes.
std::string nfcSortKey(const std::string& text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return text;
    icu::UnicodeString normalized =
        nfc->normalize(icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size()))), status);
    if (U_FAILURE(status)) return text;
    std::string out;
    normalized.toUTF8String(out);
    return out;
}

struct ListedItem {
    VaultItem item;
    std::string classKey;
    std::string lessonKey;

    auto sortKey() const {
        return std::tie(classKey, item.courseIndex, item.chapterIndex, item.lessonIndex, lessonKey);
    }
};

struct DirectoryCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using Directory = std::unique_ptr<DIR, DirectoryCloser>;

// The whole content of a small file relative to `directoryFd` (or AT_FDCWD), with the fewest
// system calls: listing reads every metadata file on every call. Non-blocking, so a FIFO planted
// in the folder reads as empty instead of hanging. nullopt when it cannot be opened or read.
std::optional<std::string> readSmallFile(int directoryFd, const char* name) {
    int fd = ::openat(directoryFd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    FileDescriptor file(fd);
    std::string content;
    char buffer[16'384];
    for (;;) {
        ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) return content;
        content.append(buffer, static_cast<std::size_t>(got));
    }
}

// Visible names ending in ".json" exactly (case-sensitive), as metadata candidates.
bool isMetadataName(std::string_view name) {
    constexpr std::string_view kExtension = ".json";
    return name.size() > kExtension.size() && name.ends_with(kExtension);
}

// The visible entries of the vault folder, in directory order.
struct FolderListing {
    std::vector<std::string> metadataNames;
    std::unordered_set<std::string> mediaNames;
};

FolderListing listFolder(DIR* directory) {
    FolderListing listing;
    while (const dirent* entry = ::readdir(directory)) {
        std::string_view name = entry->d_name;
        if (name.empty() || name.front() == '.') continue;  // hidden
        if (name.ends_with(".vlmedia")) {
            listing.mediaNames.emplace(name);
        } else if (isMetadataName(name)) {
            listing.metadataNames.emplace_back(name);
        }
    }
    return listing;
}

// The committed entry in one metadata file for `owner`, or nullopt when it is unreadable, foreign,
// not completed, filed under another identifier than the one it records, or without media.
std::optional<VaultItem> listedItem(int directoryFd, const std::string& name, const std::string& owner,
                                    const std::unordered_set<std::string>& mediaNames) {
    std::optional<std::string> content = readSmallFile(directoryFd, name.c_str());
    if (!content) return std::nullopt;
    std::optional<VaultItem> item = VaultItem::decodeJSON(*content);
    if (!item || item->ownerHash != owner || item->state != VaultItem::kCompletedState) return std::nullopt;
    // A file renamed or copied onto another lesson's name would otherwise list that lesson twice,
    // or one whose own metadata says it belongs to someone else. A recorded identifier that is not
    // a plain file name cannot match it.
    if (name != item->assetId + ".json" || !DownloadRequest::isSafeAssetId(item->assetId)) return std::nullopt;
    if (!mediaNames.contains(item->assetId + ".vlmedia")) return std::nullopt;
    return item;
}

// The plain size in a committed media file's header, or nullopt when the file cannot be read or its
// header is not one a commit writes.
std::optional<std::uint64_t> committedPlainSize(const fs::path& media) {
    int fd = ::open(media.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    FileDescriptor file(fd);
    Bytes header(VaultManager::headerSize);
    if (::pread(file.get(), header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) return std::nullopt;
    std::uint64_t size = 0;
    for (int i = 7; i >= 0; --i) size = size << 8 | header[kPlainSizeFieldOffset + i];
    if (size < VaultManager::kMinimumPlainSizeBytes || header != VaultManager::makeHeader(size)) return std::nullopt;
    return size;
}

constexpr std::string_view kPartialExtension = ".part";
constexpr std::string_view kResumeExtension = ".resume";
constexpr std::uint64_t kRecordStrideBytes = VaultManager::chunkSize + VaultManager::recordOverhead;

// The asset identifier of a vault file name "<safe identifier><extension>", or "" for any other.
std::string_view assetIdOf(std::string_view name, std::string_view extension) {
    if (!name.ends_with(extension)) return {};
    std::string_view assetId = name.substr(0, name.size() - extension.size());
    return DownloadRequest::isSafeAssetId(assetId) ? assetId : std::string_view();
}

// Whether record `index` of an open ".part" is a whole record that opens under `key`.
bool wholeRecordOpens(int fd, std::uint64_t index, ByteView key) {
    Bytes record(kRecordStrideBytes);
    off_t offset = static_cast<off_t>(VaultManager::headerSize + index * kRecordStrideBytes);
    if (::pread(fd, record.data(), record.size(), offset) != static_cast<ssize_t>(record.size())) return false;
    const std::uint32_t length = static_cast<std::uint32_t>(record[0]) | static_cast<std::uint32_t>(record[1]) << 8 |
                                 static_cast<std::uint32_t>(record[2]) << 16 | static_cast<std::uint32_t>(record[3]) << 24;
    if (length != VaultManager::chunkSize) return false;
    ByteView nonce(record.data() + 4, kGcmNonceSizeBytes);
    ByteView tag(record.data() + 4 + kGcmNonceSizeBytes, kGcmTagSizeBytes);
    std::span<std::uint8_t> sealed = std::span(record).subspan(VaultManager::recordOverhead);
    return AesGcm256::open(key, nonce, sealed, {}, tag, sealed);
}

}  // namespace

std::optional<VaultItem> VaultManager::ownedItem(OwnedLesson lesson) const {
    std::optional<std::string> content = readSmallFile(AT_FDCWD, metadataURL(lesson.assetId).c_str());
    if (!content) return std::nullopt;
    std::optional<VaultItem> item = VaultItem::decodeJSON(*content);
    if (!item || item->ownerHash != ownerHash(lesson.ownerKey)) return std::nullopt;
    return item;
}

std::vector<VaultItem> VaultManager::list(std::string_view ownerKey) const {
    const std::string owner = ownerHash(ownerKey);
    Directory directory(::opendir(rootURL().c_str()));
    if (!directory) return {};
    const FolderListing folder = listFolder(directory.get());
    std::vector<ListedItem> listed;
    for (const std::string& name : folder.metadataNames) {
        if (std::optional<VaultItem> item = listedItem(::dirfd(directory.get()), name, owner, folder.mediaNames)) {
            std::string classKey = nfcSortKey(item->classTitle);
            std::string lessonKey = nfcSortKey(item->lessonTitle);
            listed.push_back({std::move(*item), std::move(classKey), std::move(lessonKey)});
        }
    }
    std::stable_sort(listed.begin(), listed.end(),
                     [](const ListedItem& a, const ListedItem& b) { return a.sortKey() < b.sortKey(); });
    std::vector<VaultItem> items;
    items.reserve(listed.size());
    for (ListedItem& entry : listed) items.push_back(std::move(entry.item));
    return items;
}

void VaultManager::deleteItem(OwnedLesson lesson) const {
    if (!DownloadRequest::isSafeAssetId(lesson.assetId) || !ownedItem(lesson)) throw VelmoraError(kCannotDeleteForeign);
    // Each removal is tried whatever the one before did; only a surviving catalogue entry counts.
    removeFile(mediaURL(lesson.assetId));
    cleanPartial(lesson.assetId);
    removeFile(metadataURL(lesson.assetId));
    std::error_code error;
    if (fs::exists(metadataURL(lesson.assetId), error) || error) throw VelmoraError(kMetadataSurvived);
}

void VaultManager::updateMetadata(OwnedLesson lesson, std::string_view courseTitle, std::string_view chapterTitle,
                                  std::int64_t courseIndex, std::int64_t chapterIndex, std::int64_t lessonIndex) const {
    if (!DownloadRequest::isSafeAssetId(lesson.assetId)) throw VelmoraError(kCannotUpdateForeign);
    std::optional<VaultItem> item = ownedItem(lesson);
    if (!item) throw VelmoraError(kCannotUpdateForeign);
    item->courseTitle = clean(courseTitle);
    item->chapterTitle = clean(chapterTitle);
    item->courseIndex = std::max<std::int64_t>(courseIndex, 0);
    item->chapterIndex = std::max<std::int64_t>(chapterIndex, 0);
    item->lessonIndex = std::max<std::int64_t>(lessonIndex, 0);
    saveMetadata(*item);
}

void VaultManager::saveMetadata(const VaultItem& item) const {
    DownloadRequest::requireSafeAssetId(item.assetId);
    std::string json = item.encodedJSON();
    writeFileAtomically(metadataURL(item.assetId), bytesOf(json), kFileMode);
    setMode(metadataURL(item.assetId), kFileMode);
}

void VaultManager::finalize(const DownloadRequest& request, std::uint64_t plainSize) const {
    if (plainSize < kMinimumPlainSizeBytes) throw VelmoraError(kMediaEmptyOrMalformed);
    DownloadRequest::requireSafeAssetId(request.assetId);
    requireNotStoredForAnotherAccount({request.ownerKey, request.assetId});
    const fs::path partial = partialURL(request.assetId);
    const fs::path media = mediaURL(request.assetId);

    FileDescriptor file = openFile(partial, O_RDWR);
    Bytes header = makeHeader(plainSize);
    if (::lseek(file.get(), kPlainSizeFieldOffset, SEEK_SET) < 0) throwSystemError(errno, partial);
    writeAll(file.get(), ByteView(header).subspan(kPlainSizeFieldOffset, 8), partial);
    if (::fsync(file.get()) != 0) throwSystemError(errno, partial);
    file.close();

    // One rename replaces any earlier media, so a failed commit never loses the earlier lesson.
    if (::rename(partial.c_str(), media.c_str()) != 0) throwSystemError(errno, media);
    setMode(media, kFileMode);
    removeFile(resumeURL(request.assetId));
    saveMetadata(VaultItem::fromRequest(request, ownerHash(request.ownerKey), plainSize));
}

void VaultManager::requireNotStoredForAnotherAccount(OwnedLesson lesson) const {
    if (!DownloadRequest::isSafeAssetId(lesson.assetId)) return;
    std::optional<std::string> content = readSmallFile(AT_FDCWD, metadataURL(lesson.assetId).c_str());
    if (!content) return;
    // Only the owner tag is read: metadata damaged elsewhere still protects its lesson.
    Json metadata = Json::parse(*content, nullptr, /*allow_exceptions=*/false);
    const Json* owner = metadata.is_object() ? payloadValue(metadata, "ownerHash") : nullptr;
    if (owner && owner->is_string() && owner->get_ref<const std::string&>() != ownerHash(lesson.ownerKey)) {
        throw VelmoraError(kStoredForAnotherAccount);
    }
}

void VaultManager::cleanPartial(std::string_view assetId) const {
    if (!DownloadRequest::isSafeAssetId(assetId)) return;
    removeFile(partialURL(assetId));
    removeFile(resumeURL(assetId));
}

void VaultManager::repairInterruptedCommits() const {
    Directory directory(::opendir(rootURL().c_str()));
    if (!directory) return;
    const FolderListing folder = listFolder(directory.get());
    for (const std::string& name : folder.metadataNames) {
        std::optional<std::string> content = readSmallFile(::dirfd(directory.get()), name.c_str());
        std::optional<VaultItem> item = content ? VaultItem::decodeJSON(*content) : std::nullopt;
        if (!item || name != item->assetId + ".json" || !folder.mediaNames.contains(item->assetId + ".vlmedia")) continue;
        std::optional<std::uint64_t> committed = committedPlainSize(mediaURL(item->assetId));
        if (!committed || *committed == item->size) continue;
        item->size = *committed;
        try {
            saveMetadata(*item);
        } catch (const std::exception&) {
            // The lesson stays as it was; the next start tries again.
        }
    }
}

std::uint64_t VaultManager::plainSize(OwnedLesson lesson) const {
    std::optional<VaultItem> item = ownedItem(lesson);
    if (!item) throw VelmoraError(kCannotReadForeign);
    return item->size;
}

void VaultManager::saveResumeRecord(const ResumeRecord& record) const {
    DownloadRequest::requireSafeAssetId(record.request.assetId);
    writeFileAtomically(resumeURL(record.request.assetId), bytesOf(record.encodedJSON()), kFileMode);
}

std::optional<ResumeRecord> VaultManager::resumeRecord(std::string_view assetId) const {
    if (!DownloadRequest::isSafeAssetId(assetId)) return std::nullopt;
    std::optional<std::string> content = readSmallFile(AT_FDCWD, resumeURL(assetId).c_str());
    std::optional<ResumeRecord> record = content ? ResumeRecord::decodeJSON(*content) : std::nullopt;
    if (!record || record->request.assetId != assetId) return std::nullopt;
    return record;
}

std::vector<ResumeRecord> VaultManager::keptDownloads() const {
    Directory directory(::opendir(rootURL().c_str()));
    if (!directory) return {};
    std::vector<ResumeRecord> kept;
    while (const dirent* entry = ::readdir(directory.get())) {
        std::string_view assetId = assetIdOf(entry->d_name, kResumeExtension);
        if (assetId.empty() || ::faccessat(::dirfd(directory.get()), partialURL(assetId).filename().c_str(), F_OK, 0) != 0) continue;
        if (std::optional<ResumeRecord> record = resumeRecord(assetId)) kept.push_back(std::move(*record));
    }
    return kept;
}

bool VaultManager::keepResumablePartial(std::string_view assetId) const {
    std::optional<ResumeRecord> record = resumeRecord(assetId);
    if (!record) return false;
    const fs::path path = partialURL(assetId);
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return false;
    FileDescriptor file(fd);
    struct stat info {};
    Bytes header(headerSize);
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        ::pread(file.get(), header.data(), header.size(), 0) != static_cast<ssize_t>(header.size()) || header != makeHeader()) {
        return false;
    }
    std::uint64_t whole = (static_cast<std::uint64_t>(info.st_size) - headerSize) / kRecordStrideBytes;
    if (record->length != 0) whole = std::min(whole, record->length / chunkSize);
    if (whole < record->records) return false;
    const SecretBytes mediaKey = key(record->request.lesson());
    // Records past the count may have been cut short by a power loss; the counted ones were whole
    // when the record was written, so the last of them must open.
    while (whole > 0 && !wholeRecordOpens(file.get(), whole - 1, mediaKey.span())) {
        if (whole == record->records) return false;
        --whole;
    }
    if (::ftruncate(file.get(), static_cast<off_t>(headerSize + whole * kRecordStrideBytes)) != 0) return false;
    if (whole == record->records) return true;
    record->records = whole;
    try {
        saveResumeRecord(*record);
    } catch (const std::exception&) {
        // The earlier count still holds: the records it counts are all in place.
    }
    return true;
}

void VaultManager::removeLeftoverPartials() const {
    Directory directory(::opendir(rootURL().c_str()));
    if (!directory) return;
    std::vector<std::string> partials;
    std::vector<std::string> records;
    while (const dirent* entry = ::readdir(directory.get())) {
        if (std::string_view id = assetIdOf(entry->d_name, kPartialExtension); !id.empty()) partials.emplace_back(id);
        if (std::string_view id = assetIdOf(entry->d_name, kResumeExtension); !id.empty()) records.emplace_back(id);
    }
    std::unordered_set<std::string> kept;
    for (const std::string& assetId : partials) {
        if (keepResumablePartial(assetId)) {
            kept.insert(assetId);
        } else {
            ::unlinkat(::dirfd(directory.get()), partialURL(assetId).filename().c_str(), 0);
        }
    }
    for (const std::string& assetId : records) {
        if (!kept.contains(assetId)) ::unlinkat(::dirfd(directory.get()), resumeURL(assetId).filename().c_str(), 0);
    }
}

}  // namespace velmora
