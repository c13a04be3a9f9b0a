#include "BenchFiles.h"

#include <cstdlib>
#include <stdexcept>

namespace velmora::bench {

namespace {

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

}  // namespace

std::filesystem::path longClip() {
    std::filesystem::path folder = std::filesystem::path(VELMORA_BENCH_BINARY_DIR) / "clips";
    run(quoted(VELMORA_SOURCE_DIR "/tools/make-clips") + " " + quoted(folder.string()) + " long >&2");
    return folder / "clip-long.mp4";
}

void sealLesson(const std::filesystem::path& dataDir, const std::string& ownerKey, const std::string& assetId,
                const std::filesystem::path& media) {
    run(quoted(VELMORA_SEAL_BINARY) + " " + quoted(dataDir.string()) + " " + ownerKey + " " + assetId + " " + quoted(media.string()));
}

}  // namespace velmora::bench
