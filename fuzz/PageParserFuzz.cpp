// PageParserFuzz.cpp: fuzzes the host's page scanner: pages written from fuzzer-chosen
// text, placeholders and tags parse back to exactly those pieces; any page parses into
// well-formed segments; placeholders are read back as written; entity decoding undoes
// HTML escaping.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "host/lib/PageParser.h"
#include "module/HostInterface.h"

using velquor::host::PageAttribute;
using velquor::host::PagePiece;
using velquor::host::PageParser;
using velquor::host::PageSegment;
using velquor::host::PageTemplate;
using velquor::host::ParsedPage;
using velquor::host::RegisteredTag;

namespace {

const std::vector<RegisteredTag> kTags = {{"qelIncludeHTTP", QEL_TAG_KIND_EMPTY}, {"qelBody", QEL_TAG_KIND_WITH_BODY}};

const char *Prefix(PagePiece::Kind kind) {
    switch (kind) {
    case PagePiece::Kind::Form:
        return "{{form:";
    case PagePiece::Kind::Variable:
        return "{{var:";
    case PagePiece::Kind::CGI:
        return "{{cgi:";
    case PagePiece::Kind::Literal:
        break;
    }
    return "";
}

// The template written back: literals as they are, placeholders as {{kind:name}}.
std::string Render(const PageTemplate &pieces) {
    std::string text;
    for (const PagePiece &piece : pieces)
        text += piece.kind == PagePiece::Kind::Literal ? piece.text : Prefix(piece.kind) + piece.text + "}}";
    return text;
}

// Whether `rendered` is `text` with some backslashes removed, each one just before "{{".
bool DropsOnlyEscapes(const std::string &text, const std::string &rendered) {
    size_t j = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (j < rendered.size() && text[i] == rendered[j]) {
            ++j;
            continue;
        }
        if (text[i] != '\\' || text.compare(i + 1, 2, "{{") != 0)
            return false;
    }
    return j == rendered.size();
}

void CheckTemplate(const PageTemplate &pieces) {
    for (size_t i = 0; i < pieces.size(); ++i) {
        const PagePiece &piece = pieces[i];
        if (piece.kind == PagePiece::Kind::Literal) {
            FUZZ_CHECK(!piece.text.empty());
            FUZZ_CHECK(i == 0 || pieces[i - 1].kind != PagePiece::Kind::Literal);
        } else {
            FUZZ_CHECK(!piece.text.empty() && piece.text.find_first_of("{}<>\"' ") == std::string::npos);
        }
    }
}

// Bytes of the input made safe for a kind of page text: no byte that starts markup.
std::string Safe(const std::string &bytes, const char *forbidden) {
    std::string text = bytes;
    for (char &c : text)
        if (std::string(forbidden).find(c) != std::string::npos || c == '\0')
            c = '.';
    return text;
}

// Reads the input as instructions that write a page and the segments it must parse into.
struct Writer {
    explicit Writer(const std::string &text) : input(text) {}

    const std::string &input;
    size_t at = 0;
    std::string page;
    std::vector<PageSegment> expected;

    int Byte() { return at < input.size() ? static_cast<unsigned char>(input[at++]) : 0; }
    std::string Bytes() {
        const size_t n = std::min<size_t>(Byte() % 12, input.size() - at);
        at += n;
        return input.substr(at - n, n);
    }
    PageTemplate &Text() {
        if (expected.empty() || expected.back().kind != PageSegment::Kind::Text)
            expected.emplace_back();
        return expected.back().text;
    }
    void Literal(const std::string &text) {
        if (text.empty())
            return;
        page += text;
        PageTemplate &t = Text();
        if (!t.empty() && t.back().kind == PagePiece::Kind::Literal)
            t.back().text += text;
        else
            t.push_back({PagePiece::Kind::Literal, text});
    }
    std::string Name() {
        std::string name = "n";
        for (int i = Byte() % 4; i > 0; --i)
            name += static_cast<char>('a' + Byte() % 26);
        return name;
    }
    // The tag's name in a fuzzer-chosen letter case.
    std::string Spelled(const std::string &name) {
        std::string spelled = name;
        const int mask = Byte();
        for (size_t i = 0; i < spelled.size(); ++i)
            if ((mask >> (i % 8)) & 1)
                spelled[i] = static_cast<char>(spelled[i] ^ 0x20);
        return spelled;
    }
    void Tag(const RegisteredTag &tag) {
        PageSegment segment;
        segment.kind = PageSegment::Kind::Tag;
        segment.tag.name = tag.name;
        segment.tag.kind = tag.kind;
        segment.tag.line = 1 + static_cast<size_t>(std::count(page.begin(), page.end(), '\n'));
        page += "<" + Spelled(tag.name);
        for (int i = Byte() % 3; i > 0; --i) {
            PageAttribute attribute;
            attribute.name = Name();
            const std::string value = Safe(Bytes(), "{");
            page += (Byte() & 1 ? "\n" : " ") + attribute.name;
            if (!value.empty() || (Byte() & 1)) {
                page += "=\"" + PageParser::escapeHTML(value) + "\"";
                if (!value.empty())
                    attribute.value.push_back({PagePiece::Kind::Literal, value});
            }
            segment.tag.attributes.push_back(attribute);
        }
        const bool selfClosed = Byte() & 1;
        page += selfClosed ? "/>" : ">";
        if (tag.kind == QEL_TAG_KIND_WITH_BODY) {
            segment.tag.body = PageTemplate();
            if (!selfClosed) {
                const std::string body = Safe(Bytes(), "<{\\");
                if (!body.empty())
                    segment.tag.body->push_back({PagePiece::Kind::Literal, body});
                page += body + "</" + Spelled(tag.name) + ">";
            }
        }
        expected.push_back(segment);
    }
    void Write() {
        while (at < input.size()) {
            switch (Byte() % 5) {
            case 0:
            case 1:
                Literal(Safe(Bytes(), "<{\\"));
                break;
            case 2: {
                const PagePiece::Kind kinds[] = {PagePiece::Kind::Form, PagePiece::Kind::Variable, PagePiece::Kind::CGI};
                const PagePiece piece{kinds[Byte() % 3], Name()};
                page += Prefix(piece.kind) + piece.text + "}}";
                Text().push_back(piece);
                break;
            }
            case 3:
                Tag(kTags[0]);
                break;
            default:
                Tag(kTags[1]);
                break;
            }
        }
    }
};

