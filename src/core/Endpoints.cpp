#include "core/Endpoints.h"

#include <arpa/inet.h>

#include <cstring>

namespace velmora {

std::string Endpoints::apiBaseAddress() const {
    std::string address = "https://" + apiHost;
    if (apiPort != 0) address += ":" + std::to_string(apiPort);
    return address + "/api/web/v2/";
}

bool Endpoints::serviceOnThisMachine() const {
    if (apiHost == "localhost") return true;
    in_addr v4{};
    if (inet_pton(AF_INET, apiHost.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    std::string bare = apiHost.size() > 2 && apiHost.front() == '[' && apiHost.back() == ']' ? apiHost.substr(1, apiHost.size() - 2) : apiHost;
    in6_addr v6{};
    return inet_pton(AF_INET6, bare.c_str(), &v6) == 1 && std::memcmp(&v6, &in6addr_loopback, sizeof v6) == 0;
}

Endpoints Endpoints::compiled() {
    return Endpoints{VELMORA_API_HOST, static_cast<std::uint16_t>(VELMORA_API_PORT), VELMORA_WEB_HOST, VELMORA_CA_FILE};
}

}  // namespace velmora
