// Vault benchmarks: sealing records, sequential and random ranged reads of a 256 MiB lesson, and
// listing 1,000 lessons. Each ratio compares the vault with the least raw OpenSSL work that yields
// the same bytes, the two sides interleaved round by round in this run so that machine load falls
// on both alike. Prints "<figure> <value> [unit]" lines.
#include "core/Files.h"
#include "vault/LessonWriter.h"
#include "vault/VaultManager.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunk = VaultManager::chunkSize;
constexpr std::size_t kOverhead = VaultManager::recordOverhead;
constexpr std::uint64_t kLessonBytes = 256ull << 20;
constexpr std::uint64_t kPieceBytes = 2ull << 20;  // what the media scheme asks for at a time
constexpr const char* kOwner = "bench-owner";

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double threadCpuMilliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

double percentile(std::vector<double> samples, double fraction) {
    std::sort(samples.begin(), samples.end());
    auto index = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(index, samples.size() - 1)];
}

double median(std::vector<double> samples) { return percentile(std::move(samples), 0.5); }

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

// A temporary folder removed with its content at the end.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "velmora-bench-XXXXXX").string();
        check(::mkdtemp(pattern.data()) != nullptr, "mkdtemp");
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

// Baseline: AES-256-GCM with one context keyed once; per record only a new nonce is set.
class RawGcm {
public:
    RawGcm(ByteView key, bool encrypt) : context_(EVP_CIPHER_CTX_new()), encrypt_(encrypt) {
        check(context_ && EVP_CipherInit_ex2(context_.get(), EVP_aes_256_gcm(), key.data(), nullptr, encrypt, nullptr) == 1,
              "raw GCM init");
    }

    // Writes a record (length, nonce, tag, ciphertext) of `chunk` to `record`.
    void seal(ByteView chunk, std::uint8_t* record) {
        const auto n = static_cast<std::uint32_t>(chunk.size());
        record[0] = static_cast<std::uint8_t>(n);
        record[1] = static_cast<std::uint8_t>(n >> 8);
        record[2] = static_cast<std::uint8_t>(n >> 16);
        record[3] = static_cast<std::uint8_t>(n >> 24);
        check(RAND_bytes(record + 4, 12) == 1, "RAND_bytes");
        int written = 0;
        check(EVP_CipherInit_ex2(context_.get(), nullptr, nullptr, record + 4, 1, nullptr) == 1 &&
                  EVP_EncryptUpdate(context_.get(), record + kOverhead, &written, chunk.data(), static_cast<int>(n)) == 1 &&
                  EVP_EncryptFinal_ex(context_.get(), record + kOverhead + written, &written) == 1 &&
                  EVP_CIPHER_CTX_ctrl(context_.get(), EVP_CTRL_GCM_GET_TAG, 16, record + 16) == 1,
              "raw seal");
    }

    // Opens the record in `record` (prefix then ciphertext) straight into `out`.
    void open(const std::uint8_t* record, std::uint32_t n, std::uint8_t* out) {
        int written = 0;
        check(EVP_CipherInit_ex2(context_.get(), nullptr, nullptr, record + 4, 0, nullptr) == 1 &&
                  EVP_DecryptUpdate(context_.get(), out, &written, record + kOverhead, static_cast<int>(n)) == 1 &&
                  EVP_CIPHER_CTX_ctrl(context_.get(), EVP_CTRL_GCM_SET_TAG, 16, const_cast<std::uint8_t*>(record + 16)) == 1 &&
                  EVP_DecryptFinal_ex(context_.get(), out + written, &written) == 1,
              "raw open");
    }

private:
    CipherContext context_;
    bool encrypt_;
};

Bytes randomChunk(std::size_t size) {
    Bytes bytes(size);
    fillRandom(bytes);
    return bytes;
}

