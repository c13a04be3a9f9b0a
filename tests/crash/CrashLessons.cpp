#include "CrashLessons.h"

#include <string_view>

namespace velmora::crash {

namespace {

constexpr std::string_view kAssetPrefix = "crash-lesson-";
constexpr std::uint64_t kSmallestSizeBytes = 1'100'000;  // always more than one record
constexpr std::uint64_t kSizeSpreadBytes = 5'000'000;

std::uint64_t splitMix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

std::uint64_t versionSeed(int lesson, std::uint64_t version) {
    return splitMix(static_cast<std::uint64_t>(lesson) * 0x100000001b3ULL ^ splitMix(version));
}

}  // namespace

std::string assetIdOf(int lesson) { return std::string(kAssetPrefix) + std::to_string(lesson); }

int lessonOf(const std::string& assetId) {
    if (!assetId.starts_with(kAssetPrefix)) return 0;
    std::string number = assetId.substr(kAssetPrefix.size());
    for (int lesson = 1; lesson <= kLessonCount; ++lesson) {
        if (number == std::to_string(lesson)) return lesson;
    }
    return 0;
}

std::uint64_t versionSize(int lesson, std::uint64_t version) {
    return kSmallestSizeBytes + versionSeed(lesson, version) % kSizeSpreadBytes;
}

// Byte i is the (i % 8)-th byte of splitMix(seed + i / 8): any range can be made without the rest.
Bytes versionBytes(int lesson, std::uint64_t version, std::uint64_t offset, std::size_t length) {
    const std::uint64_t seed = versionSeed(lesson, version);
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        std::uint64_t position = offset + i;
        bytes[i] = static_cast<std::uint8_t>(splitMix(seed + position / 8) >> (8 * (position % 8)));
    }
    return bytes;
}

bool versionFails(std::uint64_t version) { return version % 7 == 0; }

}  // namespace velmora::crash
