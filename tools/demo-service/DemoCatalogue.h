#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora::demo {

// The demo classroom's fixed content: learners, and classes → courses → chapters → lessons.
// Lesson media name one of the clips made by tools/make-clips ("short", "medium", "long").

struct Learner {
    std::string account;
    std::string password;
    std::string displayName;
    std::string ownerKey;
    std::vector<std::int64_t> classIds;
};

struct Lesson {
    std::int64_t id = 0;
    std::int64_t index = 0;
    std::string title;
    std::string assetId;
    std::string clip;
    bool offline = true;  // false: the service refuses the offline authorisation with a message
};

struct Chapter {
    std::int64_t id = 0;
    std::int64_t index = 0;
    std::string title;
    std::vector<Lesson> lessons;
};

struct Courseware {
    std::string name;
    std::string text;  // served as the file's UTF-8 content
};

struct Course {
    std::int64_t id = 0;
    std::int64_t index = 0;
    std::string title;
    std::string summary;
    std::vector<Chapter> chapters;
    std::vector<Courseware> courseware;
};

struct ClassRoom {
    std::int64_t id = 0;
    std::string title;
    std::string teacher;
    std::vector<Course> courses;
};

// Where a lesson sits in the catalogue; the pointers refer into the catalogue that made it.
struct LessonPlace {
    const ClassRoom* classRoom = nullptr;
    const Course* course = nullptr;
    const Chapter* chapter = nullptr;
    const Lesson* lesson = nullptr;
};

class DemoCatalogue {
public:
    // The built-in demo content.
    static const DemoCatalogue& standard();

    DemoCatalogue(std::vector<Learner> learners, std::vector<ClassRoom> classes);

    const Learner* learner(const std::string& account) const;
    const ClassRoom* classRoom(std::int64_t id) const;
    // The class holding the course, or nullopt.
    std::optional<LessonPlace> course(std::int64_t courseId) const;
    std::optional<LessonPlace> lesson(std::int64_t lessonId) const;
    bool enrolled(const Learner& learner, std::int64_t classId) const;

    const std::vector<Learner>& learners() const { return learners_; }
    const std::vector<ClassRoom>& classes() const { return classes_; }

private:
    std::vector<Learner> learners_;
    std::vector<ClassRoom> classes_;
};

}  // namespace velmora::demo
