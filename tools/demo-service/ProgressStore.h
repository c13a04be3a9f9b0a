#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace velmora::demo {

struct LessonProgress {
    double position = 0;  // seconds into the lesson
    double duration = 0;  // seconds, as the player reported it (0: unknown)
    std::int64_t updatedAt = 0;
};

// Learning progress per learner and lesson, kept in "progress.json" of the state folder and
// replaced whole on every save. Safe to call from the server's worker threads.
class ProgressStore {
public:
    explicit ProgressStore(std::filesystem::path stateFolder);

    std::optional<LessonProgress> load(const std::string& account, std::int64_t lessonId) const;
    void save(const std::string& account, std::int64_t lessonId, const LessonProgress& progress);

private:
    std::filesystem::path path_;
    mutable std::mutex mutex_;
    nlohmann::json records_;
};

}  // namespace velmora::demo
