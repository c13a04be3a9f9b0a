#include "DemoCatalogue.h"

#include <algorithm>
#include <utility>

namespace velmora::demo {
namespace {

std::string notes(const std::string& course, const std::string& topic) {
    return "星禾课堂 · " + course + "\n" + topic +
           "\n\n本讲义由演示服务生成，仅用于体验课件保存功能。\n"
           "一、课前预习：阅读本节要点。\n二、课堂练习：完成三道例题。\n三、课后作业：整理错题并复盘。\n";
}

std::vector<ClassRoom> demoClasses() {
    return {
        {101,
         "高一（3）班 · 数学",
         "陈老师",
         {{1001,
           1,
           "函数与导数",
           "从集合与映射出发，理解函数与导数的基本思想。",
           {{1,
             1,
             "第一章 函数的概念",
             {{10001, 1, "1.1 集合与映射", "math-1001-01", "short", true},
              {10002, 2, "1.2 函数的表示法", "math-1001-02", "medium", true}}},
            {2,
             2,
             "第二章 导数初步",
             {{10003, 1, "2.1 变化率与导数", "math-1001-03", "medium", true},
              {10004, 2, "2.2 导数的几何意义（仅限在线）", "math-1001-04", "short", false}}}},
           {{"函数与导数-讲义.txt", notes("函数与导数", "第一章 函数的概念")},
            {"函数与导数-练习.csv", "题号,题目,答案\n1,f(x)=2x+1 在 x=1 处的值,3\n2,y=x² 的导数,2x\n"}}},
          {1002,
           2,
           "三角函数",
           "弧度制、任意角与三角函数的图像。",
           {{3, 1, "第一章 任意角与弧度制", {{10005, 1, "1.1 弧度制", "math-1002-01", "short", true}}}},
           {{"三角函数-讲义.txt", notes("三角函数", "第一章 任意角与弧度制")}}}}},
        {102,
         "高一（3）班 · 语文",
         "林老师",
         {{2001,
           1,
           "古诗词鉴赏",
           "唐诗名篇的意象与格律。",
           {{4,
             1,
             "第一单元 唐诗",
             {{20001, 1, "静夜思", "chinese-2001-01", "short", true}, {20002, 2, "春晓", "chinese-2001-02", "medium", true}}}},
           {{"古诗词鉴赏-讲义.txt", notes("古诗词鉴赏", "第一单元 唐诗")}}}}},
        {103,
         "物理兴趣小组",
         "王老师",
         {{3001,
           1,
           "力学入门",
           "从匀速直线运动开始认识力学。",
           {{5,
             1,
             "第一章 运动的描述",
             {{30001, 1, "1.1 匀速直线运动", "physics-3001-01", "short", true},
              {30002, 2, "1.2 长视频压力测试", "physics-3001-02", "long", true}}}},
           {{"力学入门-讲义.txt", notes("力学入门", "第一章 运动的描述")}}}}},
    };
}

std::vector<Learner> demoLearners() {
    return {
        {"xiaoming", "velmora123", "李小明", "acct-7f3a9c21-xiaoming", {101, 102, 103}},
        {"xiaohong", "velmora123", "王小红", "acct-2b8e4d10-xiaohong", {101, 103}},
    };
}

}  // namespace

const DemoCatalogue& DemoCatalogue::standard() {
    static const DemoCatalogue catalogue(demoLearners(), demoClasses());
    return catalogue;
}

DemoCatalogue::DemoCatalogue(std::vector<Learner> learners, std::vector<ClassRoom> classes)
    : learners_(std::move(learners)), classes_(std::move(classes)) {}

const Learner* DemoCatalogue::learner(const std::string& account) const {
    auto found = std::find_if(learners_.begin(), learners_.end(), [&](const Learner& l) { return l.account == account; });
    return found == learners_.end() ? nullptr : &*found;
}

const ClassRoom* DemoCatalogue::classRoom(std::int64_t id) const {
    auto found = std::find_if(classes_.begin(), classes_.end(), [&](const ClassRoom& c) { return c.id == id; });
    return found == classes_.end() ? nullptr : &*found;
}

std::optional<LessonPlace> DemoCatalogue::course(std::int64_t courseId) const {
    for (const auto& classRoom : classes_) {
        for (const auto& course : classRoom.courses) {
            if (course.id == courseId) return LessonPlace{&classRoom, &course, nullptr, nullptr};
        }
    }
    return std::nullopt;
}

std::optional<LessonPlace> DemoCatalogue::lesson(std::int64_t lessonId) const {
    for (const auto& classRoom : classes_) {
        for (const auto& course : classRoom.courses) {
            for (const auto& chapter : course.chapters) {
                for (const auto& lesson : chapter.lessons) {
                    if (lesson.id == lessonId) return LessonPlace{&classRoom, &course, &chapter, &lesson};
                }
            }
        }
    }
    return std::nullopt;
}

bool DemoCatalogue::enrolled(const Learner& learner, std::int64_t classId) const {
    return std::find(learner.classIds.begin(), learner.classIds.end(), classId) != learner.classIds.end();
}

}  // namespace velmora::demo
