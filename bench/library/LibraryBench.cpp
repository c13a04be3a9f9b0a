// A year's library: 1,000 lessons in 40 courses sealed into the vault (seal_lesson --library), the
// app started with its own packaged page and a benchmark driver added to a scratch copy of it
// (bench/library/page/library-driver.js). The driver signs in with a stored session, then:
// opens the library from the navigation five times (the click to the page's "library-painted" mark,
// and the view's listing from the page's "library-listing-asked" to its "library-listed"), scrolls the whole
// library while timing the longest stretch the page's main thread did not answer, and deletes
// lessons (the confirming click to the painted library without the lesson).
//
// Prints: library_paint_ms (median of the opens; target <= 100), listing_ms (median; target <= 50),
// longest_task_ms while scrolling (target <= 50), delete_ms (median; target <= 50), with the
// slowest of each; and, to tell the page's own work from the machine's drawing, when the first rows
// and the deletion were in the page (before their frame) and idle_frame_ms, a frame with nothing
// changed.
//
// usage: bench_library [lessons] [courses]   (default 1000 lessons in 40 courses)
#include "BenchFiles.h"
#include "BenchServer.h"
#include "ScratchApp.h"
#include "TracedProcess.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace velmora::bench;
using Json = nlohmann::json;

const std::string kOwnerKey = "bench-owner";

struct Shape {
    int lessons = 1000;
    int courses = 40;
};

std::vector<double> numbers(const Json& values) {
    std::vector<double> out;
    for (const Json& value : values) out.push_back(value.get<double>());
    return out;
}

// The median and the slowest; with a target, the median's.
void print(const char* name, const std::vector<double>& values, std::optional<double> target = std::nullopt) {
    std::printf("%s %.1f ms", name, percentile(values, 50));
    if (target) std::printf(" (target <= %.0f)", *target);
    std::printf("\n%s_max %.1f ms\n", name, percentile(values, 100));
}

}  // namespace

int main(int argc, char** argv) {
    try {
        runUnderVirtualDisplay(argc, argv);
        Shape shape;
        if (argc > 1) shape.lessons = std::atoi(argv[1]);
        if (argc > 2) shape.courses = std::atoi(argv[2]);
        if (shape.lessons < 10 || shape.courses < 1 || shape.courses > shape.lessons) {
            throw std::runtime_error("usage: bench_library [lessons >= 10] [courses <= lessons]");
        }

        std::string report;
        {
            BenchServer server;
            server.start();
            ScratchApp app("library", VELMORA_APP_UI_DIR);
            app.addDriver({VELMORA_DRIVER, VELMORA_SESSION_MODULE},
                          Json{{"report", server.url("/report")}, {"ownerKey", kOwnerKey}, {"lessons", shape.lessons}}.dump());
            sealLibrary(app.dataDir(), kOwnerKey, yearOfLessons(shape.lessons, shape.courses));
            TracedProcess process({app.binary().string()}, app.environment(), app.root() / "app.log");
            report = server.waitForReport(process, std::chrono::minutes(10));
        }
        Json result = Json::parse(report);
        if (result.contains("error")) throw std::runtime_error("the driver failed: " + result["error"].get<std::string>());
        std::printf("lessons %d in %d courses\n", shape.lessons, shape.courses);
        std::printf("rows_shown %d\n", result.at("rows").get<int>());
        print("library_paint_ms", numbers(result.at("paintMs")), 100);
        print("library_rows_in_page_ms", numbers(result.at("openDomMs")));
        print("listing_ms", numbers(result.at("listingMs")), 50);
        std::printf("longest_task_ms %.1f ms (target <= 50)\n", result.at("longestTaskMs").get<double>());
        std::printf("scroll_ms %.0f ms\n", result.at("scrollMs").get<double>());
        print("delete_ms", numbers(result.at("deleteMs")), 50);
        print("delete_row_gone_ms", numbers(result.at("deleteDomMs")));
        print("idle_frame_ms", numbers(result.at("idleFrameMs")));
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench library: %s\n", error.what());
        return 1;
    }
}
