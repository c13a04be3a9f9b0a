// Strict Base64 and the multipart writer. Base64: every byte string survives encode then decode, and
// an accepted text decodes to the length its padding says. Multipart: parts read from the page's
// dictionaries come back out of the body, in order, with their bytes intact.
#include "FuzzInput.h"
#include "bridge/APIFormPart.h"
#include "bridge/ApiProxy.h"
#include "bridge/Base64.h"

namespace {

using namespace velmora;

std::string encodeBase64(const Bytes& bytes) {
    static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) group |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) group |= bytes[i + 2];
        out += kAlphabet[group >> 18 & 63];
        out += kAlphabet[group >> 12 & 63];
        out += i + 1 < bytes.size() ? kAlphabet[group >> 6 & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[group & 63] : '=';
    }
    return out;
}

void checkBase64(const std::string& text) {
    Bytes raw(text.begin(), text.end());
    std::optional<Bytes> back = decodeBase64Strict(encodeBase64(raw));
    fuzz::check(back && *back == raw, "encode then decode changed the bytes");

    std::optional<Bytes> decoded = decodeBase64Strict(text);
    if (!decoded) return;
    std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
    fuzz::check(text.size() % 4 == 0 && decoded->size() == text.size() / 4 * 3 - padding,
                "decoded length does not match the text");
    fuzz::check(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") == std::string::npos,
                "a text with a character outside the alphabet decoded");
}

// The content of each part in `body`: what follows the part's blank line, up to the next delimiter.
std::vector<std::string> partContents(const std::string& body, const std::string& boundary) {
    const std::string delimiter = "--" + boundary;
    const std::string closing = delimiter + "--\r\n";
    fuzz::check(body.ends_with(closing), "body without its closing delimiter");
    std::vector<std::string> contents;
    std::size_t at = 0;
    while (body.compare(at, closing.size(), closing) != 0) {
        fuzz::check(body.compare(at, delimiter.size() + 2, delimiter + "\r\n") == 0, "part without its delimiter");
        std::size_t next = body.find("\r\n" + delimiter, at);
        fuzz::check(next != std::string::npos, "part without an end");
        std::string part = body.substr(at + delimiter.size() + 2, next - at - delimiter.size() - 2);
        std::size_t blank = part.find("\r\n\r\n");
        fuzz::check(blank != std::string::npos, "part without a blank line");
        contents.push_back(part.substr(blank + 4));
        at = next + 2;
    }
    return contents;
}

void checkMultipart(fuzz::FuzzInput& input) {
    std::vector<APIFormPart> parts;
    for (int count = input.byte() % 5; count > 0; --count) {
        Json dictionary = Json::object();
        std::uint8_t present = input.byte();
        dictionary["name"] = input.text(300);
        if (present & 1) dictionary["value"] = input.text(200);
        if (present & 2) dictionary["fileName"] = input.text(200);
        if (present & 4) dictionary["mimeType"] = input.text(100);
        if (present & 8) {
            std::string content = input.text(400);
            dictionary["base64"] = encodeBase64(Bytes(content.begin(), content.end()));
        }
        if (present & 16) dictionary["base64"] = input.text(100);
        if (std::optional<APIFormPart> part = APIFormPart::fromDictionary(dictionary)) parts.push_back(std::move(*part));
    }
    const std::string boundary = ApiProxy::makeBoundary();
    const std::string body = multipart(parts, boundary, ApiProxy::kMaximumJsonBodyBytes).value();
    std::vector<std::string> contents = partContents(body, boundary);
    fuzz::check(contents.size() == parts.size(), "part count changed");
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const APIFormPart& part = parts[i];
        std::string expected = part.isFile() ? std::string(part.data->begin(), part.data->end()) : part.value.value_or("");
        fuzz::check(contents[i] == expected, "part content changed");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    if (input.byte() % 2 == 0) {
        checkBase64(input.rest());
    } else {
        checkMultipart(input);
    }
    return 0;
}
