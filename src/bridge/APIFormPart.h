#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Crypto.h"
#include "core/Payload.h"

namespace velmora {

// One part of a multipart form the page asks the API proxy to send. A plain value.
struct APIFormPart {
    static constexpr std::size_t kMaximumNameGraphemes = 128;

    std::string name;                     // never empty, at most 128 grapheme clusters
    std::optional<std::string> value;     // a plain field's text
    std::optional<std::string> fileName;  // a file part's file name
    std::optional<std::string> mimeType;  // a file part's content type
    std::optional<Bytes> data;            // a file part's content

    // A file part has both content and a file name; anything else is a plain field.
    bool isFile() const { return data.has_value() && fileName.has_value(); }

    // Reads a part object from the page: "name" (required), "value", "fileName", "mimeType" texts
    // and "base64" (strict Base64). nullopt when the name is missing, empty or too long, or when
    // the content type holds a CR, LF or NUL (it is written unescaped into the part's head).
    static std::optional<APIFormPart> fromDictionary(const Json& dictionary);

    friend bool operator==(const APIFormPart&, const APIFormPart&) = default;
};

// The multipart/form-data body for `parts`, in order, delimited by `boundary`; nullopt when it
// is longer than `maximumBytes` (building stops at the part that passes the limit).
std::optional<std::string> multipart(const std::vector<APIFormPart>& parts, std::string_view boundary, std::size_t maximumBytes);

}  // namespace velmora
