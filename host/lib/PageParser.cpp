// PageParser.cpp: the page syntax: registered tags with their attributes and bodies,
// comments, and the placeholders of text, values and bodies.
#include "host/lib/PageParser.h"

#include "host/lib/HostText.h"
#include "module/HostInterface.h"

#include <algorithm>

namespace velquor::host {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

bool isTagNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == ':' || c == '.';
}

bool isPlaceholderNameChar(char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte != 0x7F && c != '{' && c != '}' && c != '<' && c != '>' && c != '"' && c != '\'';
}

size_t skipSpace(const std::string &text, size_t position) {
    while (position < text.size() && isSpace(text[position])) {
        ++position;
    }
    return position;
}

void appendLiteral(PageTemplate &out, const std::string &text) {
    if (text.empty()) {
        return;
    }
    if (!out.empty() && out.back().kind == PagePiece::Kind::Literal) {
        out.back().text += text;
    } else {
        out.push_back(PagePiece{PagePiece::Kind::Literal, text});
    }
}

void appendTemplate(PageTemplate &out, const PageTemplate &more) {
    for (const PagePiece &piece : more) {
        if (piece.kind == PagePiece::Kind::Literal) {
            appendLiteral(out, piece.text);
        } else {
            out.push_back(piece);
        }
    }
}

void appendUTF8(std::string &out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The character reference between '&' and ';' (exclusive), or nothing when it is not one
// this host decodes.
std::optional<std::string> decodeReference(const std::string &name) {
    if (name == "amp") {
        return std::string("&");
    }
    if (name == "lt") {
        return std::string("<");
    }
    if (name == "gt") {
        return std::string(">");
    }
    if (name == "quot") {
        return std::string("\"");
    }
    if (name == "apos") {
        return std::string("'");
    }
    if (name.size() < 2 || name[0] != '#') {
        return std::nullopt;
    }
    bool hex = name[1] == 'x' || name[1] == 'X';
    size_t start = hex ? 2 : 1;
    if (start >= name.size()) {
        return std::nullopt;
    }
    uint32_t code = 0;
    for (size_t i = start; i < name.size(); ++i) {
        char c = name[i];
        uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        code = code * (hex ? 16 : 10) + digit;
        if (code > 0x10FFFF) {
            return std::nullopt;
        }
    }
    // NUL would cut the value short for the module; surrogates are no characters.
    if (code == 0 || (code >= 0xD800 && code <= 0xDFFF)) {
        return std::nullopt;
    }
    std::string out;
    appendUTF8(out, code);
    return out;
}

// Parses the attributes from `position` (just after the tag name) up to and including the
// ">" that closes the tag. False when the tag is not closed.
bool parseAttributes(const std::string &page, size_t position, std::vector<PageAttribute> *attributes,
                     size_t *end, bool *selfClosed) {
    const size_t n = page.size();
    while (true) {
        position = skipSpace(page, position);
        if (position >= n) {
            return false;
        }
        char c = page[position];
        if (c == '>') {
            *end = position + 1;
            *selfClosed = false;
            return true;
        }
        if (c == '/') {
            if (position + 1 < n && page[position + 1] == '>') {
                *end = position + 2;
                *selfClosed = true;
                return true;
            }
            ++position;
            continue;
        }
        if (c == '<') {
            // Another tag begins before this one was closed.
            return false;
        }
        if (c == '"' || c == '\'' || c == '=') {
            ++position;  // a stray character between attributes
            continue;
        }
        size_t nameStart = position;
        while (position < n && !isSpace(page[position]) && page[position] != '=' && page[position] != '>' &&
               page[position] != '/' && page[position] != '"' && page[position] != '\'' && page[position] != '<') {
            ++position;
        }
        PageAttribute attribute;
        attribute.name = page.substr(nameStart, position - nameStart);
        size_t afterName = skipSpace(page, position);
        if (afterName < n && page[afterName] == '=') {
            position = skipSpace(page, afterName + 1);
            if (position >= n) {
                return false;
            }
            std::string raw;
            char quote = page[position];
            if (quote == '"' || quote == '\'') {
                size_t close = page.find(quote, position + 1);
                if (close == std::string::npos) {
                    return false;
                }
                raw = page.substr(position + 1, close - position - 1);
                position = close + 1;
            } else {
                size_t valueStart = position;
                while (position < n && !isSpace(page[position]) && page[position] != '>') {
                    ++position;
                }
                raw = page.substr(valueStart, position - valueStart);
            }
            attribute.value = PageParser::parseTemplate(raw, true);
        }
        attributes->push_back(std::move(attribute));
    }
}

// The position of the closing tag </name> (name lower-cased) at or after `from`, and in
// *end the position after its ">"; npos when there is none.
size_t findClosingTag(const std::string &page, const std::string &lowerPage, const std::string &lowerName,
                      size_t from, size_t *end) {
    const std::string opening = "</" + lowerName;
    size_t position = from;
    while ((position = lowerPage.find(opening, position)) != std::string::npos) {
        size_t after = position + opening.size();
        if (after < page.size() && isTagNameChar(page[after])) {
            position = after;
            continue;
        }
        after = skipSpace(page, after);
        if (after < page.size() && page[after] == '>') {
            *end = after + 1;
            return position;
        }
        position += opening.size();
    }
    return std::string::npos;
}

} // namespace

