#include "core/Endpoints.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

// Only a host that is this machine lets downloads ignore the desktop's view of the network.
TEST(EndpointsTest, ServiceOnThisMachineOnlyForLoopbackHosts) {
    const std::pair<const char*, bool> hosts[] = {
        {"localhost", true},          {"127.0.0.1", true},      {"127.255.0.9", true},  {"::1", true},
        {"[::1]", true},              {"api.velmora.cn", false}, {"128.0.0.1", false},  {"localhost.evil", false},
        {"::ffff:8.8.8.8", false},    {"", false},               {"1270.0.0.1", false}, {"0:0:0:0:0:0:0:1", true},
    };
    for (auto [host, local] : hosts) {
        SCOPED_TRACE(host);
        EXPECT_EQ((Endpoints{host, 0, "velmora.cn", ""}.serviceOnThisMachine()), local);
    }
}

}  // namespace
}  // namespace velmora
