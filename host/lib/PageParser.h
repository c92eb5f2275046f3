// PageParser.h: reads a page of the site into text and the module's tags, with the
// placeholders {{form:NAME}}, {{var:NAME}} and {{cgi:NAME}} kept as references to fill in.
#ifndef VELQUOR_HOST_PAGE_PARSER_H
#define VELQUOR_HOST_PAGE_PARSER_H

#include "host/lib/Registration.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velquor::host {

// A piece of page text, an attribute value or a tag body: literal text, or a reference to
// a form argument (its first occurrence), a page variable or a CGI variable.
struct PagePiece {
    enum class Kind { Literal, Form, Variable, CGI };
    Kind kind = Kind::Literal;
    std::string text;  // the literal text, or the name referred to

    bool operator==(const PagePiece &other) const { return kind == other.kind && text == other.text; }
};

// Text with its placeholders, in order. Filling it inserts values once: a value is never
// scanned for placeholders or tags again.
using PageTemplate = std::vector<PagePiece>;

struct PageAttribute {
    std::string name;  // as the page spelled it
    PageTemplate value;
};

struct PageTag {
    std::string name;  // as the module registered it, whatever the page's spelling
    uint32_t kind = 0;
    std::vector<PageAttribute> attributes;  // in document order, repeats kept
    std::optional<PageTemplate> body;       // only for tags registered with a body
    size_t line = 0;                        // where the tag starts, from 1
};

struct PageSegment {
    enum class Kind { Text, Tag, Error };
    Kind kind = Kind::Text;
    PageTemplate text;  // Text: filled with HTML-escaped values
    PageTag tag;        // Tag
    std::string error;  // Error: a plain-text description of a malformed tag
};

struct ParsedPage {
    std::vector<PageSegment> segments;
};

// The page syntax:
// - A registered tag (its name matched ignoring case) is written like an HTML tag:
//   <qelIncludeHTTP url="..." data='...'> or <qelPOP ... />. Attribute values stand in
//   double or single quotes (or, HTML-like, unquoted up to white space or ">"); an
//   attribute without a value has the value "". Entities (&amp; &lt; &gt; &quot; &apos;
//   &#NN; &#xHH;) are decoded in values.
// - A tag registered with a body (kind 0x10) runs up to its closing tag </name>; the text
//   in between is its body, taken as written (placeholders are filled, entities are not
//   decoded). "/>" gives it an empty body. Other tags have no body; a closing tag of such
//   a tag is dropped from the page.
// - HTML comments <!-- ... --> are copied as they are: no tag and no placeholder inside
//   one runs.
// - Everything else is page text, copied with its placeholders filled.
// - A backslash just before a placeholder (\{{form:NAME}}) escapes it, in page text,
//   attribute values and bodies alike: the placeholder's text stays as written, without
//   the backslash, and nothing is filled in.
// A registered tag that is not closed by ">" (or a body tag without its closing tag) is an
// Error segment; the rest of the page is then plain text.
class PageParser {
public:
    explicit PageParser(const std::vector<RegisteredTag> &tags);

    ParsedPage parse(const std::string &page) const;

    // The escape that keeps a placeholder as text.
    static constexpr char kPlaceholderEscape = '\\';

    // The placeholders of a text; with decodeEntities, literal pieces have their entities
    // decoded (attribute values). Linear in the text's length.
    static PageTemplate parseTemplate(const std::string &text, bool decodeEntities);
    static std::string decodeEntities(const std::string &text);
    // Escapes & < > " and ' for HTML text and attribute values.
    static std::string escapeHTML(const std::string &text);

private:
    // The placeholder whose "{{" is at `position`, and in *end the position after its "}}";
    // nothing when none begins there.
    static std::optional<PagePiece> readPlaceholder(const std::string &text, size_t position, size_t *end);
    const RegisteredTag *findTag(const std::string &name) const;

    std::map<std::string, RegisteredTag> tags_;  // by lower-cased name
};

} // namespace velquor::host

#endif
