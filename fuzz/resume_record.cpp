// The resume record and the start-up keep/drop rule over a ".part" and its record built from the
// input: a record of any bytes (or a sound one with chosen counts) beside a sealed ".part" that is
// then cut short and edited. Decoding never crashes and what decodes encodes to itself; after the
// start-up rule the ".part" and its record are either both gone or both there, the ".part" holding
// exactly the whole records its record counts, the last of them authentic.
#include "FuzzInput.h"
#include "support/TempDirectory.h"
#include "vault/LessonWriter.h"
#include "vault/VaultManager.h"

#include <fcntl.h>

#include <algorithm>
#include <filesystem>

namespace {

using namespace velmora;

constexpr std::string_view kAsset = "lesson-1";
constexpr std::uint64_t kStride = VaultManager::chunkSize + VaultManager::recordOverhead;

DownloadRequest lessonRequest() {
    DownloadRequest request;
    request.ownerKey = "owner-K";
    request.assetId = std::string(kAsset);
    request.classId = 1;
    request.lessonId = 1;
    return request;
}

struct Fixture {
    Fixture() {
        LessonWriter writer(vault, lessonRequest());
        writer.append(Bytes(2 * VaultManager::chunkSize + 1000, 0x42));
        writer.keepWholeRecords();
        sealed = readWholeFile(vault.partialURL(kAsset));
    }
    test::TempDirectory root;
    VaultManager vault{root.path(), SecretBytes(Bytes(32, 7))};
    Bytes sealed;  // header and two whole records
};

Fixture& fixture() {
    static Fixture* shared = new Fixture;  // one vault for the whole run, as the app has
    return *shared;
}

std::string recordText(fuzz::FuzzInput& input, std::uint8_t flags) {
    if ((flags & 1) == 0) return input.text(4096);
    ResumeRecord record = ResumeRecord::of(lessonRequest(), input.text(64), input.integer(8) >> (input.byte() % 64));
    record.records = input.byte() % 4;
    return record.encodedJSON();
}

Bytes partialBytes(fuzz::FuzzInput& input) {
    Bytes part = fixture().sealed;
    if (std::uint32_t cut = static_cast<std::uint32_t>(input.integer(3)); cut != 0 && cut < part.size()) part.resize(cut);
    for (int edits = input.byte() % 3; edits > 0 && !part.empty(); --edits) {
        part[input.integer(3) % part.size()] ^= std::max<std::uint8_t>(input.byte(), 1);
    }
    return part;
}

void writeBytes(const std::filesystem::path& path, ByteView bytes) {
    FileDescriptor file = openFile(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    writeAll(file.get(), bytes, path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fixture& f = fixture();
    fuzz::FuzzInput input(data, size);
    std::uint8_t flags = input.byte();
    const std::string text = recordText(input, flags);

    std::optional<ResumeRecord> decoded = ResumeRecord::decodeJSON(text);
    if (decoded) {
        fuzz::check(decoded->request.token.empty(), "a decoded record holds a token");
        fuzz::check(ResumeRecord::decodeJSON(decoded->encodedJSON()) == decoded, "a record does not encode to itself");
    }

    writeBytes(f.vault.resumeURL(kAsset), ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    writeBytes(f.vault.partialURL(kAsset), partialBytes(input));
    f.vault.removeLeftoverPartials();

    std::error_code error;
    bool partial = std::filesystem::exists(f.vault.partialURL(kAsset), error);
    std::optional<ResumeRecord> kept = f.vault.resumeRecord(kAsset);
    fuzz::check(partial == kept.has_value() && partial == std::filesystem::exists(f.vault.resumeURL(kAsset), error),
                "a \".part\" and its record parted");
    if (!kept) return 0;
    fuzz::check(std::filesystem::file_size(f.vault.partialURL(kAsset)) == VaultManager::headerSize + kept->records * kStride,
                "a kept \".part\" holds other than its counted records");
    if (kept->records > 0) {
        LessonWriter resumed(f.vault, kept->request, kept->records);
        fuzz::check(resumed.sealedBytes() == kept->records * VaultManager::chunkSize, "a resumed writer starts elsewhere");
        resumed.keepWholeRecords();
    }
    f.vault.cleanPartial(kAsset);
    return 0;
}
