// QuotedPrintable.cpp: quoted-printable encoding with soft line breaks at 76 bytes.
#include "foundation/QuotedPrintable.h"

namespace {

constexpr uint32_t kLineLimit = 76;

bool IsLiteral(uint8_t c) { return (c >= 33 && c <= 126 && c != '=') || c == ' ' || c == '\t'; }

}  // namespace

QELString QuotedPrintableEncode(const QELString &text) {
    static const char kHex[] = "0123456789ABCDEF";
    QELString out;
    out.reserve(text.length() + text.length() / 16 + 16);
    const auto *bytes = reinterpret_cast<const uint8_t *>(text.text());
    const uint32_t n = text.length();
    uint32_t column = 0;
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t c = bytes[i];
        if (c == '\r' && i + 1 < n && bytes[i + 1] == '\n') {
            out.append("\r\n");
            ++i;
            column = 0;
            continue;
        }
        // A blank or tab right before a line end (or the end) would be lost in transport.
        bool lineEndsHere = i + 1 == n || (bytes[i + 1] == '\r' && i + 2 < n && bytes[i + 2] == '\n');
        bool literal = IsLiteral(c) && !((c == ' ' || c == '\t') && lineEndsHere);
        uint32_t width = literal ? 1 : 3;
        // Room for the piece and, unless the line ends right after it, a soft break "=".
        uint32_t limit = lineEndsHere ? kLineLimit : kLineLimit - 1;
        if (column + width > limit) {
            out.append("=\r\n");
            column = 0;
        }
        if (literal) {
            out.append(static_cast<char>(c));
        } else {
            out.append('=');
            out.append(kHex[c >> 4]);
            out.append(kHex[c & 0x0F]);
        }
        column += width;
    }
    return out;
}

bool HasLineLongerThan(const QELString &text, uint32_t limit) {
    const char *bytes = text.text();
    uint32_t start = 0;
    for (uint32_t i = 0; i + 1 < text.length(); ++i) {
        if (bytes[i] == '\r' && bytes[i + 1] == '\n') {
            if (i - start > limit)
                return true;
            start = i + 2;
            ++i;
        }
    }
    return text.length() - start > limit;
}
