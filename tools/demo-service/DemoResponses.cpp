#include "DemoResponses.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>

namespace velmora::demo {

using nlohmann::json;

namespace {

constexpr std::int64_t kOfflineTicketSeconds = 3600;
constexpr std::size_t kMediaPieceBytes = 256 * 1024;

std::string percentEncoded(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string contentTypeOf(const std::string& name) {
    if (name.ends_with(".csv")) return "text/csv; charset=utf-8";
    if (name.ends_with(".txt")) return "text/plain; charset=utf-8";
    return "application/octet-stream";
}

}  // namespace

std::int64_t secondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::optional<std::int64_t> parseId(const std::string& text) {
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value <= 0) return std::nullopt;
    return value;
}

void sendData(httplib::Response& response, const json& data) {
    response.status = 200;
    response.set_content(json{{"code", 0}, {"msg", "ok"}, {"data", data}}.dump(), "application/json; charset=utf-8");
}

void sendFailure(httplib::Response& response, int status, const std::string& message) {
    response.status = status;
    response.set_content(json{{"code", status}, {"msg", message}, {"data", nullptr}}.dump(), "application/json; charset=utf-8");
}

const Learner* signedInLearner(const httplib::Request& request, const DemoCatalogue& catalogue, const DemoSigner& signer) {
    const std::string authorization = request.get_header_value("Authorization");
    constexpr std::string_view kBearer = "Bearer ";
    if (!authorization.starts_with(kBearer)) return nullptr;
    const auto account = signer.tokenAccount(authorization.substr(kBearer.size()));
    return account ? catalogue.learner(*account) : nullptr;
}

std::filesystem::path clipPath(const std::filesystem::path& mediaFolder, const std::string& clip) {
    return mediaFolder / ("clip-" + clip + ".mp4");
}

bool clipAvailable(const std::filesystem::path& mediaFolder, const std::string& clip) {
    std::error_code error;
    return std::filesystem::is_regular_file(clipPath(mediaFolder, clip), error);
}

std::string mediaAddress(const std::string& origin, const DemoSigner& signer, const std::string& clip, std::int64_t expiresAt) {
    return origin + "/media/" + clip + ".mp4?expires=" + std::to_string(expiresAt) +
           "&sig=" + signer.mediaSignature(clip, expiresAt);
}

void answerOfflineAuthorisation(const httplib::Request& request, httplib::Response& response, const DemoCatalogue& catalogue,
                                const DemoSigner& signer, const std::filesystem::path& mediaFolder, const std::string& origin) {
    const Learner* learner = signedInLearner(request, catalogue, signer);
    if (learner == nullptr) return sendFailure(response, 401, kSignInAgain);
    const auto classId = parseId(request.get_param_value("class_id"));
    const auto lessonId = parseId(request.get_param_value("id"));
    if (!classId || !lessonId || request.get_param_value("is_mobile") != "1") {
        return sendFailure(response, 400, "离线授权参数无效");
    }
    const auto place = catalogue.lesson(*lessonId);
    if (!place || place->classRoom->id != *classId) return sendFailure(response, 404, "课时不存在");
    if (!catalogue.enrolled(*learner, *classId)) return sendFailure(response, 403, "你没有该班级的学习权限");
    const Lesson& lesson = *place->lesson;
    if (!lesson.offline || !clipAvailable(mediaFolder, lesson.clip)) {
        response.set_content(json{{"code", 1},
                                  {"msg", lesson.offline ? "该课时的媒体暂未生成" : "本课时仅支持在线观看，暂不提供离线下载"},
                                  {"data", json::object()}}
                                 .dump(),
                             "application/json; charset=utf-8");
        return;
    }
    sendData(response,
             {{"offline_download_url", mediaAddress(origin, signer, lesson.clip, secondsNow() + kOfflineTicketSeconds)}});
}

namespace {

struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};

// The one range to serve for the request's parsed Range header: the whole clip when there is none,
// the first range when there are several, nullopt when the first cannot be satisfied.
std::optional<ByteRange> rangeToServe(const httplib::Ranges& ranges, std::uint64_t size) {
    if (ranges.empty()) return ByteRange{0, size - 1};
    const auto [first, last] = ranges.front();
    if (first < 0) {  // suffix form: the last `last` bytes
        if (last <= 0) return std::nullopt;
        const auto count = static_cast<std::uint64_t>(last);
        return ByteRange{count >= size ? 0 : size - count, size - 1};
    }
    const auto start = static_cast<std::uint64_t>(first);
    if (start >= size) return std::nullopt;
    const std::uint64_t end = last < 0 ? size - 1 : std::min(static_cast<std::uint64_t>(last), size - 1);
    if (end < start) return std::nullopt;
    return ByteRange{start, end};
}

}  // namespace

