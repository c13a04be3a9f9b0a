#pragma once

#include <string>

namespace velmora {

// The signed-in learner's session as the page hands it over. A plain record.
struct DesktopSession {
    std::string token;
    std::string ownerKey;
    std::string userName;

    friend bool operator==(const DesktopSession&, const DesktopSession&) = default;
};

}  // namespace velmora
