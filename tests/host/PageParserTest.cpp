// PageParserTest.cpp: the page syntax: which tags are found, their attributes, bodies and
// placeholders, and what stays page text.
#include "host/lib/PageParser.h"

#include "module/HostInterface.h"

#include <gtest/gtest.h>

namespace velquor::host {
namespace {

// A template as text: literals as they are, references as ${kind:name}.
std::string describe(const PageTemplate &text) {
    std::string out;
    for (const PagePiece &piece : text) {
        switch (piece.kind) {
        case PagePiece::Kind::Literal:
            out += piece.text;
            break;
        case PagePiece::Kind::Form:
            out += "${form:" + piece.text + "}";
            break;
        case PagePiece::Kind::Variable:
            out += "${var:" + piece.text + "}";
            break;
        case PagePiece::Kind::CGI:
            out += "${cgi:" + piece.text + "}";
            break;
        }
    }
    return out;
}

// Segments as text(...), tag(name|attribute=value...;body=...), error(...).
std::string describe(const ParsedPage &page) {
    std::string out;
    for (const PageSegment &segment : page.segments) {
        switch (segment.kind) {
        case PageSegment::Kind::Text:
            out += "text(" + describe(segment.text) + ")";
            break;
        case PageSegment::Kind::Error:
            out += "error(" + segment.error + ")";
            break;
        case PageSegment::Kind::Tag:
            out += "tag(" + segment.tag.name;
            for (const PageAttribute &attribute : segment.tag.attributes) {
                out += "|" + attribute.name + "=" + describe(attribute.value);
            }
            if (segment.tag.body) {
                out += ";body=" + describe(*segment.tag.body);
            }
            out += ")";
            break;
        }
    }
    return out;
}

const PageParser &parser() {
    static const PageParser instance({{"qelIncludeHTTP", QEL_TAG_KIND_EMPTY},
                                      {"qelPOP", QEL_TAG_KIND_EMPTY},
                                      {"qelSendMail", QEL_TAG_KIND_WITH_BODY}});
    return instance;
}

TEST(PageParser, FindsRegisteredTagsWithTheirAttributesAndBodies) {
    struct Case {
        const char *page;
        const char *expected;
    };
    const Case cases[] = {
        {"plain text", "text(plain text)"},
        {"", ""},
        {"a<qelPOP b=\"1\">c", "text(a)tag(qelPOP|b=1)text(c)"},
        {"<QELpop/><qelpop />", "tag(qelPOP)tag(qelPOP)"},
        {"<qelPOP a='x &quot;y&quot;' b=\"&lt;&#65;&#x42;&gt;\" c=plain d>",
         "tag(qelPOP|a=x \"y\"|b=<AB>|c=plain|d=)"},
        {"<qelPOP to=\"a\" TO = 'b' to=\"\"/>", "tag(qelPOP|to=a|TO=b|to=)"},
        {"<qelPOP a=\"x>y\" b='\"'>", "tag(qelPOP|a=x>y|b=\")"},
        {"<qelPOP\na=\"1\"\r\n\tb=\"2\"\n>", "tag(qelPOP|a=1|b=2)"},
        {"<qelSendMail to=\"x\">Hello {{form:n}}</QELSENDMAIL >rest",
         "tag(qelSendMail|to=x;body=Hello ${form:n})text(rest)"},
        {"<qelSendMail/>after", "tag(qelSendMail;body=)text(after)"},
        {"<qelSendMail><qelPOP/> &amp;</qelSendMailX></qelSendMail>",
         "tag(qelSendMail;body=<qelPOP/> &amp;</qelSendMailX>)"},
        {"<qelPOP a=\"pre{{var:v}}post &amp;{{cgi:X}}\">", "tag(qelPOP|a=pre${var:v}post &${cgi:X})"},
        {"<qelPOP a=\"&#123;&#123;form:x}}\">", "tag(qelPOP|a={{form:x}})"},
        {"<qelPOP a=\"&#0;&#xD800;&bogus;&#x110000;&\">", "tag(qelPOP|a=&#0;&#xD800;&bogus;&#x110000;&)"},
        {"<qelPOP a=\"&#233;\">", "tag(qelPOP|a=\xC3\xA9)"},
    };
    for (const Case &test : cases) {
        EXPECT_EQ(describe(parser().parse(test.page)), test.expected) << test.page;
    }
}

TEST(PageParser, LeavesEverythingElseAsPageText) {
    struct Case {
        const char *page;
        const char *expected;
    };
    const Case cases[] = {
        {"<qelPOPx a=1><qelPOP:x><qelFTP><p class=\"{{form:c}}\">",
         "text(<qelPOPx a=1><qelPOP:x><qelFTP><p class=\"${form:c}\">)"},
        {"<!-- <qelPOP> {{form:x}} -->after{{form:y}}", "text(<!-- <qelPOP> {{form:x}} -->after${form:y})"},
        {"<!-- open to the end <qelPOP>", "text(<!-- open to the end <qelPOP>)"},
        {"a</qelPOP>b</qelSendMail >c</qelPOP", "text(abc</qelPOP)"},
        {"{{form:a b}}{{{form:x}}{{var:}}{{other:x}}{{cgi:HTTP_HOST}}",
         "text({{form:a b}}{${form:x}{{var:}}{{other:x}}${cgi:HTTP_HOST})"},
        {"&amp; stays &lt;", "text(&amp; stays &lt;)"},
    };
    for (const Case &test : cases) {
        EXPECT_EQ(describe(parser().parse(test.page)), test.expected) << test.page;
    }
}

TEST(PageParser, AMalformedTagIsAnErrorAndTheRestIsText) {
    struct Case {
        const char *page;
        const char *expected;
    };
    const Case cases[] = {
        {"a\n\n<qelPOP x=\"open", "text(a\n\n)error(The <qelPOP> tag on line 3 is not closed with \">\".)"
                                  "text(<qelPOP x=\"open)"},
        {"<qelPOP a=1 <b>{{form:x}}<qelPOP/>",
         "error(The <qelPOP> tag on line 1 is not closed with \">\".)text(<qelPOP a=1 <b>${form:x}<qelPOP/>)"},
        {"x<qelPOP/>\n<qelSendMail>body <qelPOP/>",
         "text(x)tag(qelPOP)text(\n)error(The <qelSendMail> tag on line 2 has no closing </qelSendMail> tag.)"
         "text(<qelSendMail>body <qelPOP/>)"},
        {"<qelPOP", "error(The <qelPOP> tag on line 1 is not closed with \">\".)text(<qelPOP)"},
    };
    for (const Case &test : cases) {
        EXPECT_EQ(describe(parser().parse(test.page)), test.expected) << test.page;
    }
}

TEST(PageParser, ABackslashKeepsAPlaceholderAsText) {
    struct Case {
        const char *page;
        const char *expected;
    };
    const Case cases[] = {
        {"\\{{form:NAME}} is {{form:NAME}}", "text({{form:NAME}} is ${form:NAME})"},
        {"\\{{var:v}}\\{{cgi:X}}", "text({{var:v}}{{cgi:X}})"},
        {"\\\\{{form:x}}", "text(\\{{form:x}})"},  // only the backslash next to it is taken
        {"\\{{other:x}} \\{{form:}} a\\b", "text(\\{{other:x}} \\{{form:}} a\\b)"},  // no placeholder: kept
        {"<qelPOP a=\"\\{{form:x}}&amp;{{form:y}}\">", "tag(qelPOP|a={{form:x}}&${form:y})"},
        {"<qelSendMail>\\{{form:x}} {{form:y}}</qelSendMail>", "tag(qelSendMail;body={{form:x}} ${form:y})"},
        {"<!-- \\{{form:x}} -->", "text(<!-- \\{{form:x}} -->)"},
    };
    for (const Case &test : cases) {
        EXPECT_EQ(describe(parser().parse(test.page)), test.expected) << test.page;
    }
}

TEST(PageParser, FindsPlaceholdersAmongManyUnfinishedOnes) {
    // Runs of "{{" that never finish a placeholder (the scan over them is linear; its
    // time is measured in bench/PageParserBench).
    const std::string openings(200000, '{');
    const std::string kinds = "{{form{{var:{{cgi:x}{{form:a b}}";
    std::string page = openings + "{{form:x}}";
    for (int i = 0; i < 5000; ++i) {
        page += kinds;
    }
    page += "{{var:last}}";
    ParsedPage parsed = parser().parse(page);
    ASSERT_EQ(parsed.segments.size(), 1u);
    const PageTemplate &text = parsed.segments[0].text;
    ASSERT_EQ(text.size(), 4u);
    EXPECT_EQ(text[0].text, openings);
    EXPECT_EQ(text[1], (PagePiece{PagePiece::Kind::Form, "x"}));
    EXPECT_EQ(text[2].text.size(), kinds.size() * 5000);
    EXPECT_EQ(text[3], (PagePiece{PagePiece::Kind::Variable, "last"}));
}

TEST(PageParser, KeepsTheRegisteredSpellingKindAndLine) {
    ParsedPage page = parser().parse("one\ntwo <QELSENDMAIL>x</qelsendmail>");
    ASSERT_EQ(page.segments.size(), 2u);
    const PageTag &tag = page.segments[1].tag;
    EXPECT_EQ(tag.name, "qelSendMail");
    EXPECT_EQ(tag.kind, QEL_TAG_KIND_WITH_BODY);
    EXPECT_EQ(tag.line, 2u);
}

TEST(PageParser, EscapesEveryHTMLSpecialCharacter) {
    EXPECT_EQ(PageParser::escapeHTML("<a href=\"x\" title='y'>&amp;</a>"),
              "&lt;a href=&quot;x&quot; title=&#39;y&#39;&gt;&amp;amp;&lt;/a&gt;");
}

} // namespace
} // namespace velquor::host
