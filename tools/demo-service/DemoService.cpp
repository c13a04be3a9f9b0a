#include "DemoService.h"

#include <chrono>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "DemoResponses.h"

namespace velmora::demo {

using nlohmann::json;

namespace {

constexpr std::int64_t kOnlineTicketSeconds = 6 * 3600;

// A text member of a request body, or "" when the body or the member is of another kind.
std::string textMember(const json& body, const char* key) {
    if (!body.is_object()) return "";
    const auto found = body.find(key);
    return found != body.end() && found->is_string() ? found->get<std::string>() : "";
}

json lessonSummary(const Lesson& lesson) {
    return {{"id", lesson.id},
            {"index", lesson.index},
            {"title", lesson.title},
            {"asset_id", lesson.assetId},
            {"offline", lesson.offline}};
}

json classSummary(const ClassRoom& classRoom) {
    std::size_t lessons = 0;
    for (const auto& course : classRoom.courses)
        for (const auto& chapter : course.chapters) lessons += chapter.lessons.size();
    return {{"id", classRoom.id},
            {"title", classRoom.title},
            {"teacher", classRoom.teacher},
            {"course_count", classRoom.courses.size()},
            {"lesson_count", lessons}};
}

}  // namespace

DemoService::DemoService(DemoServiceConfig config, const DemoCatalogue& catalogue)
    : config_(std::move(config)),
      catalogue_(catalogue),
      tls_(ensureCertificates(config_.stateFolder, {config_.host, "localhost"})),
      signer_(config_.stateFolder),
      progress_(config_.stateFolder),
      mediaDrop_(config_.dropMediaOnceAt, [this] { beginOutage(); }) {
    makeServer();
}

DemoService::~DemoService() { stop(); }

// A new server with every route, not yet bound.
void DemoService::makeServer() {
    server_ = std::make_unique<httplib::SSLServer>(tls_.serverCertificate.c_str(), tls_.serverKey.c_str());
    if (!server_->is_valid()) throw std::runtime_error("the demo service's TLS certificate could not be loaded");
    routeApi();
    routeCatalogue();
    routeLessons();
    routeFiles();
    server_->set_error_handler([](const httplib::Request& request, httplib::Response& response) {
        if (response.status == 404 && response.body.empty()) {
            sendFailure(response, 404, request.path.starts_with(kApiBase) ? "接口不存在" : "资源不存在");
        }
    });
    server_->set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        sendFailure(response, 500, "演示服务内部错误");
    });
}

int DemoService::start() {
    port_ = config_.port == 0 ? server_->bind_to_any_port(config_.host) : config_.port;
    if (port_ <= 0 || (config_.port != 0 && !server_->bind_to_port(config_.host, config_.port))) {
        throw std::runtime_error("cannot listen on " + config_.host + ":" + std::to_string(config_.port));
    }
    serve();
    return port_;
}

