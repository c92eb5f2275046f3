// WebExchange.h: one HTTP request and its response as the page server sees them, apart
// from any HTTP library: the raw target, the headers, the client address and the decoded
// form fields; and the decoding of URL-encoded text.
#ifndef VELQUOR_HOST_WEB_EXCHANGE_H
#define VELQUOR_HOST_WEB_EXCHANGE_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velquor::host {

using NameValueList = std::vector<std::pair<std::string, std::string>>;

struct WebRequest {
    std::string method;         // as sent: "GET", "POST", ...
    std::string target;         // the request target as sent: path and query, not decoded
    NameValueList headers;      // names as sent
    std::string remoteAddress;  // the client's IP address
    // The form fields of the body in document order: an application/x-www-form-urlencoded
    // body, or the text fields of a multipart/form-data body.
    NameValueList bodyFields;

    // The first header of that name (ignoring case); "" when there is none.
    std::string header(const std::string &name) const;
    // Every header line of that name joined with ", " in the order sent, as one list (for
    // list headers such as X-Forwarded-For that may come in several lines).
    std::string headerList(const std::string &name) const;
    bool hasHeader(const std::string &name) const;
    // The target's path, up to "?", as sent.
    std::string rawPath() const;
    // The target's query, after "?", as sent ("" when there is none).
    std::string rawQuery() const;
};

struct WebResponse {
    int status = 200;
    std::string contentType = "text/html";
    std::string body;
    // When set, the response's content is this file's (the body is not used).
    std::string file;
    NameValueList headers;

    void addHeader(const std::string &name, const std::string &value) { headers.emplace_back(name, value); }
};

class URLText {
public:
    // Decodes %XX escapes (and "+" as a space when plusIsSpace); a "%" not followed by two
    // hexadecimal digits stays as it is.
    static std::string decode(const std::string &text, bool plusIsSpace);
    // Appends the fields of "a=1&b=2&a=3" to `fields` in order (names and values decoded,
    // "+" as a space); a field without "=" has the value "", empty fields are skipped.
    // False, after appending `maximum` of them, when the text holds more fields.
    static bool parseForm(const std::string &text, NameValueList &fields, size_t maximum = SIZE_MAX);
    // Percent-encodes everything but unreserved characters and "/".
    static std::string encodePath(const std::string &path);
};

} // namespace velquor::host

#endif
