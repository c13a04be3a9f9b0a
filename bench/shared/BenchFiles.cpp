#include "BenchFiles.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace velmora::bench {

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

std::filesystem::path longClip() {
    std::filesystem::path folder = std::filesystem::path(VELMORA_BENCH_BINARY_DIR) / "clips";
    run(quoted(VELMORA_SOURCE_DIR "/tools/make-clips") + " " + quoted(folder.string()) + " long >&2");
    return folder / "clip-long.mp4";
}

void sealLesson(const std::filesystem::path& dataDir, const std::string& ownerKey, const std::string& assetId,
                const std::filesystem::path& media) {
    run(quoted(VELMORA_SEAL_BINARY) + " " + quoted(dataDir.string()) + " " + ownerKey + " " + assetId + " " + quoted(media.string()));
}

void sealLibrary(const std::filesystem::path& dataDir, const std::string& ownerKey, const std::string& libraryLines) {
    constexpr std::size_t kMediaBytes = 64 * 1024;
    std::filesystem::path media = dataDir / "library-lesson.mp4";
    std::ofstream(media, std::ios::binary) << std::string(kMediaBytes, '\x5a');
    std::string command = quoted(VELMORA_SEAL_BINARY) + " " + quoted(dataDir.string()) + " " + ownerKey + " --library " + quoted(media.string());
    std::unique_ptr<FILE, int (*)(FILE*)> seal(::popen(command.c_str(), "w"), ::pclose);
    if (!seal) throw std::runtime_error("cannot start " + command);
    bool written = std::fwrite(libraryLines.data(), 1, libraryLines.size(), seal.get()) == libraryLines.size();
    int status = ::pclose(seal.release());
    std::filesystem::remove(media);
    if (!written || status != 0) throw std::runtime_error("failed: " + command);
}

std::string yearOfLessons(int lessons, int courses) {
    constexpr int kChaptersPerCourse = 5;
    constexpr int kCoursesPerClass = 10;
    std::ostringstream lines;
    for (int lesson = 0; lesson < lessons; ++lesson) {
        int course = lesson % courses;
        int inCourse = lesson / courses;
        int chapter = inCourse % kChaptersPerCourse;
        lines << "lesson-" << lesson << '\t' << "高一（" << course / kCoursesPerClass + 1 << "）班" << '\t' << "课程 " << course + 1 << '\t'
              << "第 " << chapter + 1 << " 章" << '\t' << "第 " << inCourse + 1 << " 课时" << '\t' << course % kCoursesPerClass + 1 << '\t'
              << chapter + 1 << '\t' << inCourse / kChaptersPerCourse + 1 << '\n';
    }
    return lines.str();
}

}  // namespace velmora::bench