// The clip's validator: its size and modification time, so a remade clip gets a new one.
std::string clipETag(const std::filesystem::path& path, std::uint64_t size) {
    std::error_code error;
    const auto modified = std::filesystem::last_write_time(path, error).time_since_epoch().count();
    // Built by appending: GCC 12 warns falsely (-Wrestrict, GCC bug 105329) on "..." + std::string when optimising.
    std::string etag = "\"";
    etag.append(std::to_string(size)).append("-").append(std::to_string(modified)).append("\"");
    return etag;
}

void serveMedia(const httplib::Request& request, httplib::Response& response, const DemoSigner& signer,
                const std::filesystem::path& mediaFolder, MediaDrop& drop) {
    const std::string clip = request.matches[1];
    if (!signer.mediaSignatureValid(clip, request.get_param_value("expires"), request.get_param_value("sig"), secondsNow())) {
        return sendFailure(response, 403, "媒体地址已失效");
    }
    const auto path = clipPath(mediaFolder, clip);
    std::error_code error;
    const std::uint64_t size = std::filesystem::file_size(path, error);
    auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
    if (error || !*file || size == 0) return sendFailure(response, 404, "媒体不存在");

    const std::string etag = clipETag(path, size);
    const std::string ifRange = request.get_header_value("If-Range");
    // A range asked for with another version's validator gets the whole clip.
    const bool rangeApplies = ifRange.empty() || ifRange == etag;
    const auto range = rangeToServe(rangeApplies ? request.ranges : httplib::Ranges{}, size);
    // The library would apply the parsed ranges again, and it miscounts a range that starts past
    // the end; the ranges are resolved here instead. The request object is the server's own.
    const_cast<httplib::Request&>(request).ranges.clear();
    if (!range) {
        sendFailure(response, 416, "请求的媒体范围无效");
        response.set_header("Content-Range", "bytes */" + std::to_string(size));
        return;
    }
    const bool asked = rangeApplies && !request.get_header_value("Range").empty();
    const bool partial = range->first != 0 || range->last != size - 1 || asked;
    response.status = partial ? 206 : 200;
    response.set_header("Accept-Ranges", "bytes");
    response.set_header("ETag", etag);
    if (partial) {
        response.set_header("Content-Range", "bytes " + std::to_string(range->first) + "-" + std::to_string(range->last) + "/" +
                                                 std::to_string(size));
    }
    const std::uint64_t base = range->first;
    const std::int64_t dropAt = request.has_header("Range") ? -1 : drop.take();
    response.set_content_provider(range->last - range->first + 1, "video/mp4",
                                  [file, base, dropAt, &drop](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                      std::size_t want = std::min(length, kMediaPieceBytes);
                                      const bool dropsHere = dropAt >= 0 && base + offset + want >= static_cast<std::uint64_t>(dropAt);
                                      if (dropsHere) want = static_cast<std::size_t>(dropAt) - (base + offset);
                                      std::string piece(want, '\0');
                                      file->clear();
                                      file->seekg(static_cast<std::streamoff>(base + offset));
                                      file->read(piece.data(), static_cast<std::streamsize>(piece.size()));
                                      const auto got = static_cast<std::size_t>(file->gcount());
                                      if (dropsHere) {  // the connection closes once the bytes before the offset are out
                                          if (got > 0 && sink.write(piece.data(), got)) drop.countSent(got);
                                          std::cout << "velmora-demo-service: dropped a media transfer after " << dropAt << " bytes"
                                                    << std::endl;
                                          drop.dropped();
                                          return false;
                                      }
                                      if (got == 0 || !sink.write(piece.data(), got)) return false;
                                      drop.countSent(got);
                                      return true;
                                  });
}

void serveCourseware(const httplib::Request& request, httplib::Response& response, const DemoCatalogue& catalogue,
                     const DemoSigner& signer) {
    const Learner* learner = signedInLearner(request, catalogue, signer);
    if (learner == nullptr) return sendFailure(response, 401, kSignInAgain);
    const auto courseId = parseId(request.matches[1]);
    const auto number = parseId(request.matches[2]);
    const auto place = courseId ? catalogue.course(*courseId) : std::nullopt;
    if (!place || !number || !catalogue.enrolled(*learner, place->classRoom->id) ||
        static_cast<std::size_t>(*number) > place->course->courseware.size()) {
        return sendFailure(response, 404, "课件不存在");
    }
    const Courseware& file = place->course->courseware[static_cast<std::size_t>(*number) - 1];
    response.set_header("Content-Disposition", "attachment; filename*=UTF-8''" + percentEncoded(file.name));
    response.set_content(file.text, contentTypeOf(file.name).c_str());
}

}  // namespace velmora::demo
