// WebExchangeTest.cpp: URL-encoded text and the parts of a request target.
#include "host/lib/WebExchange.h"

#include <gtest/gtest.h>

namespace velquor::host {
namespace {

TEST(URLText, DecodesEscapesAndPlusSigns) {
    EXPECT_EQ(URLText::decode("a%20b+c%2B%zz%4", true), "a b c+%zz%4");
    EXPECT_EQ(URLText::decode("a+b%2f", false), "a+b/");
    EXPECT_EQ(URLText::decode("%00", false), std::string(1, '\0'));
}

TEST(URLText, ParsesFormsInOrderWithRepeats) {
    NameValueList fields;
    URLText::parseForm("a=1&&b=x+y&a=%26&flag&=v&c=d=e", fields);
    NameValueList expected = {{"a", "1"}, {"b", "x y"}, {"a", "&"}, {"flag", ""}, {"", "v"}, {"c", "d=e"}};
    EXPECT_EQ(fields, expected);
}

TEST(URLText, StopsAFormAtItsMaximumFieldCount) {
    NameValueList fields = {{"query", "1"}};
    EXPECT_TRUE(URLText::parseForm("a=1&&b=2", fields, 2));  // empty fields do not count
    EXPECT_EQ(fields.size(), 3u);
    fields.clear();
    EXPECT_FALSE(URLText::parseForm("a=1&b=2&c=3", fields, 2));
    EXPECT_EQ(fields.size(), 2u);
}

TEST(URLText, EncodesPathsKeepingTheirSlashes) {
    EXPECT_EQ(URLText::encodePath("/a b/\xC3\xA9?#%/"), "/a%20b/%C3%A9%3F%23%25/");
}

TEST(WebRequest, SplitsTheTargetAndFindsHeadersIgnoringCase) {
    WebRequest request;
    request.target = "/a%20b.html?x=1?y";
    request.headers = {{"host", "h:1"}, {"Host", "second"}};
    EXPECT_EQ(request.rawPath(), "/a%20b.html");
    EXPECT_EQ(request.rawQuery(), "x=1?y");
    EXPECT_EQ(request.header("HOST"), "h:1");
    EXPECT_TRUE(request.hasHeader("Host"));
    EXPECT_FALSE(request.hasHeader("Origin"));
    EXPECT_EQ(request.header("Origin"), "");
}

TEST(WebRequest, JoinsEveryLineOfAListHeaderInOrder) {
    WebRequest request;
    request.headers = {{"X-Forwarded-For", "10.0.0.1, 127.0.0.1"}, {"Host", "x"}, {"x-forwarded-for", "198.51.100.7"}};
    EXPECT_EQ(request.headerList("X-Forwarded-For"), "10.0.0.1, 127.0.0.1, 198.51.100.7");
    EXPECT_EQ(request.headerList("Host"), "x");
    EXPECT_EQ(request.headerList("Origin"), "");
}

} // namespace
} // namespace velquor::host
