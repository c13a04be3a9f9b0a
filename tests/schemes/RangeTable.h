#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velmora::test {

// How a 1,000-byte lesson answers each Range header: status, Content-Range and the bytes served.
struct RangeRow {
    std::string name;
    std::optional<std::string> header;
    int status;
    std::uint64_t start;
    std::uint64_t end;
};

inline constexpr std::uint64_t kTableLessonSize = 1000;

inline std::vector<RangeRow> rangeTable() {
    return {
        {"None", std::nullopt, 200, 0, 999},
        {"OpenFromZero", "bytes=0-", 206, 0, 999},
        {"Closed", "bytes=100-199", 206, 100, 199},
        {"EndClamped", "bytes=900-2000", 206, 900, 999},
        {"Suffix", "bytes=-100", 206, 900, 999},
        {"SuffixLongerThanMedia", "bytes=-2000", 206, 0, 999},
        {"SuffixZero", "bytes=-0", 200, 0, 999},
        {"StartAtSize", "bytes=1000-", 200, 0, 999},
        {"EndBeforeStart", "bytes=500-100", 200, 0, 999},
        {"StartNotANumber", "bytes=abc-", 200, 0, 999},
        {"OtherUnit", "items=0-10", 200, 0, 999},
        {"SpaceBeforeRange", "bytes= 0-10", 200, 0, 999},
        {"UnitAlone", "bytes=", 200, 0, 999},
        {"OnlyComma", "bytes=,", 200, 0, 999},
        {"UpperCaseUnit", "BYTES=0-9", 206, 0, 9},
        {"SeveralRanges", "bytes=0-9,20-29", 206, 0, 9},
        {"EndNotANumber", "bytes=5-x", 206, 5, 999},
        {"TwoDashes", "bytes=5-10-20", 206, 5, 999},
    };
}

// The five headers a row's answer carries, names as the media handler spells them or lower-cased.
inline std::map<std::string, std::string> rangeHeaders(const RangeRow& row, bool lowerCased = false) {
    auto range = "bytes " + std::to_string(row.start) + "-" + std::to_string(row.end) + "/" + std::to_string(kTableLessonSize);
    return {{lowerCased ? "content-type" : "Content-Type", "video/mp4"},
            {lowerCased ? "accept-ranges" : "Accept-Ranges", "bytes"},
            {lowerCased ? "content-length" : "Content-Length", std::to_string(row.end - row.start + 1)},
            {lowerCased ? "content-range" : "Content-Range", range},
            {lowerCased ? "cache-control" : "Cache-Control", "no-store"}};
}

// The row's slice of `lesson`.
template <typename Container>
Container rangeBody(const std::vector<std::uint8_t>& lesson, const RangeRow& row) {
    return Container(lesson.begin() + static_cast<std::ptrdiff_t>(row.start),
                     lesson.begin() + static_cast<std::ptrdiff_t>(row.end + 1));
}

}  // namespace velmora::test
