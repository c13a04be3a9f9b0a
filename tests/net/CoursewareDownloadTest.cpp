#include <gtest/gtest.h>

#include "bridge/CoursewareDownload.h"

namespace velmora {
namespace {

std::string repeated(std::string_view unit, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += unit;
    return out;
}

TEST(SafeFileNameTest, RemovesPathAndLineCharactersOnly) {
    for (const auto& [name, safe] : std::vector<std::pair<std::string, std::string>>{
             {"a/b:c.pdf", "abc.pdf"},
             {"x\\y.txt", "xy.txt"},
             {std::string("nul\0l.doc", 9), "null.doc"},
             {"line\r\nbreak\r\n.pdf", "linebreak.pdf"},
             {" .hidden 讲义 v2.pdf ", " .hidden 讲义 v2.pdf "},
             {"/:\\/", "课程资料"},
             {"", "课程资料"},
             {"\r\n", "课程资料"},
         }) {
        SCOPED_TRACE(name);
        EXPECT_EQ(CoursewareDownload::safeFileName(name), safe);
    }
}

TEST(SafeFileNameTest, KeepsThe180FirstUserPerceivedCharactersAfterRemoval) {
    // A family emoji is one character of 25 bytes; an accented letter with a combining mark is one.
    std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7\xE2\x80\x8D\xF0\x9F\x91\xA6";
    for (const auto& [name, safe] : std::vector<std::pair<std::string, std::string>>{
             {std::string(200, 'n'), std::string(180, 'n')},
             {repeated("/", 50) + std::string(180, 'n'), std::string(180, 'n')},
             {repeated(family, 181), repeated(family, 180)},
             {repeated("e\xCC\x81", 181), repeated("e\xCC\x81", 180)},
             {repeated("课", 179) + "件.pdf", repeated("课", 179) + "件"}}) {
        EXPECT_EQ(CoursewareDownload::safeFileName(name), safe);
    }
}

TEST(CoursewareAddressTest, AcceptsOnlyHttpsURLs) {
    EXPECT_EQ(CoursewareDownload::sourceURL({{"url", "https://cdn.velmora.test/files/a.pdf"}}),
              "https://cdn.velmora.test/files/a.pdf");
    for (const Json& url : std::vector<Json>{"http://cdn.velmora.test/a.pdf", "HTTPS://cdn.velmora.test/a.pdf", "not a url",
                                             "https://", "ftp://cdn.velmora.test/a.pdf", "", 42, Json::object(), nullptr}) {
        SCOPED_TRACE(url.dump());
        Json payload = {{"type", "downloadResource"}};
        if (!url.is_null()) payload["url"] = url;
        EXPECT_FALSE(CoursewareDownload::sourceURL(payload));
    }
}

TEST(CoursewareAddressTest, ProposesTheSuggestedNameOrTheLastPathComponent) {
    for (const auto& [payload, proposed] : std::vector<std::pair<Json, std::string>>{
             {{{"suggestedName", "a/b:c.pdf"}}, "abc.pdf"},
             {{{"suggestedName", ""}}, "课程资料"},
             {{{"suggestedName", 5}, {"url", "https://h.test/files/notes.pdf"}}, "notes.pdf"},
             {{{"url", "https://h.test/files/notes.pdf"}}, "notes.pdf"},
             {{{"url", "https://h.test/files/notes.pdf?sig=1#p2"}}, "notes.pdf"},
             {{{"url", "https://h.test/files/%E8%AF%BE%E4%BB%B6%201.pdf"}}, "课件 1.pdf"},
             {{{"url", "https://h.test/dir%2Fname.pdf"}}, "dirname.pdf"},
             {{{"url", "https://h.test/files/"}}, "files"},
             {{{"url", "https://h.test/"}}, "课程资料"},
             {{{"url", "https://h.test"}}, "课程资料"},
         }) {
        SCOPED_TRACE(payload.dump());
        EXPECT_EQ(CoursewareDownload::proposedName(payload, payload.value("url", "https://h.test/x")), proposed);
    }
}

TEST(CoursewareRequestTest, AsksForBytesAndCarriesTheTokenOnlyWhenThereIsOne) {
    HttpRequest anonymous = CoursewareDownload::request("https://h.test/a", "", std::chrono::seconds(60));
    EXPECT_EQ(anonymous.headers, (std::vector<HttpHeader>{{"Accept", "application/octet-stream,*/*;q=0.8"}}));
    EXPECT_EQ(anonymous.timeout, std::chrono::seconds(60));
    HttpRequest signedIn = CoursewareDownload::request("https://h.test/a", "t0k", std::chrono::seconds(60));
    EXPECT_EQ(signedIn.headers.back(), (HttpHeader{"Authorization", "Bearer t0k"}));
}

}  // namespace
}  // namespace velmora