PageParser::PageParser(const std::vector<RegisteredTag> &tags) {
    for (const RegisteredTag &tag : tags) {
        tags_[HostText::lower(tag.name)] = tag;
    }
}

const RegisteredTag *PageParser::findTag(const std::string &name) const {
    auto found = tags_.find(HostText::lower(name));
    return found != tags_.end() ? &found->second : nullptr;
}

ParsedPage PageParser::parse(const std::string &page) const {
    ParsedPage result;
    const size_t n = page.size();
    std::string lowerPage;  // made when the first body tag needs it
    PageTemplate current;   // page text not yet emitted
    size_t rawStart = 0;    // start of the raw text not yet in `current`
    size_t lineCounted = 0;
    size_t line = 1;

    auto flushRaw = [&](size_t end) {
        if (end > rawStart) {
            appendTemplate(current, parseTemplate(page.substr(rawStart, end - rawStart), false));
        }
        rawStart = end;
    };
    auto flushText = [&]() {
        if (!current.empty()) {
            PageSegment segment;
            segment.kind = PageSegment::Kind::Text;
            segment.text = std::move(current);
            result.segments.push_back(std::move(segment));
            current.clear();
        }
    };
    auto lineAt = [&](size_t position) {
        line += static_cast<size_t>(std::count(page.begin() + static_cast<std::ptrdiff_t>(lineCounted),
                                               page.begin() + static_cast<std::ptrdiff_t>(position), '\n'));
        lineCounted = position;
        return line;
    };
    // A malformed tag: the error, then the rest of the page as plain text.
    auto fail = [&](size_t position, const std::string &error) {
        flushRaw(position);
        flushText();
        PageSegment segment;
        segment.kind = PageSegment::Kind::Error;
        segment.error = error;
        result.segments.push_back(std::move(segment));
        flushRaw(n);
        flushText();
        return result;
    };

    size_t position = 0;
    while (position < n) {
        position = page.find('<', position);
        if (position == std::string::npos) {
            break;
        }
        if (page.compare(position, 4, "<!--") == 0) {
            flushRaw(position);
            size_t close = page.find("-->", position + 4);
            size_t end = close == std::string::npos ? n : close + 3;
            appendLiteral(current, page.substr(position, end - position));
            position = rawStart = end;
            continue;
        }
        bool closing = position + 1 < n && page[position + 1] == '/';
        size_t nameStart = position + (closing ? 2 : 1);
        size_t nameEnd = nameStart;
        while (nameEnd < n && isTagNameChar(page[nameEnd])) {
            ++nameEnd;
        }
        const RegisteredTag *tag = nameEnd > nameStart ? findTag(page.substr(nameStart, nameEnd - nameStart)) : nullptr;
        bool bounded = nameEnd >= n || isSpace(page[nameEnd]) || page[nameEnd] == '>' || page[nameEnd] == '/';
        if (tag == nullptr || !bounded) {
            position = nameStart;
            continue;
        }
        if (closing) {
            // A closing tag without its opening one (or of a tag that has no body) is dropped.
            size_t after = skipSpace(page, nameEnd);
            if (after < n && page[after] == '>') {
                flushRaw(position);
                position = rawStart = after + 1;
            } else {
                position = nameStart;
            }
            continue;
        }

        size_t tagLine = lineAt(position);
        PageSegment segment;
        segment.kind = PageSegment::Kind::Tag;
        segment.tag.name = tag->name;
        segment.tag.kind = tag->kind;
        segment.tag.line = tagLine;
        size_t end = 0;
        bool selfClosed = false;
        if (!parseAttributes(page, nameEnd, &segment.tag.attributes, &end, &selfClosed)) {
            return fail(position, "The <" + tag->name + "> tag on line " + std::to_string(tagLine) +
                                      " is not closed with \">\".");
        }
        if (tag->kind == QEL_TAG_KIND_WITH_BODY) {
            if (selfClosed) {
                segment.tag.body = PageTemplate();
            } else {
                if (lowerPage.empty()) {
                    lowerPage = HostText::lower(page);
                }
                size_t closeEnd = 0;
                size_t close = findClosingTag(page, lowerPage, HostText::lower(tag->name), end, &closeEnd);
                if (close == std::string::npos) {
                    return fail(position, "The <" + tag->name + "> tag on line " + std::to_string(tagLine) +
                                              " has no closing </" + tag->name + "> tag.");
                }
                segment.tag.body = parseTemplate(page.substr(end, close - end), false);
                end = closeEnd;
            }
        }
        flushRaw(position);
        flushText();
        result.segments.push_back(std::move(segment));
        position = rawStart = end;
    }
    flushRaw(n);
    flushText();
    return result;
}

