#include "core/Endpoints.h"

namespace velmora {

std::string Endpoints::apiBaseAddress() const {
    std::string address = "https://" + apiHost;
    if (apiPort != 0) address += ":" + std::to_string(apiPort);
    return address + "/api/web/v2/";
}

Endpoints Endpoints::compiled() {
    return Endpoints{VELMORA_API_HOST, static_cast<std::uint16_t>(VELMORA_API_PORT), VELMORA_WEB_HOST, VELMORA_CA_FILE};
}

}  // namespace velmora