// seal_ratio: raw sealing time over encryptChunk time, same 1 MiB chunks, same key.
void benchSeal() {
    constexpr int kRounds = 15;
    constexpr int kChunksPerRound = 24;
    const Bytes key = randomChunk(32);
    const Bytes chunk = randomChunk(kChunk);
    RawGcm raw(key, true);
    Bytes rawRecord(kChunk + kOverhead);
    Bytes record;
    std::vector<double> rawTimes;
    std::vector<double> vaultTimes;
    std::vector<double> allocatingTimes;
    auto timeRaw = [&] {
        auto start = Clock::now();
        for (int i = 0; i < kChunksPerRound; ++i) raw.seal(chunk, rawRecord.data());
        rawTimes.push_back(millisecondsSince(start));
    };
    auto timeVault = [&] {
        auto start = Clock::now();
        for (int i = 0; i < kChunksPerRound; ++i) VaultManager::encryptChunk(chunk, key, record);
        vaultTimes.push_back(millisecondsSince(start));
    };
    auto timeReturning = [&] {
        auto start = Clock::now();
        for (int i = 0; i < kChunksPerRound; ++i) check(VaultManager::encryptChunk(chunk, key).size() == kChunk + kOverhead, "seal");
        allocatingTimes.push_back(millisecondsSince(start));
    };
    for (int round = 0; round < kRounds; ++round) {
        // Alternating which side goes first keeps warm-up and frequency drift from favouring one.
        if (round % 2 == 0) {
            timeRaw();
            timeVault();
        } else {
            timeVault();
            timeRaw();
        }
        timeReturning();
    }
    const double rawMs = median(rawTimes);
    std::printf("seal_raw_mib_per_s %.0f MiB/s\n", kChunksPerRound / (rawMs / 1000.0));
    std::printf("seal_mib_per_s %.0f MiB/s\n", kChunksPerRound / (median(vaultTimes) / 1000.0));
    std::printf("seal_ratio %.3f\n", rawMs / median(vaultTimes));
    std::printf("seal_returning_buffer_ratio %.3f\n", rawMs / median(allocatingTimes));
}

DownloadRequest benchRequest(const std::string& assetId, int number) {
    static const char* const kClasses[] = {"初二数学", "高一物理", "英语阅读", "Chemistry", "编程入门"};
    DownloadRequest request;
    request.ownerKey = kOwner;
    request.token = "bench-token";
    request.classTitle = kClasses[number % 5];
    request.courseTitle = "课程";
    request.chapterTitle = "章节";
    request.lessonTitle = "第" + std::to_string(number) + "课";
    request.coverUrl = "https://img.velmora.test/" + assetId + ".png";
    request.assetId = assetId;
    request.classId = 1 + number % 5;
    request.courseIndex = number % 7;
    request.chapterIndex = number % 11;
    request.lessonIndex = number % 13;
    request.lessonId = number + 1;
    return request;
}

// Seals `plainBytes` random bytes with the lesson writer, as a download does, and commits them.
void storeLesson(const VaultManager& vault, const DownloadRequest& request, std::uint64_t plainBytes) {
    LessonWriter writer(vault, request);
    const Bytes chunk = randomChunk(kChunk);
    for (std::uint64_t done = 0; done < plainBytes; done += kChunk) {
        writer.append(ByteView(chunk).first(static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, plainBytes - done))));
    }
    writer.commit();
}

// Baseline for one piece: one pread per record into a reused buffer, opened straight into `out`.
void rawReadPiece(int fd, RawGcm& gcm, Bytes& recordBuffer, std::uint64_t start, std::uint64_t endInclusive,
                  std::uint8_t* out) {
    for (std::uint64_t index = start / kChunk; index <= endInclusive / kChunk; ++index) {
        const off_t offset = static_cast<off_t>(VaultManager::headerSize + index * (kChunk + kOverhead));
        check(::pread(fd, recordBuffer.data(), recordBuffer.size(), offset) > static_cast<ssize_t>(kOverhead), "pread");
        const std::uint32_t n = recordBuffer[0] | recordBuffer[1] << 8 | recordBuffer[2] << 16 | recordBuffer[3] << 24;
        gcm.open(recordBuffer.data(), n, out + (index * kChunk - start));
    }
}