PageTemplate PageParser::parseTemplate(const std::string &text, bool decodeEntities) {
    PageTemplate out;
    size_t literalStart = 0;
    size_t position = 0;
    auto literal = [&](size_t end) {
        std::string piece = text.substr(literalStart, end - literalStart);
        appendLiteral(out, decodeEntities ? PageParser::decodeEntities(piece) : piece);
    };
    // Every step moves past the "{{" it looked at, and a placeholder's name holds no "{", so
    // no byte is looked at more than a few times: the scan is linear in the text's length.
    while ((position = text.find("{{", position)) != std::string::npos) {
        size_t end = 0;
        std::optional<PagePiece> reference = readPlaceholder(text, position, &end);
        if (!reference) {
            ++position;
            continue;
        }
        if (position > 0 && text[position - 1] == kPlaceholderEscape) {
            // An escaped placeholder: its text stays in the page, without the escape.
            literal(position - 1);
            literalStart = position;
            position = end;
            continue;
        }
        literal(position);
        out.push_back(std::move(*reference));
        position = literalStart = end;
    }
    literal(text.size());
    return out;
}

std::optional<PagePiece> PageParser::readPlaceholder(const std::string &text, size_t position, size_t *end) {
    static const std::pair<const char *, PagePiece::Kind> kinds[] = {
        {"form:", PagePiece::Kind::Form}, {"var:", PagePiece::Kind::Variable}, {"cgi:", PagePiece::Kind::CGI}};
    size_t start = position + 2;
    for (const auto &[prefix, kind] : kinds) {
        size_t length = std::char_traits<char>::length(prefix);
        if (text.compare(start, length, prefix) != 0) {
            continue;
        }
        size_t nameStart = start + length;
        size_t nameEnd = nameStart;
        while (nameEnd < text.size() && isPlaceholderNameChar(text[nameEnd])) {
            ++nameEnd;
        }
        if (nameEnd == nameStart || text.compare(nameEnd, 2, "}}") != 0) {
            return std::nullopt;
        }
        *end = nameEnd + 2;
        return PagePiece{kind, text.substr(nameStart, nameEnd - nameStart)};
    }
    return std::nullopt;
}

std::string PageParser::decodeEntities(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    size_t position = 0;
    while (position < text.size()) {
        char c = text[position];
        if (c == '&') {
            size_t semicolon = text.find(';', position + 1);
            if (semicolon != std::string::npos && semicolon - position <= 10) {
                std::optional<std::string> decoded = decodeReference(text.substr(position + 1, semicolon - position - 1));
                if (decoded) {
                    out += *decoded;
                    position = semicolon + 1;
                    continue;
                }
            }
        }
        out += c;
        ++position;
    }
    return out;
}

std::string PageParser::escapeHTML(const std::string &text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace velquor::host
