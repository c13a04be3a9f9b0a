// The two private schemes' address handling, through their handlers: any address (and, for media, any
// Range header) gets exactly one ending, a failure comes alone or after the response head, the app
// scheme never serves a file from outside its folder, and a finished media answer has the length
// its head announced.
#include <algorithm>

#include "FuzzInput.h"
#include "net/Url.h"
#include "schemes/AppSchemeHandler.h"
#include "schemes/MediaSchemeHandler.h"
#include "schemes/RecordingSchemeTask.h"
#include "schemes/StoredLesson.h"
#include "support/TempDirectory.h"

namespace {

using namespace velmora;

constexpr std::string_view kInsideMarker = "INSIDE";

struct Fixture {
    Fixture() {
        std::filesystem::create_directories(root / "app-ui" / "js");
        test::writeFile(root / "app-ui" / "index.html", std::string(kInsideMarker) + " index");
        test::writeFile(root / "app-ui" / "js" / "main.js", std::string(kInsideMarker) + " script");
        test::writeFile(root / "outside.html", "OUTSIDE");
        test::storeLesson(vault, "lesson-1", "owner-K", test::lessonBytes(3000));
    }
    test::TempDirectory root;
    AppSchemeHandler app{root / "app-ui"};
    VaultManager vault{root.path(), SecretBytes(Bytes(32, 7))};
    MediaSchemeHandler media{vault};
};

Fixture& fixture() {
    static Fixture* shared = new Fixture;  // lives for the whole run, like the app's handlers
    return *shared;
}

void checkEnding(const test::RecordingSchemeTask& task) {
    const auto& events = task.events;
    auto endings = std::count_if(events.begin(), events.end(), [](const std::string& e) { return e == "finish" || e == "fail"; });
    fuzz::check(endings == 1 && (events.back() == "finish" || events.back() == "fail"), "not exactly one ending");
    if (events.back() == "finish") fuzz::check(events.front() == "response", "finished without a response");
}

void checkApp(const std::string& address) {
    auto task = std::make_shared<test::RecordingSchemeTask>(address);
    fixture().app.start(task);
    checkEnding(*task);
    if (task->response && task->response->statusCode == 200) {
        std::string body(task->body.begin(), task->body.end());
        fuzz::check(body.starts_with(kInsideMarker), "the app scheme served a file from outside its folder");
    }
}

void checkMedia(const std::string& address, const std::string& range) {
    std::map<std::string, std::string> headers;
    if (!range.empty()) headers["Range"] = range;
    auto task = std::make_shared<test::RecordingSchemeTask>(address, headers);
    fixture().media.start(task);
    fuzz::check(task->waitForEnd(), "the media scheme never ended the task");
    checkEnding(*task);
    if (task->events.back() == "finish") {
        fuzz::check(task->response->expectedContentLength == static_cast<std::int64_t>(task->body.size()),
                    "media body length differs from the announced length");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    bool media = (input.byte() & 1) != 0;
    std::string range = media ? input.text(64) : std::string();
    std::string address = input.rest();
    if (auto url = Url::parse(address)) {
        fuzz::check(!url->scheme.empty(), "an absolute address without a scheme");
        url->decodedPath();
        url->queryItems();
    }
    if (media) {
        checkMedia(address, range);
    } else {
        checkApp(address);
    }
    return 0;
}
