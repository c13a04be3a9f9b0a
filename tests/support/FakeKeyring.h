#pragma once

#include "securestore/SecretKeyring.h"

#include <stdexcept>

namespace velmora::test {

// A keyring in memory that can be made unreachable or read-only.
class FakeKeyring : public SecretKeyring {
public:
    std::optional<SecretBytes> lookup() const override {
        if (!reachable) throw std::runtime_error("The name org.freedesktop.secrets was not provided by any .service files");
        return stored;
    }
    void store(ByteView secret) const override {
        if (!reachable || !writable) throw std::runtime_error("the default collection is locked");
        stored = SecretBytes(secret);
    }

    mutable std::optional<SecretBytes> stored;
    bool reachable = true;
    bool writable = true;
};

}  // namespace velmora::test
