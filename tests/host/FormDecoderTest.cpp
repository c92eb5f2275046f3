// FormDecoderTest.cpp: form bodies decoded whole: URL-encoded and multipart text fields,
// the malformed multipart bodies refused, and the cap on fields.
#include "host/lib/FormDecoder.h"

#include <gtest/gtest.h>

namespace velquor::host {
namespace {

using Result = FormDecoder::Result;

TEST(FormDecoder, DecodesFormBodiesAndRefusesMalformedOrOversizedOnes) {
    const std::string multipart = "multipart/form-data; boundary=\"b b\"";
    auto field = [](const std::string &disposition, const std::string &value) {
        return "--b b\r\nContent-Disposition: " + disposition + "\r\n\r\n" + value + "\r\n";
    };
    struct Case {
        const char *what;
        std::string type;
        std::string body;
        Result result;
        NameValueList fields;
    };
    const Case cases[] = {
        {"url-encoded", "Application/X-WWW-Form-URLEncoded; charset=utf-8", "a=1&b=x+y&a=%26", Result::Decoded,
         {{"a", "1"}, {"b", "x y"}, {"a", "&"}}},
        {"url-encoded at the cap", "application/x-www-form-urlencoded", "a&b&c", Result::Decoded,
         {{"a", ""}, {"b", ""}, {"c", ""}}},
        {"url-encoded over the cap", "application/x-www-form-urlencoded", "a&b&c&d", Result::TooManyFields, {}},
        {"another type", "text/plain", "a=1", Result::Decoded, {}},
        {"multipart", multipart,
         "preamble\r\n" + field("form-data; name=\"a\"", "1\r\n--b") + field("form-data; name=a", "") +
             "--b b\r\nContent-Type: text/plain\r\ncontent-disposition: form-data; name=\"c\\\"d\"\r\n\r\nx\r\n"
             "--b b--\r\nepilogue",
         Result::Decoded, {{"a", "1\r\n--b"}, {"a", ""}, {"c\"d", "x"}}},
        {"multipart upload", multipart,
         field("form-data; name=\"file\"; filename=\"up.txt\"", "<data>") + field("form-data; name=\"t\"", "v") +
             "--b b--",
         Result::Decoded, {{"t", "v"}}},
        {"multipart without its closing delimiter", multipart, field("form-data; name=\"a\"", "1"), Result::Malformed, {}},
        {"multipart cut inside a part", multipart, field("form-data; name=\"a\"", "1") + "--b b\r\nContent-Dispo",
         Result::Malformed, {}},
        {"multipart without a boundary", "multipart/form-data", "--\r\n", Result::Malformed, {}},
        {"multipart part without a name", multipart, field("form-data", "1") + "--b b--", Result::Malformed, {}},
        {"multipart part without its blank line", multipart, "--b b\r\nContent-Disposition: form-data; name=a\r\n--b b--",
         Result::Malformed, {}},
        {"multipart over the cap", multipart,
         field("form-data; name=a", "") + field("form-data; name=b", "") + field("form-data; name=c", "") +
             field("form-data; name=d; filename=x", "") + "--b b--",
         Result::TooManyFields, {}},
    };
    for (const Case &test : cases) {
        NameValueList fields = {{"query", "kept"}};
        EXPECT_EQ(FormDecoder::decode(test.type, test.body, 3, fields), test.result) << test.what;
        NameValueList expected = {{"query", "kept"}};
        expected.insert(expected.end(), test.fields.begin(), test.fields.end());
        EXPECT_EQ(fields, expected) << test.what;
    }
}

TEST(FormDecoder, ReadsParametersOfHeaderValues) {
    const std::string value = "form-data; flag; name = \"a;b\" ; filename=plain.txt;empty=\"\"";
    EXPECT_EQ(FormDecoder::parameter(value, "NAME"), std::optional<std::string>("a;b"));
    EXPECT_EQ(FormDecoder::parameter(value, "filename"), std::optional<std::string>("plain.txt"));
    EXPECT_EQ(FormDecoder::parameter(value, "empty"), std::optional<std::string>(""));
    EXPECT_EQ(FormDecoder::parameter(value, "flag"), std::nullopt);
    EXPECT_EQ(FormDecoder::parameter(value, "form-data"), std::nullopt);
    EXPECT_EQ(FormDecoder::boundaryOf("multipart/form-data; boundary="), std::nullopt);
}

} // namespace
} // namespace velquor::host
