#pragma once

#include "core/Endpoints.h"

#include <webkit/webkit.h>

namespace velmora {

// WebKit's network process trusts the system store only and cannot be given another CA. When this
// build names an extra CA (the demo profile), the certificate the classroom service presents is
// checked against that CA here, and only then allowed in WebKit — for the service's host alone.
// Without an extra CA nothing happens: the product relies on the system store everywhere.
class WebKitServiceTrust {
public:
    // Starts the check in the background on the main context; the answer arrives long before the
    // learner can open a lesson. Failures are reported on stderr and leave WebKit's trust unchanged.
    static void trustServiceCertificate(WebKitNetworkSession* session, const Endpoints& endpoints);
};

}  // namespace velmora
