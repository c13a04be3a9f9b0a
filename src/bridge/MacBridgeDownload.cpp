// The offline download command: hands accepted requests to the download coordinator.
#include "bridge/MacBridge.h"

namespace velmora {

void MacBridge::startDownload(const Json&) {}

}  // namespace velmora
