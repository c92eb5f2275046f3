// HostText.cpp: ASCII case folding, four-character code texts and quoting for the
// host library's records and logs.
#include "host/lib/HostText.h"

#include <cstdio>

namespace velquor::host {

std::string HostText::lower(const std::string &text) {
    std::string result(text);
    for (char &c : result) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return result;
}

bool HostText::equalsIgnoringCase(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

std::string HostText::fourCharCode(uint32_t code) {
    std::string result;
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned char c = static_cast<unsigned char>((code >> shift) & 0xFF);
        if (c >= 0x20 && c < 0x7F) {
            result += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            result += hex;
        }
    }
    return result;
}

std::string HostText::quoted(const std::string &text, size_t limit) {
    std::string result = "\"";
    size_t shown = text.size() < limit ? text.size() : limit;
    for (size_t i = 0; i < shown; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '"': result += "\\\""; break;
        case '\\': result += "\\\\"; break;
        case '\r': result += "\\r"; break;
        case '\n': result += "\\n"; break;
        case '\t': result += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                result += hex;
            } else {
                result += static_cast<char>(c);
            }
        }
    }
    result += "\"";
    if (shown < text.size()) {
        result += "...(" + std::to_string(text.size()) + " bytes)";
    }
    return result;
}

std::string HostText::oneLine(const std::string &text) {
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        if (c == '\r') {
            result += "\\r";
        } else if (c == '\n') {
            result += "\\n";
        } else {
            result += c;
        }
    }
    return result;
}

} // namespace velquor::host
