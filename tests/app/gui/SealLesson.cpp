// seal_lesson <data folder> <account key> <asset id> <media file> [<session token>]: seals the media
// into the vault as a finished download leaves it, with this machine's and user's identity like the
// application without a desktop keyring; with a token, also stores that account's session.
#include "StoredLesson.h"
#include "securestore/DeviceSecureStore.h"
#include "vault/DownloadRequest.h"
#include "vault/VaultManager.h"

#include <cstdio>
#include <fstream>
#include <iterator>

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: %s <data folder> <account key> <asset id> <media file> [<session token>]\n", argv[0]);
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
    if (argc == 6) store.saveSession({argv[5], argv[2], "窗口测试"});
    return 0;
}
