// seal_lesson <data folder> <account key> <asset id> <media file> [<session token>]: seals the media
// into the vault as a finished download leaves it, with this machine's and user's identity like the
// application without a desktop keyring; with a token, also stores that account's session.
// seal_lesson <data folder> <account key> --library <media file>: seals the media once for every
// line read from stdin, "asset id\tclass\tcourse\tchapter\tlesson\tcourse no.\tchapter no.\tlesson no."
// (tab-separated titles and numbers), for a library of many lessons.
#include "StoredLesson.h"
#include "securestore/DeviceSecureStore.h"
#include "vault/DownloadRequest.h"
#include "vault/VaultManager.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

velmora::Bytes readMedia(const char* path) {
    std::ifstream file(path, std::ios::binary);
    return velmora::Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// One stdin line of the library form as the request a download of that lesson makes.
velmora::DownloadRequest libraryRequest(const std::string& ownerKey, const std::string& line, std::int64_t lessonId) {
    std::istringstream fields(line);
    velmora::DownloadRequest request;
    request.ownerKey = ownerKey;
    std::string courseIndex, chapterIndex, lessonIndex;
    for (std::string* field : {&request.assetId, &request.classTitle, &request.courseTitle, &request.chapterTitle, &request.lessonTitle,
                               &courseIndex, &chapterIndex, &lessonIndex}) {
        if (!std::getline(fields, *field, '\t')) throw std::invalid_argument("a library line needs 8 tab-separated fields: " + line);
    }
    request.courseIndex = std::stoll(courseIndex);
    request.chapterIndex = std::stoll(chapterIndex);
    request.lessonIndex = std::stoll(lessonIndex);
    request.classId = 1;
    request.lessonId = lessonId;
    return request;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: %s <data folder> <account key> <asset id> <media file> [<session token>]\n"
                             "       %s <data folder> <account key> --library <media file> < lines\n",
                     argv[0], argv[0]);
        return 2;
    }
    velmora::Bytes media = readMedia(argv[4]);
    velmora::DeviceSecureStore store(argv[1], velmora::IdentitySource::system());
    velmora::VaultManager::configureShared(argv[1], [store] { return store.loadOrCreateMasterKey(); });
    const velmora::VaultManager& vault = velmora::VaultManager::shared();
    if (std::string(argv[3]) == "--library") {
        std::int64_t lessonId = 0;
        for (std::string line; std::getline(std::cin, line);) {
            if (!line.empty()) velmora::test::commitLesson(vault, libraryRequest(argv[2], line, ++lessonId), media);
        }
        return 0;
    }
    velmora::DownloadRequest request;
    request.ownerKey = argv[2];
    request.assetId = argv[3];
    request.lessonTitle = "窗口测试课";
    request.classId = 1;
    request.lessonId = 1;
    velmora::test::commitLesson(vault, request, media);  // throws, ending non-zero
    if (argc == 6) store.saveSession({argv[5], argv[2], "窗口测试"});
    return 0;
}
