// Session commands: restore, save and clear the signed-in learner's session.
#include "bridge/MacBridge.h"

namespace velmora {

void MacBridge::restoreSession(const Json&) {}

void MacBridge::saveSession(const Json&) {}

void MacBridge::clearSession(const Json&) {}

}  // namespace velmora
