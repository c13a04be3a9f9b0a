#pragma once

#include "core/Payload.h"

#include <string>

namespace velmora {

// The signed-in learner's session as the page hands it over. A plain record; the bridge checks
// the fields before building one.
struct DesktopSession {
    std::string token;
    std::string ownerKey;
    std::string userName;

    friend bool operator==(const DesktopSession&, const DesktopSession&) = default;

    // {"token": …, "ownerKey": …, "userName": …}
    Json toJson() const;

    // Needs all three members as strings; other members are ignored. Throws nlohmann::json's own
    // errors (parse, missing member, wrong type) unchanged.
    static DesktopSession fromJson(const Json& json);
    static DesktopSession fromJsonText(std::string_view text);
};

}  // namespace velmora
