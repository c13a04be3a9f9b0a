#include "schemes/LocalUrl.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(LocalUrl, SplitsWithoutNormalising) {
    auto url = LocalUrl::parse("velmora-media://user@Local:8080/v1/../%41?owner=k#frag");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme, "velmora-media");
    EXPECT_EQ(url->host, "Local");
    EXPECT_EQ(url->path, "/v1/../%41");
    EXPECT_EQ(url->decodedPath(), "/v1/../A");
    EXPECT_EQ(url->query, "owner=k");
}

TEST(LocalUrl, QueryPresenceIsKeptApartFromEmptiness) {
    EXPECT_FALSE(LocalUrl::parse("velmora-app://local/a")->query);
    EXPECT_EQ(LocalUrl::parse("velmora-app://local/a?")->query, "");
    EXPECT_TRUE(LocalUrl::parse("velmora-app://local/a?")->queryItems().empty());
    EXPECT_EQ(LocalUrl::parse("velmora-app://local?x")->path, "");
    EXPECT_EQ(LocalUrl::parse("velmora-app:index.html")->path, "index.html");
}

TEST(LocalUrl, QueryItemsDecodeAndKeepMissingValuesApart) {
    auto items = LocalUrl::parse("velmora-media://local/v1/a?owner&owner=&x=1=2&k%20y=%E8%AF%BE+b")->queryItems();
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].name, "owner");
    EXPECT_FALSE(items[0].value);
    EXPECT_EQ(items[1].value, "");
    EXPECT_EQ(items[2].name, "x");
    EXPECT_EQ(items[2].value, "1=2");
    EXPECT_EQ(items[3].name, "k y");
    EXPECT_EQ(items[3].value, "课+b");  // "+" is not a space outside form encoding
}

TEST(LocalUrl, RefusesWhatIsNotAnAbsoluteUrl) {
    for (const char* text : {"", "/index.html", "1abc://x/", "velmora-app://local/%", "velmora-app://local/%4",
                             "velmora-app://local/%g0", "velmora-app://lo%zzcal/", "velmora-app://local/?a=%"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(LocalUrl::parse(text));
    }
}

TEST(PercentDecode, DecodesEveryByte) {
    EXPECT_EQ(percentDecode("%2e%2E%5c%00%ff"), std::string("..\\\0\xff", 5));
}

}  // namespace
}  // namespace velmora
