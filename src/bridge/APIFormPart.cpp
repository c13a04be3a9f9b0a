#include "bridge/APIFormPart.h"

#include "bridge/Base64.h"
#include "core/Unicode.h"

namespace velmora {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

std::optional<std::string> optionalText(const Json& dictionary, std::string_view key) {
    const Json* value = payloadValue(dictionary, key);
    if (value == nullptr || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

// Names go inside a quoted header parameter: backslash, quote, CR and LF each become "_".
std::string escapeName(std::string_view name) {
    std::string escaped(name);
    for (char& c : escaped) {
        if (c == '\\' || c == '"' || c == '\r' || c == '\n') c = '_';
    }
    return escaped;
}

void appendPart(std::string& body, const APIFormPart& part, std::string_view boundary) {
    body.append("--").append(boundary).append(kLineEnd);
    body.append("Content-Disposition: form-data; name=\"").append(escapeName(part.name)).append("\"");
    if (part.isFile()) {
        body.append("; filename=\"").append(escapeName(*part.fileName)).append("\"").append(kLineEnd);
        body.append("Content-Type: ")
            .append(part.mimeType.value_or("application/octet-stream"))
            .append(kLineEnd)
            .append(kLineEnd);
        body.append(part.data->begin(), part.data->end()).append(kLineEnd);
        return;
    }
    body.append(kLineEnd).append(kLineEnd);
    body.append(part.value.value_or("")).append(kLineEnd);
}

}  // namespace

std::optional<APIFormPart> APIFormPart::fromDictionary(const Json& dictionary) {
    std::optional<std::string> name = optionalText(dictionary, "name");
    if (!name || name->empty() || graphemeCount(*name) > kMaximumNameGraphemes) return std::nullopt;
    std::optional<std::string> mimeType = optionalText(dictionary, "mimeType");
    if (mimeType && mimeType->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) return std::nullopt;
    APIFormPart part{*name, optionalText(dictionary, "value"), optionalText(dictionary, "fileName"), std::move(mimeType),
                     std::nullopt};
    if (std::optional<std::string> base64 = optionalText(dictionary, "base64")) part.data = decodeBase64Strict(*base64);
    return part;
}

std::optional<std::string> multipart(const std::vector<APIFormPart>& parts, std::string_view boundary, std::size_t maximumBytes) {
    // Checked after each part: the body never grows past the limit by more than one part, whose
    // bytes the parts already hold.
    std::string body;
    for (const APIFormPart& part : parts) {
        appendPart(body, part, boundary);
        if (body.size() > maximumBytes) return std::nullopt;
    }
    body.append("--").append(boundary).append("--").append(kLineEnd);
    if (body.size() > maximumBytes) return std::nullopt;
    return body;
}

}  // namespace velmora
