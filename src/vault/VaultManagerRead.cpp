// Ranged decryption of vault media: maps a plaintext range to the records that hold it and opens
// only those. Keeps nothing between calls, so any thread may call it (the media serving queue does,
// while the main thread and download queues run catalogue operations).
#include "vault/VaultManager.h"

#include "core/Files.h"
#include "core/VelmoraError.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <stdexcept>

namespace velmora {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPrefixIncomplete = "离线媒体密文不完整";
constexpr const char* kRecordDamaged = "离线媒体分块损坏";

constexpr unsigned kChunkShift = 20;  // chunkSize == 1 << 20
static_assert(VaultManager::chunkSize == (std::uint64_t{1} << kChunkShift));
constexpr std::uint64_t kRecordStrideBytes = VaultManager::chunkSize + VaultManager::recordOverhead;
// Records past this index would start beyond the largest file offset.
constexpr std::uint64_t kLastAddressableRecord =
    (static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - VaultManager::headerSize) / kRecordStrideBytes - 1;

using RecordPrefix = std::array<std::uint8_t, VaultManager::recordOverhead>;

// Reads up to out.size() bytes at `offset`, stopping early only at the end of the file.
std::size_t preadUpTo(int fd, std::span<std::uint8_t> out, std::uint64_t offset, const fs::path& path) {
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t got = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            throwSystemError(errno, path);
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

std::uint32_t lengthField(const RecordPrefix& prefix) {
    return static_cast<std::uint32_t>(prefix[0]) | static_cast<std::uint32_t>(prefix[1]) << 8 |
           static_cast<std::uint32_t>(prefix[2]) << 16 | static_cast<std::uint32_t>(prefix[3]) << 24;
}

// One record of an open media file, read and authenticated in place in `buffer`.
class RecordReader {
public:
    RecordReader(int fd, const fs::path& path, ByteView key) : fd_(fd), path_(path), key_(key) {}

    // The plaintext length of record `index`, from its prefix (kept for open()).
    std::uint32_t readPrefix(std::uint64_t index) {
        if (index > kLastAddressableRecord) throw VelmoraError(kPrefixIncomplete);
        offset_ = VaultManager::headerSize + index * kRecordStrideBytes;
        if (preadUpTo(fd_, prefix_, offset_, path_) != prefix_.size()) throw VelmoraError(kPrefixIncomplete);
        std::uint32_t length = lengthField(prefix_);
        if (length == 0 || length > VaultManager::chunkSize) throw VelmoraError(kRecordDamaged);
        return length;
    }

    // Reads the ciphertext (plaintext length bytes) into `buffer` and decrypts it there.
    void open(std::span<std::uint8_t> buffer) {
        if (preadUpTo(fd_, buffer, offset_ + VaultManager::recordOverhead, path_) != buffer.size()) {
            throw VelmoraError(kRecordDamaged);
        }
        ByteView nonce(prefix_.data() + 4, kGcmNonceSizeBytes);
        ByteView tag(prefix_.data() + 4 + kGcmNonceSizeBytes, kGcmTagSizeBytes);
        if (!AesGcm256::open(key_, nonce, buffer, {}, tag, buffer)) {
            throw RecordAuthenticationError();
        }
    }

private:
    int fd_;
    const fs::path& path_;
    ByteView key_;
    RecordPrefix prefix_{};
    std::uint64_t offset_ = 0;
};

}  // namespace

Bytes VaultManager::readRange(OwnedLesson lesson, std::uint64_t start, std::uint64_t endInclusive) const {
    std::optional<VaultItem> item = ownedItem(lesson);
    if (!item) throw VelmoraError(kCannotReadForeign);
    const std::uint64_t size = item->size;
    if (size == 0 || start >= size || endInclusive < start) throw VelmoraError(kInvalidRange);
    const std::uint64_t end = std::min(endInclusive, size - 1);

    const SecretBytes mediaKey = key(lesson);
    const fs::path path = mediaURL(lesson.assetId);
    FileDescriptor file = openFile(path, O_RDONLY);
    RecordReader reader(file.get(), path, mediaKey.span());

    // The file bounds what can come back: a size in the metadata far past it must not reserve
    // memory that no record can fill.
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) throwSystemError(errno, path);
    Bytes output;
    output.reserve(std::min<std::uint64_t>(end - start + 1, static_cast<std::uint64_t>(info.st_size)));
    Bytes scratch;  // records only partly wanted are opened here, then the wanted slice is copied
    for (std::uint64_t index = start >> kChunkShift; index <= end >> kChunkShift; ++index) {
        const std::uint64_t chunkStart = index << kChunkShift;
        const std::uint32_t length = reader.readPrefix(index);
        if (start <= chunkStart && chunkStart + length <= end + 1) {
            // Wholly wanted: decrypt straight into the result, no copy.
            const std::size_t at = output.size();
            output.resize(at + length);
            reader.open(std::span(output).subspan(at, length));
            continue;
        }
        scratch.resize(length);
        reader.open(scratch);
        const std::uint64_t lo = std::max(start, chunkStart) - chunkStart;
        const std::uint64_t hi = std::min(chunkStart + length, end + 1) - chunkStart;
        if (hi < lo) throw VelmoraError(kRecordTooShort);
        output.insert(output.end(), scratch.begin() + static_cast<std::ptrdiff_t>(lo),
                      scratch.begin() + static_cast<std::ptrdiff_t>(hi));
    }
    return output;
}

}  // namespace velmora
