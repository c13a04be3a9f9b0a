#pragma once

#include <httplib.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "DemoCatalogue.h"
#include "DemoSigner.h"

namespace velmora::demo {

// Conventions shared by the demo service's handlers. Every API answer is a JSON object
// {"code": 0 or the HTTP status, "msg": text, "data": …}; failures carry a learner-readable "msg".

inline constexpr std::string_view kApiBase = "/api/web/v2/";
inline constexpr const char* kSignInAgain = "登录已过期，请重新登录";

std::int64_t secondsNow();
// A positive decimal identifier, or nullopt.
std::optional<std::int64_t> parseId(const std::string& text);

void sendData(httplib::Response& response, const nlohmann::json& data);
void sendFailure(httplib::Response& response, int status, const std::string& message);

// The learner whose valid bearer token the request carries in "Authorization", or null.
const Learner* signedInLearner(const httplib::Request& request, const DemoCatalogue& catalogue, const DemoSigner& signer);

// Lesson media: the clip's file, whether it has been made, and its signed address.
std::filesystem::path clipPath(const std::filesystem::path& mediaFolder, const std::string& clip);
bool clipAvailable(const std::filesystem::path& mediaFolder, const std::string& clip);
std::string mediaAddress(const std::string& origin, const DemoSigner& signer, const std::string& clip, std::int64_t expiresAt);

// GET /api/web/v2/classes/getClassChapterItemStashInfo?class_id=…&id=…&is_mobile=1 with a bearer
// token: {"data": {"offline_download_url": "https://…"}} or a refusal with "msg".
void answerOfflineAuthorisation(const httplib::Request& request, httplib::Response& response, const DemoCatalogue& catalogue,
                                const DemoSigner& signer, const std::filesystem::path& mediaFolder, const std::string& origin);

// The armed drop of one whole-clip media transfer at a byte offset. Any thread.
class MediaDrop {
public:
    explicit MediaDrop(std::optional<std::uint64_t> offset, std::function<void()> dropped = {})
        : offset_(offset ? static_cast<std::int64_t>(*offset) : -1), dropped_(std::move(dropped)) {}
    // The offset at which a whole-clip transfer starting now is to close, disarming the drop; or -1.
    std::int64_t take() { return offset_.exchange(-1); }
    // The transfer has closed at the offset.
    void dropped() const {
        if (dropped_) dropped_();
    }

    // Media bytes handed to connections so far, over every transfer.
    void countSent(std::uint64_t bytes) { sent_ += bytes; }
    std::uint64_t sent() const { return sent_; }

private:
    std::atomic<std::int64_t> offset_;
    const std::function<void()> dropped_;
    std::atomic<std::uint64_t> sent_{0};
};

// GET /media/<clip>.mp4?expires=…&sig=…: the clip with byte ranges, an ETag and "If-Range"; no
// credentials besides the signature.
void serveMedia(const httplib::Request& request, httplib::Response& response, const DemoSigner& signer,
                const std::filesystem::path& mediaFolder, MediaDrop& drop);

// GET /files/courseware/<course id>/<number>: a course's courseware file, for a signed-in learner.
void serveCourseware(const httplib::Request& request, httplib::Response& response, const DemoCatalogue& catalogue,
                     const DemoSigner& signer);

}  // namespace velmora::demo
