// The API request proxy command.
#include "bridge/MacBridge.h"

namespace velmora {

void MacBridge::proxyAPI(const Json&) {}

}  // namespace velmora
