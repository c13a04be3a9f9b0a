// The catalogue over a lesson's metadata file holding any bytes: list, plainSize and updateMetadata
// give a clear error or a sound answer, and a second lesson of the same account is left as it was
// (unless the fuzzed entry records that lesson's identifier: entries are saved under their own).
#include <set>

#include "FuzzInput.h"
#include "bridge/Utf8Validation.h"
#include "core/VelmoraError.h"
#include "schemes/StoredLesson.h"
#include "support/TempDirectory.h"
#include "vault/VaultManager.h"

namespace {

using namespace velmora;

constexpr std::string_view kOwner = "owner-K";

struct Fixture {
    Fixture() {
        test::storeLesson(vault, "lesson-1", std::string(kOwner), test::lessonBytes(2000, 1));
        test::storeLesson(vault, "lesson-keep", std::string(kOwner), test::lessonBytes(2000, 2));
        keptMetadata = test::readText(vault.metadataURL("lesson-keep"));
    }
    test::TempDirectory root;
    VaultManager vault{root.path(), SecretBytes(Bytes(32, 7))};
    std::string keptMetadata;
};

Fixture& fixture() {
    static Fixture* shared = new Fixture;  // one vault for the whole run, as the app has
    return *shared;
}

// Titles come from the page's JSON, so they are always UTF-8.
std::string title(fuzz::FuzzInput& input) {
    std::string text = input.text(1200);
    return isValidUTF8(text) ? text : std::string();
}

void checkList(const VaultManager& vault) {
    bool kept = false;
    std::set<std::string> listed;
    for (const VaultItem& item : vault.list(kOwner)) {
        fuzz::check(item.ownerHash == VaultManager::ownerHash(kOwner), "a listed lesson of another account");
        fuzz::check(DownloadRequest::isSafeAssetId(item.assetId), "a listed lesson with an unsafe identifier");
        fuzz::check(listed.insert(item.assetId).second, "a lesson listed twice");
        kept = kept || item.assetId == "lesson-keep";
    }
    fuzz::check(kept, "the untouched lesson left the list");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fixture& f = fixture();
    fuzz::FuzzInput input(data, size);
    std::string course = title(input);
    std::string chapter = title(input);
    std::int64_t courseIndex = static_cast<std::int64_t>(input.integer(8));
    std::int64_t chapterIndex = static_cast<std::int64_t>(input.integer(8));
    std::int64_t lessonIndex = static_cast<std::int64_t>(input.integer(8));
    const std::string metadata = input.rest();
    test::writeFile(f.vault.metadataURL("lesson-1"), metadata);
    std::optional<VaultItem> fuzzed = VaultItem::decodeJSON(metadata);
    const bool namesKept = fuzzed && fuzzed->assetId == "lesson-keep";

    checkList(f.vault);
    try {
        f.vault.plainSize({kOwner, "lesson-1"});
    } catch (const VelmoraError&) {
    }
    try {
        f.vault.updateMetadata({kOwner, "lesson-1"}, course, chapter, courseIndex, chapterIndex, lessonIndex);
        // Saved under the identifier the entry records, which is usually its own.
        std::optional<VaultItem> item = VaultItem::decodeJSON(test::readText(f.vault.metadataURL(fuzzed->assetId)));
        fuzz::check(item && item->assetId == fuzzed->assetId, "an update that lost the lesson's entry");
        fuzz::check(item->courseTitle.find_first_of(std::string("\r\n\0", 3)) == std::string::npos, "a title kept a line break");
        fuzz::check(item->courseIndex >= 0 && item->chapterIndex >= 0 && item->lessonIndex >= 0, "a negative position kept");
    } catch (const VelmoraError&) {
    } catch (const std::invalid_argument&) {
        fuzz::check(!DownloadRequest::isSafeAssetId(fuzzed->assetId), "an update refused a safe entry");
    }
    if (namesKept) test::writeFile(f.vault.metadataURL("lesson-keep"), f.keptMetadata);
    if (fuzzed && fuzzed->assetId != "lesson-1" && !namesKept && DownloadRequest::isSafeAssetId(fuzzed->assetId)) {
        std::filesystem::remove(f.vault.metadataURL(fuzzed->assetId));  // the next input starts from two lessons again
    }
    fuzz::check(test::readText(f.vault.metadataURL("lesson-keep")) == f.keptMetadata, "another lesson's entry changed");
    checkList(f.vault);
    return 0;
}
