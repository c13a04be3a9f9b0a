#include "securestore/DesktopSession.h"

namespace velmora {

Json DesktopSession::toJson() const { return {{"token", token}, {"ownerKey", ownerKey}, {"userName", userName}}; }

DesktopSession DesktopSession::fromJson(const Json& json) {
    // at() throws out_of_range for a missing member; get_ref() throws type_error for a non-string.
    return {json.at("token").get_ref<const std::string&>(), json.at("ownerKey").get_ref<const std::string&>(),
            json.at("userName").get_ref<const std::string&>()};
}

DesktopSession DesktopSession::fromJsonText(std::string_view text) { return fromJson(Json::parse(text)); }

}  // namespace velmora
