// MultipartMessage.cpp: the walk over a multipart body by offsets, the reading of part
// header tokens, the text result, the named parts, and the storing of uploaded files.
#include "mail/MultipartMessage.h"

#include "foundation/FileStream.h"
#include "foundation/FileSystemItem.h"
#include "foundation/RegularExpression.h"

namespace {

const char kBlanks[] = " \t\r\n";

// The header values of one part, empty until found.
struct PartHeader {
    QELString disposition;
    QELString name;
    QELString fileName;
    QELString boundary;
    QELString contentType;
    QELString transferEncoding;  // read, never used: content is taken as it lies
};

// The recognised tokens, in the order they are tried.
struct TokenKind {
    const char *prefix;
    uint32_t prefixLength;
    char separator;
    QELString PartHeader::*value;
};

const TokenKind kTokenKinds[] = {
    {"Content-Disposition", 19, ':', &PartHeader::disposition},
    {"name", 4, '=', &PartHeader::name},
    {"filename", 8, '=', &PartHeader::fileName},
    {"boundary", 8, '=', &PartHeader::boundary},
    {"Content-Type", 12, ':', &PartHeader::contentType},
    {"Content-Transfer-Encoding", 25, ':', &PartHeader::transferEncoding},
};

// Reads one trimmed token: the first kind whose prefix it begins with decides; a token
// without that kind's separator after the prefix is ignored.
void ReadToken(QELString &token, PartHeader *header) {
    for (const TokenKind &kind : kTokenKinds) {
        if (!token.startsWith(kind.prefix, QELString::kIgnoreCase))
            continue;
        token.dropFirst(kind.prefixLength);
        token.trim(kBlanks);
        if (!token.isEmpty() && token.at(0) == kind.separator) {
            token.dropFirst(1);
            token.trim(kBlanks);
            token.trim("\"");
            header->*kind.value = token;
        }
        return;
    }
}

void ReadPartHeader(const QELString &text, PartHeader *header) {
    const QELStringSplitter lines(text, QELString("\r\n"));
    QELStringSplitter tokens;
    for (uint32_t i = 0; i < lines.fieldCount(); ++i) {
        QELString line = lines.field(i);
        line.trim(kBlanks);
        tokens.split(line, QELString(";"));
        for (uint32_t k = 0; k < tokens.fieldCount(); ++k) {
            QELString token = tokens.field(k);
            token.trim(kBlanks);
            ReadToken(token, header);
        }
    }
}

// The received file name as it may be stored: what follows its last "\", "/" or ":",
// without control bytes; empty for ".", ".." and a name that nothing is left of.
QELString CleanFileName(const QELString &received) {
    uint32_t begin = received.length();
    while (begin > 0) {
        const char c = received.at(begin - 1);
        if (c == '\\' || c == '/' || c == ':')
            break;
        --begin;
    }
    QELString name;
    for (uint32_t i = begin; i < received.length(); ++i) {
        const auto c = static_cast<uint8_t>(received.at(i));
        if (c >= 0x20 && c != 0x7F)
            name.append(static_cast<char>(c));
    }
    if (name.equals(QELString(".")) || name.equals(QELString("..")))
        name.clear();
    return name;
}

// A cut that does not split a UTF-8 sequence, unless the text before it is all one.
uint32_t CharacterBoundary(const QELString &text, uint32_t cut) {
    uint32_t at = cut;
    while (at > 0 && (static_cast<uint8_t>(text.at(at)) & 0xC0) == 0x80)
        --at;
    return at > 0 ? at : cut;
}

// The name within the limit: its stem shortened, its extension (from the last ".")
// kept; a name whose extension alone is too long is cut as a whole.
QELString ShortenedFileName(const QELString &name, uint32_t limit) {
    if (name.length() <= limit)
        return name;
    uint32_t dot;
    uint32_t extensionLength = 0;
    if (name.find(".", &dot, QELString::kAll, QELString::kAll, QELString::kBackward) && dot > 0 &&
        name.length() - dot < limit)
        extensionLength = name.length() - dot;
    const uint32_t stemEnd = CharacterBoundary(name, limit - extensionLength);
    QELString shortened = name.substring(0, stemEnd);
    shortened.append(name.substring(name.length() - extensionLength));
    return shortened;
}

// True when the first pattern that compiles matches somewhere in the name.
bool PatternsAccept(const QELStringSplitter &patterns, const QELString &fileName) {
    QELRegularExpression expression;
    for (uint32_t i = 0; i < patterns.fieldCount(); ++i) {
        if (expression.Compile(patterns.field(i)) != 0)
            continue;
        return expression.Search(fileName, 0);
    }
    return false;
}

// The stretch [*start, *start + *length) cut to a text of n bytes.
void CutToText(uint32_t n, uint32_t *start, uint32_t *length) {
    if (*start > n)
        *start = n;
    if (*length > n - *start)
        *length = n - *start;
}

void DisposeString(uintptr_t *slot) {
    delete reinterpret_cast<QELString *>(*slot);
    *slot = 0;
}

bool IsDisposition(const QELString &disposition, const char *kind) {
    return disposition.equalsIgnoringCase(QELString(kind));
}

}  // namespace

