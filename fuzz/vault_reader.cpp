// The vault's ranged reader over a media file built from the input: sealed records of chosen
// lengths, then bytes changed and the file cut short, or raw bytes; the metadata's size is true or
// chosen. readRange over the input's ranges gives a clear error or at most the bytes asked for (a
// short record shortens the answer), exactly the true ones when the file is sound; never a crash,
// an over-read or an allocation the file cannot back.
#include <algorithm>

#include "FuzzInput.h"
#include "core/VelmoraError.h"
#include "schemes/StoredLesson.h"
#include "support/TempDirectory.h"
#include "vault/VaultManager.h"

namespace {

using namespace velmora;

constexpr std::string_view kOwner = "owner-K";
constexpr std::string_view kAsset = "lesson-1";

struct Fixture {
    test::TempDirectory root;
    VaultManager vault{root.path(), SecretBytes(Bytes(32, 7))};
    SecretBytes key = vault.key({kOwner, kAsset});
};

Fixture& fixture() {
    static Fixture* shared = new Fixture;
    return *shared;
}

// Record i's plaintext: the lesson bytes of its own seed, so every record differs.
Bytes recordPlaintext(std::size_t index, std::size_t length) {
    return test::lessonBytes(length, static_cast<std::uint32_t>(index + 1));
}

struct Built {
    Bytes file;
    std::vector<std::size_t> lengths;  // plaintext length of each sealed record
    std::vector<Bytes> plaintexts;
    bool sound = true;  // sealed, untouched and laid out as a download writes it
};

Built build(fuzz::FuzzInput& input, std::uint8_t flags) {
    Built built;
    if (flags & 1) {
        built.sound = false;
        std::string raw = input.text(1 << 16);
        built.file.assign(raw.begin(), raw.end());
        return built;
    }
    std::size_t records = 1 + input.byte() % 3;
    for (std::size_t i = 0; i < records; ++i) {
        std::uint16_t chosen = static_cast<std::uint16_t>(input.integer(2));
        built.lengths.push_back(chosen == 0 ? VaultManager::chunkSize : chosen);
    }
    std::uint64_t total = 0;
    for (std::size_t length : built.lengths) total += length;
    built.file = VaultManager::makeHeader(total);
    for (std::size_t i = 0; i < records; ++i) {
        if (i + 1 < records && built.lengths[i] != VaultManager::chunkSize) built.sound = false;
        built.plaintexts.push_back(recordPlaintext(i, built.lengths[i]));
        Bytes record = VaultManager::encryptChunk(built.plaintexts.back(), fixture().key.span());
        built.file.insert(built.file.end(), record.begin(), record.end());
    }
    for (int edits = input.byte() % 4; edits > 0; --edits) {
        std::uint64_t at = input.integer(4) % built.file.size();
        built.file[at] ^= std::max<std::uint8_t>(input.byte(), 1);
        built.sound = false;
    }
    if (std::uint32_t cut = static_cast<std::uint32_t>(input.integer(4)); cut != 0 && cut < built.file.size()) {
        built.file.resize(cut);
        built.sound = false;
    }
    return built;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fixture& f = fixture();
    fuzz::FuzzInput input(data, size);
    std::uint8_t flags = input.byte();
    std::uint64_t chosenSize = input.integer(8) >> (input.byte() % 64);
    Built built = build(input, flags);
    std::uint64_t total = 0;
    for (std::size_t length : built.lengths) total += length;
    bool trueSize = (flags & 2) == 0 && !built.lengths.empty();

    test::writeFile(f.vault.mediaURL(kAsset), ByteView(built.file));
    VaultItem item;
    item.assetId = kAsset;
    item.ownerHash = VaultManager::ownerHash(kOwner);
    item.classId = 1;
    item.lessonId = 1;
    item.size = trueSize ? total : chosenSize;
    item.state = std::string(VaultItem::kCompletedState);
    f.vault.saveMetadata(item);

    while (!input.empty()) {
        std::uint64_t start = input.integer(8) >> (input.byte() % 64);
        std::uint64_t end = (flags & 4) ? input.integer(8) : start + input.integer(3);
        Bytes got;
        try {
            got = f.vault.readRange({kOwner, kAsset}, start, end);
        } catch (const std::runtime_error&) {
            fuzz::check(!(built.sound && trueSize && start < total && start <= end), "a sound lesson refused a valid range");
            continue;
        }
        fuzz::check(start < item.size && start <= end, "bytes for a range outside the lesson");
        std::uint64_t last = std::min(end, item.size - 1);
        fuzz::check(got.size() <= last - start + 1, "a range answered with more bytes than asked");
        if (!(built.sound && trueSize)) continue;
        fuzz::check(got.size() == last - start + 1, "a sound lesson answered with another length");
        for (std::uint64_t at = start; at <= last; ++at) {
            const Bytes& plain = built.plaintexts[at / VaultManager::chunkSize];
            fuzz::check(got[at - start] == plain[at % VaultManager::chunkSize], "a range answered with other bytes");
        }
    }
    return 0;
}
