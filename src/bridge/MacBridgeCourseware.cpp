// The courseware download command.
#include "bridge/MacBridge.h"

namespace velmora {

void MacBridge::downloadResource(const Json&) {}

}  // namespace velmora
