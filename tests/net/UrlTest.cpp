#include <gtest/gtest.h>

#include <tuple>

#include "net/Url.h"

namespace velmora {
namespace {

// The loopback hands the media handler the address a request target names; it must split exactly
// as the whole address written out would.
TEST(UrlTest, TargetSplitsAsTheWholeAddress) {
    for (std::string target :
         {"/v1/a?owner=k", "/v1/%E8%AF%BE?owner=%4B&x", "/v1/a#frag?owner=k", "/v1/a?", "/v1/a?o=%zz", "/v1/%2e%2E/b"}) {
        SCOPED_TRACE(target);
        std::optional<Url> split = Url::fromTarget("velmora-media", "local", target);
        std::optional<Url> whole = Url::parse("velmora-media://local" + target);
        ASSERT_EQ(split.has_value(), whole.has_value());
        if (!split) continue;
        EXPECT_EQ(split->text, whole->text);
        EXPECT_EQ(std::tie(split->scheme, split->host, split->path, split->query),
                  std::tie(whole->scheme, whole->host, whole->path, whole->query));
    }
}

// The private schemes see dot segments as written; an address read for a request resolves them
// unless asked to keep them.
TEST(UrlTest, OnlyTheWebReadingResolvesDotSegments) {
    EXPECT_EQ(Url::parse("velmora-app://app/a/../b")->path, "/a/../b");
    EXPECT_EQ(Url::parseWeb("https://h.test/a/../b")->text, "https://h.test/b");
    EXPECT_EQ(Url::parseWeb("https://h.test/a/../b", DotSegments::keep)->text, "https://h.test/a/../b");
    EXPECT_FALSE(Url::parseWeb("not a url"));
}

TEST(UrlTest, LenientDecodingKeepsMalformedEscapes) {
    EXPECT_EQ(percentDecodeLeniently("a%20b%zz%4"), "a b%zz%4");
    EXPECT_FALSE(percentDecode("a%20b%zz"));
}

}  // namespace
}  // namespace velmora
