#include "ProgressStore.h"

#include <utility>

#include "core/Crypto.h"
#include "core/Files.h"

namespace velmora::demo {

ProgressStore::ProgressStore(std::filesystem::path stateFolder)
    : path_(std::move(stateFolder) / "progress.json"), records_(nlohmann::json::object()) {
    std::error_code missing;
    if (!std::filesystem::exists(path_, missing)) return;
    const Bytes bytes = readWholeFile(path_);
    // A damaged file only loses the demo's saved positions; the service still starts.
    auto parsed = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (parsed.is_object()) records_ = std::move(parsed);
}

std::optional<LessonProgress> ProgressStore::load(const std::string& account, std::int64_t lessonId) const {
    std::lock_guard lock(mutex_);
    const auto learner = records_.find(account);
    if (learner == records_.end() || !learner->is_object()) return std::nullopt;
    const auto entry = learner->find(std::to_string(lessonId));
    if (entry == learner->end() || !entry->is_object()) return std::nullopt;
    return LessonProgress{entry->value("position", 0.0), entry->value("duration", 0.0),
                          entry->value("updated_at", std::int64_t{0})};
}

void ProgressStore::save(const std::string& account, std::int64_t lessonId, const LessonProgress& progress) {
    std::lock_guard lock(mutex_);
    records_[account][std::to_string(lessonId)] = {
        {"position", progress.position}, {"duration", progress.duration}, {"updated_at", progress.updatedAt}};
    writeFileAtomically(path_, bytesOf(records_.dump(2)), 0600);
}

}  // namespace velmora::demo
