#include "schemes/AppSchemeHandler.h"

#include "core/Files.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

namespace velmora {

namespace {

constexpr std::string_view kInvalidAddress = "应用资源地址无效";
constexpr std::string_view kInvalidPath = "应用资源路径无效";

struct MimeEntry {
    std::string_view extension;
    std::string_view mimeType;
    bool isText;
};

constexpr std::array<MimeEntry, 8> kMimeTable{{
    {"html", "text/html", true},
    {"css", "text/css", true},
    {"js", "application/javascript", true},
    {"svg", "image/svg+xml", true},
    {"png", "image/png", false},
    {"jpg", "image/jpeg", false},
    {"jpeg", "image/jpeg", false},
    {"webp", "image/webp", false},
}};

const MimeEntry* findEntry(std::string_view extension) {
    auto entry = std::find_if(kMimeTable.begin(), kMimeTable.end(),
                              [&](const MimeEntry& candidate) { return candidate.extension == extension; });
    return entry == kMimeTable.end() ? nullptr : &*entry;
}

std::string lowerCased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The resource path relative to the root: "/" or nothing means the index page, and every leading
// "/" goes, so the result never names an absolute path.
std::string relativeResourcePath(std::string path) {
    if (path.empty() || path == "/") path = "/index.html";
    path.erase(0, path.find_first_not_of('/'));  // all slashes: npos erases everything
    return path;
}

}  // namespace

AppSchemeHandler::AppSchemeHandler(std::filesystem::path resourceRoot) : resourceRoot_(std::move(resourceRoot)) {}

std::string_view AppSchemeHandler::mimeType(std::string_view extension) {
    const MimeEntry* entry = findEntry(extension);
    return entry ? entry->mimeType : "application/octet-stream";
}

std::optional<std::string_view> AppSchemeHandler::textEncoding(std::string_view extension) {
    const MimeEntry* entry = findEntry(extension);
    if (entry && entry->isText) return "utf-8";
    return std::nullopt;
}

void AppSchemeHandler::start(std::shared_ptr<SchemeTask> task) { answer(*task); }

void AppSchemeHandler::stop(const SchemeTask&) {}

void AppSchemeHandler::answer(SchemeTask& task) const {
    const std::optional<Url>& url = task.request().url;
    if (!url) {
        task.didFail(std::string(kInvalidAddress));
        return;
    }
    std::string relative = relativeResourcePath(url->decodedPath());
    if (relative.find("..") != std::string::npos || relative.find('\\') != std::string::npos) {
        task.didFail(std::string(kInvalidPath));
        return;
    }
    // A NUL byte would silently cut the name short at the system call; no file can be named so.
    if (relative.find('\0') != std::string::npos) {
        answerNotFound(task);
        return;
    }
    std::filesystem::path file = resourceRoot_ / relative;
    Bytes contents;
    try {
        contents = readWholeFile(file);
    } catch (const std::exception&) {
        answerNotFound(task);
        return;
    }
    std::string extension = file.extension().string();
    if (!extension.empty()) extension = lowerCased(extension.substr(1));

    SchemeResponse response;
    response.mimeType = std::string(mimeType(extension));
    response.textEncoding = std::string(textEncoding(extension).value_or(""));
    response.expectedContentLength = static_cast<std::int64_t>(contents.size());
    task.didReceive(response);
    task.didReceive(ByteView(contents));
    task.didFinish();
}

void AppSchemeHandler::answerNotFound(SchemeTask& task) {
    static constexpr std::string_view kBody = "Not Found";
    SchemeResponse response;
    response.statusCode = 404;
    response.mimeType = "text/plain";
    response.textEncoding = "utf-8";
    response.expectedContentLength = static_cast<std::int64_t>(kBody.size());
    response.headers = {{"Content-Type", "text/plain; charset=utf-8"}};
    task.didReceive(response);
    task.didReceive(bytesOf(kBody));
    task.didFinish();
}

}  // namespace velmora
