// HTMLEscape.cpp: entity escaping for text placed into HTML.
#include "foundation/HTMLEscape.h"

QELString HTMLEscape(const QELString &text) {
    QELString escaped;
    escaped.reserve(text.length());
    for (uint32_t i = 0; i < text.length(); ++i) {
        char c = text[i];
        switch (c) {
        case '&': escaped.append("&amp;"); break;
        case '<': escaped.append("&lt;"); break;
        case '>': escaped.append("&gt;"); break;
        case '"': escaped.append("&quot;"); break;
        case '\'': escaped.append("&#39;"); break;
        default: escaped.append(c); break;
        }
    }
    return escaped;
}
