// Seals a media file into the vault under a data folder as a finished download leaves it, for the
// window tests: seal_lesson <data folder> <account key> <asset id> <media file>. Uses this machine's
// and user's identity, like the application started with the same data folder.
#include "StoredLesson.h"
#include "securestore/IdentitySource.h"
#include "vault/DownloadRequest.h"
#include "vault/VaultManager.h"

#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s <data folder> <account key> <asset id> <media file>\n", argv[0]);
        return 2;
    }
    try {
        std::ifstream file(argv[4], std::ios::binary);
        velmora::Bytes media((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        velmora::VaultManager::configureShared(argv[1], velmora::IdentitySource::system());
        velmora::DownloadRequest request;
        request.ownerKey = argv[2];
        request.assetId = argv[3];
        request.lessonTitle = "窗口测试课";
        request.classId = 1;
        request.lessonId = 1;
        velmora::test::commitLesson(velmora::VaultManager::shared(), request, media);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
