#include "securestore/DesktopSession.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(DesktopSessionTest, JsonFormNeedsTheThreeMembersAsStringsAndIgnoresExtras) {
    DesktopSession session{"t", "o", "星禾同学"};
    EXPECT_EQ(session.toJson(), (Json{{"token", "t"}, {"ownerKey", "o"}, {"userName", "星禾同学"}}));
    EXPECT_EQ(DesktopSession::fromJson(session.toJson()), session);
    EXPECT_THROW(DesktopSession::fromJson(Json{{"token", "t"}, {"ownerKey", "o"}}), Json::out_of_range);
    EXPECT_THROW(DesktopSession::fromJson(Json{{"token", 1}, {"ownerKey", "o"}, {"userName", "u"}}), Json::type_error);
    EXPECT_THROW(DesktopSession::fromJson(Json{{"token", nullptr}, {"ownerKey", "o"}, {"userName", "u"}}), Json::type_error);
    EXPECT_THROW(DesktopSession::fromJson(Json{{"token", "t"}, {"ownerKey", "o"}, {"userName", 5}}), Json::type_error);
    EXPECT_THROW(DesktopSession::fromJson(Json::array()), Json::exception);
    EXPECT_EQ(DesktopSession::fromJson(Json{{"token", " t "}, {"ownerKey", ""}, {"userName", "u"}, {"x", Json::array({1})}}),
              (DesktopSession{" t ", "", "u"}));
}

}  // namespace
}  // namespace velmora