struct QELMultipartMessage::Parse {
    const QELString &body;
    const QELString &folder;
    const QELStringSplitter &patterns;
    uint32_t sizeLimit;
    QELNameValueList *list;
    bool textPending;
    uint32_t textStart;
    uint32_t textLength;
};

QELMultipartMessage::QELMultipartMessage() : storedFiles_(DisposeString) {}

QELMultipartMessage::~QELMultipartMessage() = default;

bool QELMultipartMessage::ParseMultipart(const QELString &body, const QELString &boundary, uint32_t contentStart,
                                         uint32_t contentLength, const QELString &folder,
                                         const QELStringSplitter &patterns, uint32_t sizeLimit,
                                         QELString &textResult, QELNameValueList *list) {
    ResetReport();
    Parse parse{body, folder, patterns, sizeLimit, list, false, 0, 0};
    const bool result = Walk(parse, boundary, contentStart, contentLength, 1);
    Finish(parse, textResult);
    return result;
}

bool QELMultipartMessage::ParsePart(const QELString &body, const QELString &partHeader, uint32_t contentStart,
                                    uint32_t contentLength, const QELString &folder,
                                    const QELStringSplitter &patterns, uint32_t sizeLimit, QELString &textResult,
                                    QELNameValueList *list) {
    ResetReport();
    Parse parse{body, folder, patterns, sizeLimit, list, false, 0, 0};
    const bool result = Part(parse, partHeader, contentStart, contentLength, 0);
    Finish(parse, textResult);
    return result;
}

bool QELMultipartMessage::Walk(Parse &parse, const QELString &boundary, uint32_t start, uint32_t length,
                               uint32_t depth) {
    const QELString &body = parse.body;
    CutToText(body.length(), &start, &length);
    if (boundary.isEmpty() || depth > kNestingLimit || length == 0)
        return false;
    QELString delimiter("--");
    delimiter.append(boundary);
    QELString closing(delimiter);
    closing.append("--");
    const uint32_t end = start + length;
    uint32_t closingAt, current;
    if (!body.find(closing, &closingAt, end - 1, length, QELString::kBackward) ||
        !body.find(delimiter, &current, start, length))
        return false;
    const uint32_t delimiterLength = delimiter.length();
    bool result = true;
    while (current < closingAt) {
        // The closing delimiter begins with a delimiter, so the search ends there at the
        // latest.
        const uint32_t after = current + delimiterLength;
        uint32_t next;
        if (!body.find(delimiter, &next, after, closingAt + delimiterLength - after))
            break;
        // The CR LF that ends the delimiter line, unless the next delimiter follows at once.
        const uint32_t partBegin = after + 2 < next ? after + 2 : next;
        uint32_t blank;
        if (!body.find("\r\n\r\n", 4, &blank, partBegin, next - partBegin))
            break;
        const uint32_t contentStart = blank + 4;
        // The CR LF before the next delimiter is not content.
        const uint32_t contentLength = next - contentStart > 2 ? next - contentStart - 2 : 0;
        result = Part(parse, body.substring(partBegin, blank - partBegin), contentStart, contentLength, depth);
        current = next;
    }
    return result;
}

