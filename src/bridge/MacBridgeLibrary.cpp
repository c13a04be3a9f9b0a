// Offline-library commands over the vault, for the held account only.
#include "bridge/MacBridge.h"

namespace velmora {

void MacBridge::listDownloads(const Json&) {}

void MacBridge::deleteDownload(const Json&) {}

void MacBridge::updateDownloadMetadata(const Json&) {}

}  // namespace velmora
