#include "CrashChecker.h"

#include "CrashJournal.h"
#include "CrashLessons.h"

#include "core/Files.h"
#include "securestore/DeviceSecureStore.h"
#include "vault/VaultManager.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace velmora::crash {

namespace {

constexpr std::uint64_t kPieceBytes = 2 * 1024 * 1024;  // what the media handler asks for at a time

// Reads the lesson back piece by piece and names the version it holds, or nullopt.
// Whether the kept ".part" of `record` holds exactly its counted records, the last of them opening
// under the lesson's key to the recorded version's bytes.
bool lastKeptRecordHolds(const VaultManager& vault, const ResumeRecord& record) {
    constexpr std::uint64_t kStride = VaultManager::chunkSize + VaultManager::recordOverhead;
    const std::filesystem::path partial = vault.partialURL(record.request.assetId);
    Bytes file = readWholeFile(partial);
    if (file.size() != VaultManager::headerSize + record.records * kStride) return false;
    if (record.records == 0) return true;
    const std::uint8_t* last = file.data() + VaultManager::headerSize + (record.records - 1) * kStride;
    ByteView nonce(last + 4, kGcmNonceSizeBytes);
    ByteView tag(last + 4 + kGcmNonceSizeBytes, kGcmTagSizeBytes);
    ByteView sealed(last + VaultManager::recordOverhead, VaultManager::chunkSize);
    Bytes plain(VaultManager::chunkSize);
    const SecretBytes key = vault.key(record.request.lesson());
    if (!AesGcm256::open(key.span(), nonce, sealed, {}, tag, plain)) return false;
    return plain == versionBytes(lessonOf(record.request.assetId), static_cast<std::uint64_t>(record.request.lessonId),
                                 (record.records - 1) * VaultManager::chunkSize, VaultManager::chunkSize);
}

std::optional<std::uint64_t> versionHeld(const VaultManager& vault, const VaultItem& item,
                                         const std::set<std::uint64_t>& candidates) {
    const int lesson = lessonOf(item.assetId);
    std::vector<std::uint64_t> left;
    for (std::uint64_t version : candidates) {
        if (versionSize(lesson, version) == item.size) left.push_back(version);
    }
    for (std::uint64_t offset = 0; offset < item.size && !left.empty(); offset += kPieceBytes) {
        Bytes piece = vault.readRange({.ownerKey = kOwnerKey, .assetId = item.assetId}, offset, offset + kPieceBytes - 1);
        std::erase_if(left, [&](std::uint64_t version) { return piece != versionBytes(lesson, version, offset, piece.size()); });
    }
    if (left.empty()) return std::nullopt;
    return left.front();
}

// A kept ".part" must be resumable: its resume record decodes, the file holds exactly the records
// it counts, and the last of them opens to the bytes of the version it records. Counts those that
// are not and removes them.
int countUnresumablePartials(const VaultManager& vault) {
    int count = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(vault.rootURL(), error)) {
        if (entry.path().extension() != ".part") continue;
        const std::string assetId = entry.path().stem().string();
        std::optional<ResumeRecord> record = vault.resumeRecord(assetId);
        if (!record || !lastKeptRecordHolds(vault, *record)) {
            std::fprintf(stderr, "%s.part cannot be resumed\n", assetId.c_str());
            vault.cleanPartial(assetId);
            ++count;
        }
    }
    return count;
}

// The entry as found; a torn one counts and is removed.
std::optional<std::string> checkEntry(const char* name, const CrashExpectation::Entry& expected,
                                      const std::function<std::optional<std::string>()>& load,
                                      const std::function<void()>& remove, CrashFindings& findings) {
    std::optional<std::string> found;
    try {
        found = load();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s does not open: %s\n", name, error.what());
        ++findings.torn;
        remove();
        return std::nullopt;
    }
    if (CrashExpectation::allows(expected, found)) return found;
    std::fprintf(stderr, "%s holds neither the old nor the new value\n", name);
    ++findings.torn;
    return found;
}

}  // namespace

CrashFindings checkAfterKill(const std::filesystem::path& dataRoot, const std::filesystem::path& baseline,
                             const std::filesystem::path& journal) {
    const DeviceSecureStore store(dataRoot, IdentitySource::system());
    VaultManager::configureShared(dataRoot, [store] { return store.loadOrCreateMasterKey(); });
    const VaultManager& vault = VaultManager::openAtStartUp();
    CrashExpectation expected = CrashExpectation::fromBaseline(baseline);
    expected.apply(CrashJournal::read(journal));

    CrashFindings findings;
    findings.stalePart = countUnresumablePartials(vault);
    std::string next;
    std::set<std::string> listed;
    for (const VaultItem& item : vault.list(kOwnerKey)) {
        listed.insert(item.assetId);
        std::set<std::uint64_t> candidates = expected.allowedVersions(item.assetId);
        try {
            if (std::optional<std::uint64_t> version = versionHeld(vault, item, candidates)) {
                next += "lesson " + item.assetId + " " + std::to_string(*version) + "\n";
                continue;
            }
            std::string allowed;
            for (std::uint64_t version : candidates) {
                allowed += " " + std::to_string(version) + " (" + std::to_string(versionSize(lessonOf(item.assetId), version)) + " bytes)";
            }
            std::fprintf(stderr, "%s (%llu bytes, lesson id %lld) holds none of the versions it may hold:%s\n", item.assetId.c_str(),
                         static_cast<unsigned long long>(item.size), static_cast<long long>(item.lessonId), allowed.c_str());
            ++findings.torn;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s does not read back: %s\n", item.assetId.c_str(), error.what());
            ++findings.unreadable;
        }
        vault.deleteItem({.ownerKey = kOwnerKey, .assetId = item.assetId});
    }
    for (int lesson = 1; lesson <= kLessonCount; ++lesson) {
        if (expected.mustBeListed(assetIdOf(lesson)) && !listed.contains(assetIdOf(lesson))) {
            std::fprintf(stderr, "%s was committed and is gone\n", assetIdOf(lesson).c_str());
            ++findings.lost;
        }
    }

    std::optional<std::string> session = checkEntry(
        "the session", expected.session,
        [&]() -> std::optional<std::string> {
            std::optional<DesktopSession> loaded = store.loadSession();
            return loaded ? std::optional(loaded->token) : std::nullopt;
        },
        [&] { store.clearSession(); }, findings);
    if (session) next += "session " + *session + "\n";
    std::optional<std::string> entry = checkEntry(
        "the store entry", expected.store,
        [&]() -> std::optional<std::string> {
            std::optional<SecretBytes> loaded = store.load(kStoreAccount);
            return loaded ? std::optional(hexLower(loaded->span())) : std::nullopt;
        },
        [&] { store.deleteEntry(kStoreAccount); }, findings);
    if (entry) next += "store " + *entry + "\n";

    writeFileAtomically(baseline, bytesOf(next));
    return findings;
}

}  // namespace velmora::crash