bool QELMultipartMessage::Part(Parse &parse, const QELString &header, uint32_t start, uint32_t length,
                               uint32_t depth) {
    CutToText(parse.body.length(), &start, &length);
    PartHeader values;
    ReadPartHeader(header, &values);
    const bool formData = IsDisposition(values.disposition, "form-data");
    const bool attachment = IsDisposition(values.disposition, "attachment");
    if (!formData && !attachment && !IsDisposition(values.disposition, "inline")) {
        // Kept as a stretch: the text is copied once, when the parse has ended.
        parse.textPending = true;
        parse.textStart = start;
        parse.textLength = length;
    }
    if (values.contentType.startsWith("multipart/", QELString::kIgnoreCase))
        return Walk(parse, values.boundary, start, length, depth + 1);
    if (attachment || parse.list == nullptr)
        return true;
    if (formData) {
        const QELString fileName = CleanFileName(values.fileName);
        if (!fileName.isEmpty()) {
            if (!parse.folder.isEmpty())
                Store(parse, values.name, fileName, start, length);
            return true;
        }
    }
    if (!values.name.isEmpty())
        parse.list->Add(values.name, parse.body.substring(start, length));
    return true;
}

void QELMultipartMessage::Store(Parse &parse, const QELString &name, const QELString &fileName, uint32_t start,
                                uint32_t length) {
    if (!PatternsAccept(parse.patterns, fileName))
        return;
    const uint64_t limit = static_cast<uint64_t>(parse.sizeLimit) * 1024;
    if (limit > 0 && limit < length)
        return;
    QELFileSystemItem item(QELFileSystemItem(parse.folder), ShortenedFileName(fileName, kFileNameLimit));
    QELOwned<QELFileStream> stream = CreateFileStream(item, true);
    if (!stream) {
        storeFailed_ = true;
        return;
    }
    const char *content = parse.body.text() + start;
    for (uint32_t offset = 0; offset < length;) {
        const uint32_t piece = length - offset < kWritePiece ? length - offset : kWritePiece;
        if (stream->WriteAt(offset, piece, content + offset) != piece) {
            // A full disk or a size limit: no partial file is left behind.
            stream.reset();
            try {
                QELFileSpecification(item).Delete();
            } catch (const QELFileSystemItem::IsNotAFile &) {
                // the name no longer holds our file; nothing of ours to remove
            }
            storeFailed_ = true;
            return;
        }
        offset += piece;
    }
    stream.reset();
    QELOwned<QELString> path = MakeOwned<QELString>(item.path());
    storedFiles_.append(reinterpret_cast<uintptr_t>(path.get()));
    path.release();
    const QELString finalName = item.GetName();
    parse.list->Add(name, finalName);
    if (finalName.notEquals(fileName))
        parse.list->Add(name + "_Original", fileName);
}

void QELMultipartMessage::Finish(const Parse &parse, QELString &textResult) {
    if (parse.textPending)
        textResult = parse.body.substring(parse.textStart, parse.textLength);
}

void QELMultipartMessage::ResetReport() {
    storedFiles_.clear();
    storeFailed_ = false;
}

QELString QELMultipartMessage::storedFilePath(uint32_t index) const {
    const auto *path = reinterpret_cast<const QELString *>(storedFiles_.value(index));
    return path != nullptr ? *path : QELString();
}

QELString QELMultipartMessage::storedFileName(uint32_t index) const {
    const auto *path = reinterpret_cast<const QELString *>(storedFiles_.value(index));
    return path != nullptr ? QELFileSystemItem(*path).GetName() : QELString();
}

uint32_t QELMultipartMessage::RemoveStoredFiles() {
    uint32_t removed = 0;
    for (uint32_t i = 0; i < storedFiles_.count(); ++i) {
        try {
            if (QELFileSpecification(storedFilePath(i)).Delete())
                ++removed;
        } catch (const QELFileSystemItem::IsNotAFile &) {
            // a folder took the name since: it is not ours to remove
        }
    }
    storedFiles_.clear();
    return removed;
}
