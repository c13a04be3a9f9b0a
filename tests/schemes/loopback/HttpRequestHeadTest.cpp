#include "schemes/loopback/HttpRequestHead.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(HttpRequestHead, ReadsTheRequestLineAndFields) {
    auto head = HttpRequestHead::parse("GET /s/v1/a?owner=k HTTP/1.1\r\nHost: 127.0.0.1:80\r\nrange:\t bytes=0- \r\nX-Empty:");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->method, "GET");
    EXPECT_EQ(head->target, "/s/v1/a?owner=k");
    EXPECT_EQ(head->field("RANGE"), "bytes=0-");
    EXPECT_EQ(head->field("x-empty"), "");
    EXPECT_EQ(head->fieldCount("host"), 1u);
    EXPECT_FALSE(head->field("Connection"));
}

TEST(HttpRequestHead, RefusesMalformedHeads) {
    for (const char* text : {"", "GET /", "GET / HTTP/2", "GET / HTTP/1.1 extra", "GET  / HTTP/1.1", "G(T / HTTP/1.1",
                             "GET / HTTP/1.1\r\nNo colon", "GET / HTTP/1.1\r\nBad Name: x", "GET / HTTP/1.1\r\n: x",
                             "GET / HTTP/1.1\r\nX: a\rb", "GET /\x01 HTTP/1.1", "GET / HTTP/1.1\r\n\r\nHost: x"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(HttpRequestHead::parse(text));
    }
}

TEST(HttpRequestHead, KeepAliveFollowsVersionAndConnectionOptions) {
    struct Row {
        const char* head;
        bool keepsAlive;
    };
    for (const Row& row : {Row{"GET / HTTP/1.1", true}, Row{"GET / HTTP/1.1\r\nConnection: keep-alive", true},
                           Row{"GET / HTTP/1.1\r\nConnection: Close", false},
                           Row{"GET / HTTP/1.1\r\nConnection: keep-alive , close", false},
                           Row{"GET / HTTP/1.1\r\nConnection: upgrade\r\nconnection: close", false},
                           Row{"GET / HTTP/1.0", false}, Row{"GET / HTTP/1.0\r\nConnection: keep-alive", false}}) {
        SCOPED_TRACE(row.head);
        auto head = HttpRequestHead::parse(row.head);
        ASSERT_TRUE(head);
        EXPECT_EQ(head->keepsAlive(), row.keepsAlive);
    }
}

}  // namespace
}  // namespace velmora