// read_seq_ratio and read_random_p99_ms over one 256 MiB lesson in the page cache.
void benchReads(const fs::path& root) {
    VaultManager vault(root, SecretBytes(randomChunk(32)));
    const DownloadRequest request = benchRequest("bench-lesson", 1);
    storeLesson(vault, request, kLessonBytes);

    const SecretBytes key = vault.key({kOwner, request.assetId});
    RawGcm raw(key.span(), false);
    FileDescriptor file = openFile(vault.mediaURL(request.assetId), O_RDONLY);
    Bytes recordBuffer(kChunk + kOverhead);
    Bytes rawOut(kPieceBytes);

    auto vaultPass = [&] {
        auto start = Clock::now();
        for (std::uint64_t at = 0; at < kLessonBytes; at += kPieceBytes) {
            check(vault.readRange({kOwner, request.assetId}, at, at + kPieceBytes - 1).size() == kPieceBytes, "readRange size");
        }
        return millisecondsSince(start);
    };
    auto rawPass = [&] {
        auto start = Clock::now();
        for (std::uint64_t at = 0; at < kLessonBytes; at += kPieceBytes) {
            rawReadPiece(file.get(), raw, recordBuffer, at, at + kPieceBytes - 1, rawOut.data());
        }
        return millisecondsSince(start);
    };

    // Both sides must yield the same bytes.
    rawReadPiece(file.get(), raw, recordBuffer, 4 * kPieceBytes, 5 * kPieceBytes - 1, rawOut.data());
    check(vault.readRange({kOwner, request.assetId}, 4 * kPieceBytes, 5 * kPieceBytes - 1) == rawOut, "same bytes");

    vaultPass();  // warms the page cache and the allocator
    std::vector<double> rawTimes;
    std::vector<double> vaultTimes;
    for (int round = 0; round < 8; ++round) {
        if (round % 2 == 0) {
            rawTimes.push_back(rawPass());
            vaultTimes.push_back(vaultPass());
        } else {
            vaultTimes.push_back(vaultPass());
            rawTimes.push_back(rawPass());
        }
    }
    std::printf("read_seq_mib_per_s %.0f MiB/s\n", (kLessonBytes >> 20) / (median(vaultTimes) / 1000.0));
    std::printf("read_seq_ratio %.3f\n", median(rawTimes) / median(vaultTimes));

    std::mt19937_64 random(20261207);
    std::uniform_int_distribution<std::uint64_t> startAt(0, kLessonBytes - kPieceBytes);
    std::vector<double> latencies;
    std::vector<double> cpuTimes;
    for (int i = 0; i < 1000; ++i) {
        const std::uint64_t start = startAt(random);
        const double cpuBefore = threadCpuMilliseconds();
        auto begin = Clock::now();
        Bytes piece = vault.readRange({kOwner, request.assetId}, start, start + kPieceBytes - 1);
        latencies.push_back(millisecondsSince(begin));
        cpuTimes.push_back(threadCpuMilliseconds() - cpuBefore);
        check(piece.size() == kPieceBytes, "random piece size");
    }
    std::printf("read_random_p50_ms %.3f ms\n", percentile(latencies, 0.50));
    std::printf("read_random_p99_ms %.3f ms\n", percentile(latencies, 0.99));
    // The same calls' own CPU time: what the p99 would be without other processes taking the cores.
    std::printf("read_random_cpu_p99_ms %.3f ms\n", percentile(cpuTimes, 0.99));
}

// list_1000_ms: list() over 1,000 committed lessons of one account.
void benchList(const fs::path& root) {
    VaultManager vault(root, SecretBytes(randomChunk(32)));
    for (int i = 0; i < 1000; ++i) storeLesson(vault, benchRequest("lesson-" + std::to_string(i), i), 1024);
    check(vault.list(kOwner).size() == 1000, "all lessons listed");
    std::vector<double> times;
    for (int run = 0; run < 30; ++run) {
        auto start = Clock::now();
        check(vault.list(kOwner).size() == 1000, "all lessons listed");
        times.push_back(millisecondsSince(start));
    }
    std::printf("list_1000_ms %.2f ms\n", median(times));
    std::printf("list_1000_max_ms %.2f ms\n", *std::max_element(times.begin(), times.end()));
}

}  // namespace
}  // namespace velmora

// bench_vault [seal] [read] [list]: the named groups, or all of them.
int main(int argc, char** argv) {
    std::vector<std::string> groups(argv + 1, argv + argc);
    auto wanted = [&](const char* group) { return groups.empty() || std::find(groups.begin(), groups.end(), group) != groups.end(); };
    try {
        if (wanted("seal")) velmora::benchSeal();
        std::fflush(stdout);
        if (wanted("read")) {
            velmora::ScratchFolder folder;
            velmora::benchReads(folder.path());
        }
        std::fflush(stdout);
        if (wanted("list")) {
            velmora::ScratchFolder folder;
            velmora::benchList(folder.path());
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_vault: %s\n", error.what());
        return 1;
    }
    return 0;
}
