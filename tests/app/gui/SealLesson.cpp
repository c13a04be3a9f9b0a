// seal_lesson <data folder> <account key> <asset id> <media file>: seals the media into the vault as
// a finished download leaves it, with this machine's and user's identity like the application.
#include "StoredLesson.h"
#include "securestore/DeviceSecureStore.h"
#include "vault/DownloadRequest.h"
#include "vault/VaultManager.h"

#include <cstdio>
#include <fstream>
#include <iterator>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s <data folder> <account key> <asset id> <media file>\n", argv[0]);
        return 2;
    }
    std::ifstream file(argv[4], std::ios::binary);
    velmora::Bytes media((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    velmora::DeviceSecureStore store(argv[1], velmora::IdentitySource::system());
    velmora::VaultManager::configureShared(argv[1], [store] { return store.loadOrCreateMasterKey(); });
    velmora::DownloadRequest request;
    request.ownerKey = argv[2];
    request.assetId = argv[3];
    request.lessonTitle = "窗口测试课";
    request.classId = 1;
    request.lessonId = 1;
    velmora::test::commitLesson(velmora::VaultManager::shared(), request, media);  // throws, ending non-zero
    return 0;
}
