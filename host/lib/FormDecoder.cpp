// FormDecoder.cpp: URL-encoded and multipart/form-data bodies, decoded whole and bounded
// in their number of fields.
#include "host/lib/FormDecoder.h"

#include "host/lib/HostText.h"

namespace velquor::host {

namespace {

std::string trimmed(const std::string &text) {
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos) {
        return "";
    }
    return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

// The media type of a Content-Type value, lower-cased, without its parameters.
std::string mediaType(const std::string &contentType) {
    return HostText::lower(trimmed(contentType.substr(0, contentType.find(';'))));
}

// The value of the part header `name` in a block of "Name: value" CRLF lines.
std::optional<std::string> partHeader(const std::string &block, const std::string &name) {
    size_t start = 0;
    while (start < block.size()) {
        size_t end = block.find("\r\n", start);
        if (end == std::string::npos) {
            end = block.size();
        }
        std::string line = block.substr(start, end - start);
        size_t colon = line.find(':');
        if (colon != std::string::npos && HostText::equalsIgnoringCase(trimmed(line.substr(0, colon)), name)) {
            return trimmed(line.substr(colon + 1));
        }
        start = end + 2;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> FormDecoder::parameter(const std::string &headerValue, const std::string &name) {
    size_t position = headerValue.find(';');
    while (position != std::string::npos && position < headerValue.size()) {
        ++position;  // past ";"
        size_t equals = headerValue.find_first_of("=;", position);
        std::string key = trimmed(headerValue.substr(position, equals == std::string::npos ? std::string::npos
                                                                                           : equals - position));
        if (equals == std::string::npos || headerValue[equals] == ';') {
            position = equals;  // a parameter without a value
            continue;
        }
        position = headerValue.find_first_not_of(" \t", equals + 1);
        std::string value;
        if (position != std::string::npos && headerValue[position] == '"') {
            // A quoted string: a backslash takes the next byte as it is.
            for (++position; position < headerValue.size() && headerValue[position] != '"'; ++position) {
                if (headerValue[position] == '\\' && position + 1 < headerValue.size()) {
                    ++position;
                }
                value += headerValue[position];
            }
            position = headerValue.find(';', position);
        } else if (position != std::string::npos) {
            size_t end = headerValue.find(';', position);
            value = trimmed(headerValue.substr(position, end == std::string::npos ? std::string::npos : end - position));
            position = end;
        }
        if (HostText::equalsIgnoringCase(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

std::optional<std::string> FormDecoder::boundaryOf(const std::string &contentType) {
    std::optional<std::string> boundary = parameter(contentType, "boundary");
    if (!boundary || boundary->empty()) {
        return std::nullopt;
    }
    return boundary;
}

FormDecoder::Result FormDecoder::decode(const std::string &contentType, const std::string &body,
                                        size_t maximumFields, NameValueList &fields) {
    std::string type = mediaType(contentType);
    if (type == "application/x-www-form-urlencoded") {
        NameValueList found;
        if (!URLText::parseForm(body, found, maximumFields)) {
            return Result::TooManyFields;
        }
        fields.insert(fields.end(), found.begin(), found.end());
        return Result::Decoded;
    }
    if (type == "multipart/form-data") {
        std::optional<std::string> boundary = boundaryOf(contentType);
        if (!boundary) {
            return Result::Malformed;
        }
        return decodeMultipart(*boundary, body, maximumFields, fields);
    }
    return Result::Decoded;
}

FormDecoder::Result FormDecoder::decodeMultipart(const std::string &boundary, const std::string &body,
                                                 size_t maximumFields, NameValueList &fields) {
    const std::string delimiter = "--" + boundary;
    const std::string marker = "\r\n" + delimiter;  // a delimiter after a part's content
    size_t position = 0;
    if (body.compare(0, delimiter.size(), delimiter) != 0) {
        // A preamble comes before the first delimiter.
        position = body.find(marker);
        if (position == std::string::npos) {
            return Result::Malformed;
        }
        position += 2;
    }
    NameValueList found;
    size_t parts = 0;
    for (;;) {
        position += delimiter.size();
        if (body.compare(position, 2, "--") == 0) {
            fields.insert(fields.end(), found.begin(), found.end());
            return Result::Decoded;
        }
        position = body.find_first_not_of(" \t", position);  // transport padding
        if (position == std::string::npos || body.compare(position, 2, "\r\n") != 0) {
            return Result::Malformed;
        }
        position += 2;
        size_t headersEnd = position;  // just after the CRLF of the last header line
        if (body.compare(position, 2, "\r\n") != 0) {
            size_t blank = body.find("\r\n\r\n", position);
            if (blank == std::string::npos) {
                return Result::Malformed;
            }
            headersEnd = blank + 2;
        }
        size_t next = body.find(marker, position);
        size_t content = headersEnd + 2;  // after the blank line
        if (next == std::string::npos || next < content) {
            return Result::Malformed;  // no closing delimiter, or a part without its blank line
        }
        if (++parts > maximumFields) {
            return Result::TooManyFields;
        }
        std::optional<std::string> disposition =
            partHeader(body.substr(position, headersEnd - position), "Content-Disposition");
        std::optional<std::string> name = disposition ? parameter(*disposition, "name") : std::nullopt;
        if (!name || mediaType(*disposition) != "form-data") {
            return Result::Malformed;
        }
        if (!parameter(*disposition, "filename")) {
            found.emplace_back(*name, body.substr(content, next - content));
        }
        position = next + 2;
    }
}

} // namespace velquor::host
