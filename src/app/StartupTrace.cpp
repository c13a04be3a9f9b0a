#include "app/StartupTrace.h"

#include "core/Payload.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

namespace velmora {

namespace {

void print(const char* event) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    long long micros = static_cast<long long>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1'000;
    std::fprintf(stderr, "velmora-trace %s %lld\n", event, micros);
    std::fflush(stderr);
}

bool tracingEnabled() {
    static const bool enabled = [] {
        const char* flag = std::getenv("VELMORA_TRACE_STARTUP");
        return flag != nullptr && std::string_view(flag) == "1";
    }();
    return enabled;
}

std::string messageType(const std::string& body) {
    Json message = Json::parse(body, nullptr, /*allow_exceptions=*/false);
    return message.is_object() ? payloadText(message, "type") : std::string();
}

}  // namespace

bool isFirstFrameMessage(const std::string& body) {
    constexpr std::size_t kLongestFrameReport = 64;  // skips parsing the large messages (uploads)
    return body.size() <= kLongestFrameReport && messageType(body) == "firstFrame";
}

void StartupTrace::mark(const char* event) {
    if (tracingEnabled()) print(event);
}

void StartupTrace::noteHandled(const std::string& body) {
    if (!tracingEnabled() || (frameSeen_ && restoreSeen_)) return;
    std::string type = messageType(body);
    if (type == "firstFrame" && !frameSeen_) {
        frameSeen_ = true;
        print("first-frame");
    } else if (type == "restoreSession" && !restoreSeen_) {
        restoreSeen_ = true;
        print("restore-session");
    }
}

}  // namespace velmora
