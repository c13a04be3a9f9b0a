#pragma once

#include "securestore/SecretKeyring.h"

#include <string>

namespace velmora {

// The desktop's Secret Service through libsecret: one item of the schema
// "com.velmora.Classroom.StoreSecret" with the attributes "application" (the application id) and
// "user" (the login name), in the default collection. It never asks the desktop to create or
// unlock a collection to store the secret (no prompt can hold up the start); reading an item that
// exists may ask to unlock its collection, as any keyring client does. Any thread: the calls block
// until the service answers.
class LibsecretKeyring : public SecretKeyring {
public:
    explicit LibsecretKeyring(std::string userName) : userName_(std::move(userName)) {}

    std::optional<SecretBytes> lookup() const override;
    void store(ByteView secret) const override;

private:
    std::string userName_;
};

}  // namespace velmora
