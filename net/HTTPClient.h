// HTTPClient.h: QELHTTPClient, which fetches one URL over HTTP/1.0 (GET or POST, form
// arguments, Basic credentials), follows redirections and splits headers from content.
#pragma once

#include <cstdint>

#include "foundation/String.h"
#include "net/NetworkClient.h"

class QELHTTPClient : public QELNetworkClient {
public:
    // Method codes; a code above kTrace sends a GET.
    enum Method : uint8_t { kGet = 0, kPost = 1, kPut = 2, kHead = 3, kTrace = 4 };
    // Authentication schemes; only Basic produces a header.
    enum AuthenticationScheme : uint8_t { kBasic = 0, kNoAuthentication = 1 };
    static constexpr uint16_t kPort = 80;
    // Redirections followed by one SendRequest at most; the response that would lead
    // to one more is the result.
    static constexpr uint32_t kMaximumRedirections = 10;

    QELHTTPClient();
    ~QELHTTPClient() override;

    // Takes the host ("name" or "name:port", kept as written for the Host header) and
    // the path (from the first "/", query included; "/" when none) from the URL, which
    // may begin with "http://" in any letter case. A URL with a control byte or a space,
    // with no host name, with a port that is not 1 to 65535, or with a scheme other than
    // http is refused: the result is false, LastError says why and SendRequest sends
    // nothing until a good URL is set.
    bool SetURL(const QELString &url);
    void SetMethod(uint8_t code);
    // Basic credentials: "Basic " and the Base64 of "user:password", as one line. An
    // empty user name, or another scheme, sends no Authorization header.
    void SetCredentials(uint8_t scheme, const QELString &userName, const QELString &password);
    void SetReferer(const QELString &text);
    void SetUserAgent(const QELString &text);
    // Appends name=value, both URL-encoded ("/", ":" and "~" too), joined by "&".
    void AddPostArgument(const QELString &name, const QELString &value);

    // Sends the request and reads the response; with followRedirects, answers 301 and
    // 302 lead to their Location (at most 10 times; credentials go only to the host
    // they were given for). The response ends at the server's close or after its
    // Content-Length, never at a pause. True when the server was reached, whatever the
    // status; false, with LastError, when the URL or a header value was refused (nothing
    // is sent), the name was not found, the connection failed, the request could not be
    // sent and no answer came, or the response broke a time limit or the byte cap (the
    // content is then empty).
    bool SendRequest(bool followRedirects);

    // The header block of the last response without its blank line, and its content.
    QELString ResponseHeaders() const { return responseHeaders_; }
    QELString ResponseContent() const { return responseContent_; }

    const QELString &host() const { return host_; }
    const QELString &path() const { return path_; }
    const QELString &postData() const { return postData_; }
    // Redirections that the last SendRequest followed.
    uint32_t redirectionCount() const { return redirections_; }

    // Splits a URL as SetURL does; false with the reason in error when it is refused.
    static bool ParseURL(const QELString &url, QELString *host, QELString *path, QELString *error);

private:
    QELString buildRequest(bool withAuthorization) const;
    // The absolute URL that a Location value names, seen from the current URL.
    QELString resolveLocation(const QELString &location) const;
    // Moves the header block of the content into the headers when it has a blank line.
    void splitContent();

    QELString path_;
    QELString host_;
    uint8_t method_;
    QELString authorization_;
    QELString referer_;
    QELString userAgent_;
    QELString postData_;
    QELString responseHeaders_;
    QELString responseContent_;
    QELString urlError_;  // why the URL was refused; empty when it is good
    uint32_t redirections_;
};
