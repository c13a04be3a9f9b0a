#pragma once

#include "securestore/IdentitySource.h"

#include <string>

namespace velmora::test {

// A fixed machine and user, changeable per test.
class FakeIdentity : public IdentitySource {
public:
    std::string platformIdentity() const override { return platform; }
    std::string localizedHostName() const override { return localizedHost; }
    std::string hostName() const override { return host; }
    std::uint32_t userId() const override { return uid; }
    std::string userName() const override { return user; }

    std::string platform = "4C4C4544-0042-3510-8052-B4C04F4E3732";
    std::string localizedHost = "Learner's Laptop";
    std::string host = "learner-laptop";
    std::uint32_t uid = 501;
    std::string user = "learner";
};

}  // namespace velmora::test