bool SameTag(const velquor::host::PageTag &a, const velquor::host::PageTag &b) {
    if (a.name != b.name || a.kind != b.kind || a.line != b.line || a.body != b.body ||
        a.attributes.size() != b.attributes.size())
        return false;
    for (size_t i = 0; i < a.attributes.size(); ++i)
        if (a.attributes[i].name != b.attributes[i].name || a.attributes[i].value != b.attributes[i].value)
            return false;
    return true;
}

}  // namespace

// Input: a mode byte; 0 takes the rest as a page, anything else as instructions that
// write one.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const std::string input(reinterpret_cast<const char *>(data) + 1, size - 1);
    const PageParser parser(kTags);

    FUZZ_CHECK(PageParser::decodeEntities(PageParser::escapeHTML(input)) == input);
    const PageTemplate pieces = PageParser::parseTemplate(input, false);
    CheckTemplate(pieces);
    FUZZ_CHECK(DropsOnlyEscapes(input, Render(pieces)));
    CheckTemplate(PageParser::parseTemplate(input, true));

    if (data[0] != 0) {
        Writer writer(input);
        writer.Write();
        const ParsedPage parsed = parser.parse(writer.page);
        FUZZ_CHECK(parsed.segments.size() == writer.expected.size());
        for (size_t i = 0; i < parsed.segments.size(); ++i) {
            const PageSegment &got = parsed.segments[i], &want = writer.expected[i];
            FUZZ_CHECK(got.kind == want.kind);
            if (got.kind == PageSegment::Kind::Text)
                FUZZ_CHECK(got.text == want.text);
            else
                FUZZ_CHECK(SameTag(got.tag, want.tag));
        }
        return 0;
    }

    // Any page: text segments never follow one another; an error comes last but for the
    // rest of the page as text; tags keep their registered spelling and stand in order.
    const ParsedPage parsed = parser.parse(input);
    const size_t lines = 1 + static_cast<size_t>(std::count(input.begin(), input.end(), '\n'));
    size_t lastLine = 1;
    for (size_t i = 0; i < parsed.segments.size(); ++i) {
        const PageSegment &segment = parsed.segments[i];
        if (segment.kind == PageSegment::Kind::Text) {
            FUZZ_CHECK(!segment.text.empty());
            FUZZ_CHECK(i == 0 || parsed.segments[i - 1].kind != PageSegment::Kind::Text);
            CheckTemplate(segment.text);
        } else if (segment.kind == PageSegment::Kind::Error) {
            FUZZ_CHECK(!segment.error.empty());
            FUZZ_CHECK(i + 1 == parsed.segments.size() ||
                       (i + 2 == parsed.segments.size() && parsed.segments[i + 1].kind == PageSegment::Kind::Text));
        } else {
            const velquor::host::PageTag &tag = segment.tag;
            FUZZ_CHECK(tag.name == kTags[0].name || tag.name == kTags[1].name);
            FUZZ_CHECK(tag.body.has_value() == (tag.kind == QEL_TAG_KIND_WITH_BODY));
            FUZZ_CHECK(tag.line >= lastLine && tag.line <= lines);
            lastLine = tag.line;
            for (const PageAttribute &attribute : tag.attributes)
                CheckTemplate(attribute.value);
            if (tag.body)
                CheckTemplate(*tag.body);
        }
    }
    // A page without "<" is one text: its placeholders as written.
    if (input.find('<') == std::string::npos) {
        FUZZ_CHECK(parsed.segments.size() == (pieces.empty() ? 0u : 1u));
        if (!pieces.empty())
            FUZZ_CHECK(parsed.segments[0].text == pieces);
    }
    return 0;
}