void DemoService::serve() {
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // httplib's stop() does nothing to a server that is not running yet, so a stop() right after
    // start() would wait forever for the thread: this returns once it serves.
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Runs on a thread of its own: the drop that starts it is on one of the server's workers, which
// stop() waits for.
void DemoService::beginOutage() {
    if (config_.outageAfterDrop.count() <= 0) return;
    outage_ = std::thread([this] {
        server_->stop();
        if (thread_.joinable()) thread_.join();
        std::cout << "velmora-demo-service: not answering for " << config_.outageAfterDrop.count() << " s" << std::endl;
        const auto until = std::chrono::steady_clock::now() + config_.outageAfterDrop;
        while (!stopping_ && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (stopping_) return;
        makeServer();
        if (!server_->bind_to_port(config_.host, port_)) {
            std::cerr << "velmora-demo-service: cannot listen again on port " << port_ << std::endl;
            return;
        }
        serve();
        std::cout << "velmora-demo-service: answering again" << std::endl;
    });
}

void DemoService::stop() {
    stopping_ = true;
    if (outage_.joinable()) outage_.join();
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

std::string DemoService::origin() const { return "https://" + config_.host + ":" + std::to_string(port_); }

void DemoService::routeApi() {
    server_->Post(std::string(kApiBase) + "auth/login", [this](const httplib::Request& request, httplib::Response& response) {
        const json body = json::parse(request.body, nullptr, false);
        const Learner* learner = catalogue_.learner(textMember(body, "account"));
        if (learner == nullptr || learner->password != textMember(body, "password"))
            return sendFailure(response, 401, "账号或密码错误");
        sendData(response, {{"token", signer_.issueToken(learner->account, secondsNow())},
                            {"owner_key", learner->ownerKey},
                            {"display_name", learner->displayName},
                            {"account", learner->account}});
    });
    server_->Post(std::string(kApiBase) + "auth/logout",
                  [](const httplib::Request&, httplib::Response& response) { sendData(response, json::object()); });
    server_->Get(std::string(kApiBase) + "me", [this](const httplib::Request& request, httplib::Response& response) {
        const Learner* learner = signedInLearner(request, catalogue_, signer_);
        if (learner == nullptr) return sendFailure(response, 401, kSignInAgain);
        sendData(response, {{"account", learner->account},
                            {"display_name", learner->displayName},
                            {"owner_key", learner->ownerKey},
                            {"web_site", "https://localhost/"}});
    });
    server_->Post(std::string(kApiBase) + "progress", [this](const httplib::Request& request, httplib::Response& response) {
        const Learner* learner = signedInLearner(request, catalogue_, signer_);
        if (learner == nullptr) return sendFailure(response, 401, kSignInAgain);
        const json body = json::parse(request.body, nullptr, false);
        if (!body.is_object() || !body.contains("lesson_id") || !body["lesson_id"].is_number_integer() ||
            !body.contains("position") || !body["position"].is_number() || body["position"].get<double>() < 0) {
            return sendFailure(response, 400, "学习进度格式无效");
        }
        const auto place = catalogue_.lesson(body["lesson_id"].get<std::int64_t>());
        if (!place || !catalogue_.enrolled(*learner, place->classRoom->id)) return sendFailure(response, 404, "课时不存在");
        const double duration = body.contains("duration") && body["duration"].is_number() ? body["duration"].get<double>() : 0;
        progress_.save(learner->account, place->lesson->id, {body["position"].get<double>(), duration, secondsNow()});
        sendData(response, json::object());
    });
}

void DemoService::routeCatalogue() {
    server_->Get(std::string(kApiBase) + "classes", [this](const httplib::Request& request, httplib::Response& response) {
        const Learner* learner = signedInLearner(request, catalogue_, signer_);
        if (learner == nullptr) return sendFailure(response, 401, kSignInAgain);
        json classes = json::array();
        for (const auto& classRoom : catalogue_.classes())
            if (catalogue_.enrolled(*learner, classRoom.id)) classes.push_back(classSummary(classRoom));
        sendData(response, classes);
    });
    server_->Get(std::string(kApiBase) + R"(classes/(\d+)/courses)",
                 [this](const httplib::Request& request, httplib::Response& response) {
                     const Learner* learner = signedInLearner(request, catalogue_, signer_);
                     if (learner == nullptr) return sendFailure(response, 401, kSignInAgain);
                     const auto id = parseId(request.matches[1]);
                     const ClassRoom* classRoom = id ? catalogue_.classRoom(*id) : nullptr;
                     if (classRoom == nullptr || !catalogue_.enrolled(*learner, classRoom->id))
                         return sendFailure(response, 404, "班级不存在");
                     json courses = json::array();
                     for (const auto& course : classRoom->courses) {
                         std::size_t lessons = 0;
                         for (const auto& chapter : course.chapters) lessons += chapter.lessons.size();
                         courses.push_back({{"id", course.id},
                                            {"index", course.index},
                                            {"title", course.title},
                                            {"summary", course.summary},
                                            {"lesson_count", lessons}});
                     }
                     sendData(response, {{"class", classSummary(*classRoom)}, {"courses", courses}});
                 });
    server_->Get(std::string(kApiBase) + R"(courses/(\d+))", [this](const httplib::Request& request,
                                                                    httplib::Response& response) {
        const Learner* learner = signedInLearner(request, catalogue_, signer_);
        if (learner == nullptr) return sendFailure(response, 401, kSignInAgain);
        const auto id = parseId(request.matches[1]);
        const auto place = id ? catalogue_.course(*id) : std::nullopt;
        if (!place || !catalogue_.enrolled(*learner, place->classRoom->id)) return sendFailure(response, 404, "课程不存在");
        json chapters = json::array();
        for (const auto& chapter : place->course->chapters) {
            json lessons = json::array();
            for (const auto& lesson : chapter.lessons)
                if (clipAvailable(config_.mediaFolder, lesson.clip)) lessons.push_back(lessonSummary(lesson));
            chapters.push_back({{"id", chapter.id}, {"index", chapter.index}, {"title", chapter.title}, {"lessons", lessons}});
        }
        sendData(response, {{"id", place->course->id},
                            {"index", place->course->index},
                            {"title", place->course->title},
                            {"summary", place->course->summary},
                            {"class", classSummary(*place->classRoom)},
                            {"chapters", chapters}});
    });
}

void DemoService::routeLessons() {
    server_->Get(std::string(kApiBase) + R"(lessons/(\d+))", [this](const httplib::Request& request,
                                                                    httplib::Response& response) {
        const Learner* learner = signedInLearner(request, catalogue_, signer_);
        if (learner == nullptr) return sendFailure(response, 401, kSignInAgain);
        const auto id = parseId(request.matches[1]);
        const auto place = id ? catalogue_.lesson(*id) : std::nullopt;
        if (!place || !catalogue_.enrolled(*learner, place->classRoom->id)) return sendFailure(response, 404, "课时不存在");
        json courseware = json::array();
        for (std::size_t i = 0; i < place->course->courseware.size(); ++i) {
            courseware.push_back(
                {{"name", place->course->courseware[i].name},
                 {"url", origin() + "/files/courseware/" + std::to_string(place->course->id) + "/" + std::to_string(i + 1)}});
        }
        json progress = nullptr;
        if (auto saved = progress_.load(learner->account, place->lesson->id)) {
            progress = {{"position", saved->position}, {"duration", saved->duration}, {"updated_at", saved->updatedAt}};
        }
        json lesson = lessonSummary(*place->lesson);
        lesson.update({{"class_id", place->classRoom->id},
                       {"class_title", place->classRoom->title},
                       {"course_id", place->course->id},
                       {"course_title", place->course->title},
                       {"course_index", place->course->index},
                       {"chapter_id", place->chapter->id},
                       {"chapter_title", place->chapter->title},
                       {"chapter_index", place->chapter->index},
                       {"play_url", mediaAddress(origin(), signer_, place->lesson->clip, secondsNow() + kOnlineTicketSeconds)},
                       {"courseware", courseware},
                       {"progress", progress}});
        sendData(response, lesson);
    });
    server_->Get(std::string(kApiBase) + "classes/getClassChapterItemStashInfo",
                 [this](const httplib::Request& request, httplib::Response& response) {
                     answerOfflineAuthorisation(request, response, catalogue_, signer_, config_.mediaFolder, origin());
                 });
}

void DemoService::routeFiles() {
    server_->Get(R"(/media/([a-z]+)\.mp4)", [this](const httplib::Request& request, httplib::Response& response) {
        serveMedia(request, response, signer_, config_.mediaFolder, mediaDrop_);
    });
    server_->Get(R"(/files/courseware/(\d+)/(\d+))", [this](const httplib::Request& request, httplib::Response& response) {
        serveCourseware(request, response, catalogue_, signer_);
    });
    server_->Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(
            "<!doctype html><meta charset=utf-8><title>星禾课堂演示服务</title>"
            "<h1>星禾课堂演示服务</h1><p>本服务仅供桌面端演示与测试使用。</p>",
            "text/html; charset=utf-8");
    });
}

}  // namespace velmora::demo
