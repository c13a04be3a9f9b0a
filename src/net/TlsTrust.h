#pragma once

#include <memory>
#include <string>

#include "core/Endpoints.h"

namespace velmora {

// The certificates a transfer trusts: the system store, plus the Endpoints' extra CA file when one
// is configured (test and demo builds). Cheap to copy; immutable, so any thread may apply it.
class TlsTrust {
public:
    // Reads the CA file now. Throws std::system_error (with the path) when it cannot be read.
    static TlsTrust fromEndpoints(const Endpoints& endpoints);

private:
    friend class CurlTransfer;  // sets these options on each transfer

    // The system bundle followed by the extra CA file; null when the system store alone applies.
    std::shared_ptr<const std::string> bundle_;
};

}  // namespace velmora
