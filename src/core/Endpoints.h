#pragma once

#include <cstdint>
#include <string>

namespace velmora {

// Where the classroom service lives and what TLS trusts. Built from compile-time constants for the
// product and the demo; tests build their own for servers on 127.0.0.1.
struct Endpoints {
    std::string apiHost;        // host name compared exactly against request URLs
    std::uint16_t apiPort = 0;  // 0: the https default port
    std::string webHost;        // the service's web site, bare name (no "www.")
    std::string caFile;         // extra trusted CA certificate (PEM); empty: system store only

    // "https://" + host (+ ":" + port) + "/api/web/v2/"
    std::string apiBaseAddress() const;

    // True when the API host is this machine ("localhost", 127.0.0.0/8, "::1"): reaching it needs
    // no network.
    bool serviceOnThisMachine() const;

    // The configuration this binary was built with.
    static Endpoints compiled();
};

}  // namespace velmora
