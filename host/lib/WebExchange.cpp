// WebExchange.cpp: header lookup, target splitting and URL-encoded text.
#include "host/lib/WebExchange.h"

#include "host/lib/HostText.h"

namespace velquor::host {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

std::string WebRequest::header(const std::string &name) const {
    for (const auto &[key, value] : headers) {
        if (HostText::equalsIgnoringCase(key, name)) {
            return value;
        }
    }
    return "";
}

std::string WebRequest::headerList(const std::string &name) const {
    std::string list;
    for (const auto &[key, value] : headers) {
        if (HostText::equalsIgnoringCase(key, name)) {
            list += (list.empty() ? "" : ", ") + value;
        }
    }
    return list;
}

bool WebRequest::hasHeader(const std::string &name) const {
    for (const auto &entry : headers) {
        if (HostText::equalsIgnoringCase(entry.first, name)) {
            return true;
        }
    }
    return false;
}

std::string WebRequest::rawPath() const { return target.substr(0, target.find('?')); }

std::string WebRequest::rawQuery() const {
    size_t mark = target.find('?');
    return mark == std::string::npos ? std::string() : target.substr(mark + 1);
}

std::string URLText::decode(const std::string &text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

bool URLText::parseForm(const std::string &text, NameValueList &fields, size_t maximum) {
    size_t count = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('&', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string field = text.substr(start, end - start);
        if (!field.empty()) {
            if (count++ == maximum) {
                return false;
            }
            size_t equals = field.find('=');
            std::string name = decode(field.substr(0, equals), true);
            std::string value = equals == std::string::npos ? std::string() : decode(field.substr(equals + 1), true);
            fields.emplace_back(std::move(name), std::move(value));
        }
        start = end + 1;
    }
    return true;
}

std::string URLText::encodePath(const std::string &path) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : path) {
        auto byte = static_cast<unsigned char>(c);
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '_' || c == '.' || c == '~' || c == '/';
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += digits[byte >> 4];
            out += digits[byte & 0x0F];
        }
    }
    return out;
}

} // namespace velquor::host
