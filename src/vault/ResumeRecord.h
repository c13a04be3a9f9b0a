#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "vault/DownloadRequest.h"

namespace velmora {

// What a kept ".part" needs to be continued later, in another run of the application included:
// stored beside it as "<assetId>.resume" (a safe identifier holds no ".", so the name can never
// end in ".json" and be read as a lesson's metadata). A plain value; JSON on disk, 0600, replaced
// whole.
//
// The lesson's request is kept without its token: a resumed download is authorised again with the
// session held at that time. `validator` is the "If-Range" value of the answer that began the
// ".part" (a strong ETag, else Last-Modified; "" when it gave neither, and the rest cannot be asked
// for), `length` the length it announced (0: none), `records` the whole records the ".part" held
// when this record was written (more may follow it; never fewer are trusted).
struct ResumeRecord {
    DownloadRequest request;  // token always empty
    std::string validator;
    std::uint64_t length = 0;
    std::uint64_t records = 0;
    bool paused = false;  // not running when it was written: stays put until it is resumed
    std::string reason;   // the platform's text when the download stopped by itself ("" otherwise)

    static constexpr int kFormatVersion = 1;

    // The record of `request` (its token dropped).
    static ResumeRecord of(DownloadRequest request, std::string validator, std::uint64_t length);

    std::string encodedJSON() const;

    // The record in `json`, or nullopt for anything but a complete record of this version whose
    // request is valid and whose counts fit the lesson (no more whole records than `length` can
    // hold). Never throws.
    static std::optional<ResumeRecord> decodeJSON(std::string_view json);

    friend bool operator==(const ResumeRecord&, const ResumeRecord&) = default;
};

}  // namespace velmora
