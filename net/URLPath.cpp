// URLPath.cpp: dot-segment removal and the normalised form of a URL path.
#include "net/URLPath.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsUnreserved(int c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

}  // namespace

QELString RemoveDotSegments(const QELString &path) {
    QELString input = path;
    QELString output;
    while (!input.isEmpty()) {
        if (input.startsWith("../")) {
            input.dropFirst(3);
        } else if (input.startsWith("./")) {
            input.dropFirst(2);
        } else if (input.startsWith("/./")) {
            input.dropFirst(2);
        } else if (input.equals("/.")) {
            input = "/";
        } else if (input.startsWith("/../") || input.equals("/..")) {
            input = input.length() == 3 ? QELString("/") : input.substring(3);
            uint32_t lastSlash;
            if (output.find("/", 1, &lastSlash, QELString::kAll, QELString::kAll, QELString::kBackward))
                output.erase(lastSlash, QELString::kAll);
            else
                output.clear();
        } else if (input.equals(".") || input.equals("..")) {
            input.clear();
        } else {
            uint32_t next;
            if (!input.find("/", &next, 1))
                next = input.length();
            output += input.substring(0, next);
            input.erase(0, next);
        }
    }
    return output;
}

QELString NormalisedPath(const QELString &path) {
    QELString decoded;
    decoded.reserve(path.length() + 1);
    if (!path.startsWith("/"))
        decoded.append('/');
    for (uint32_t i = 0; i < path.length(); ++i) {
        char c = path[i];
        if (c == '%' && i + 2 < path.length() && HexValue(path[i + 1]) >= 0 && HexValue(path[i + 2]) >= 0) {
            int value = HexValue(path[i + 1]) * 16 + HexValue(path[i + 2]);
            if (IsUnreserved(value)) {
                c = static_cast<char>(value);
                i += 2;
            }
        }
        if (c == '/' && decoded.endsWith("/"))
            continue;
        decoded.append(c);
    }
    QELString resolved = RemoveDotSegments(decoded);
    return resolved.isEmpty() ? QELString("/") : resolved;
}
