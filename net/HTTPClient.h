// HTTPClient.h: QELHTTPClient, which fetches one URL over HTTP/1.0 (GET or POST, form
// arguments, Basic credentials), follows redirections and splits headers from content.
#pragma once

#include <cstdint>

#include "foundation/String.h"
#include "net/NetworkClient.h"

// Decides, for each redirection, whether the client may follow it.
class QELHTTPRedirectCheck : public QELObject {
public:
    // False, with the reason in *reason, when the client must not follow a redirection
    // to url (an absolute http:// or https:// URL).
    virtual bool MayFollow(const QELString &url, QELString *reason) = 0;
};

class QELHTTPClient : public QELNetworkClient {
public:
    // Method codes; a code above kTrace sends a GET.
    enum Method : uint8_t { kGet = 0, kPost = 1, kPut = 2, kHead = 3, kTrace = 4 };
    // Authentication schemes; only Basic produces a header.
    enum AuthenticationScheme : uint8_t { kBasic = 0, kNoAuthentication = 1 };
    static constexpr uint16_t kPort = 80;
    static constexpr uint16_t kSecurePort = 443;
    // Redirections followed by one SendRequest at most; the response that would lead
    // to one more is the result.
    static constexpr uint32_t kMaximumRedirections = 10;

    QELHTTPClient();
    ~QELHTTPClient() override;

    // Takes the host ("name", "name:port" or "[IPv6]:port", kept as written for the Host
    // header; it ends at the first "/" or "?") and the path (from there, query included,
    // beginning with "/") from the URL, which may begin with "http://" or "https://" in
    // any letter case (https: TLS to port 443 unless the URL names a port); a "#fragment" is
    // dropped. A URL with a control byte or a space, with no host name, with a port that is
    // not 1 to 65535, or with a scheme other than http and https is refused: the result is
    // false, LastError says why and SendRequest sends nothing until a good URL is set.
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
    // they were given for; a server outside this machine never leads to a loopback or
    // link-local address; an https URL never leads to an http one; the redirect check, when
    // set, approves every target). Over https the server's certificate must verify against
    // the system's trust store and name the URL's host; the request is byte for byte the
    // one sent over plain http. A 100
    // response is interim, every other one final. The response ends at the server's close
    // or after its Content-Length (bytes beyond it are dropped), never at a pause; its
    // content is received into storage sized from that length, never beyond the byte cap. True when the server was reached
    // and its response is the result, whatever the status; false, with LastError, when the
    // URL or a header value was refused (nothing is sent), the name was not found or not
    // looked up in time, the connection or its TLS handshake failed (LastError names the
    // cause: "certificate verification failed for ...: certificate has expired"), the request could not be sent and no
    // answer came, the response broke a time limit or the byte cap, or the server closed
    // before its header block or its Content-Length of content was whole (the content is then
    // empty), or a redirection was not followed (the redirecting response stays).
    bool SendRequest(bool followRedirects);
    // The check asked before every redirection is followed (not owned); null for none.
    void SetRedirectCheck(QELHTTPRedirectCheck *check) { redirectCheck_ = check; }

    // The header block of the last response without its blank line, and its content.
    QELString ResponseHeaders() const { return responseHeaders_; }
    QELString ResponseContent() const { return responseContent_; }

    const QELString &host() const { return host_; }
    // Whether the current URL is an https one.
    bool isSecure() const { return secure_; }
    const QELString &path() const { return path_; }
    const QELString &postData() const { return postData_; }
    // Redirections that the last SendRequest followed.
    uint32_t redirectionCount() const { return redirections_; }

    // Whether a server at from may send the client on to a server at to: one outside this
    // machine (neither loopback nor the machine's own address) never to a loopback or
    // link-local address.
    static bool MayRedirect(const QELIPAddress &from, const QELIPAddress &to);

    // Splits a URL as SetURL does; false with the reason in error when it is refused.
    // secure, when given, tells whether the URL is an https one.
    static bool ParseURL(const QELString &url, QELString *host, QELString *path, QELString *error,
                         bool *secure = nullptr);

    // The value of the first "Location:" line (any letter case) of the header block of a
    // response (the text before its first blank line), trimmed; empty when there is none.
    static QELString LocationOf(const QELString &response);
    // The absolute URL that a Location value names, seen from the URL of host and path
    // (https when secure): absolute URLs as they are, "//host/..." with the same scheme,
    // "/path", "?query" and relative paths against the current one, dot segments removed.
    static QELString ResolveLocation(const QELString &location, bool secure, const QELString &host,
                                     const QELString &path);
    // Splits a response at its first blank line: headers before it (without it), content
    // after it. False, changing nothing, when it has no blank line.
    static bool SplitHeaderBlock(const QELString &response, QELString *headers, QELString *content);

private:
    QELString buildRequest(bool withAuthorization) const;
    // The absolute URL that a Location value names, seen from the current URL.
    QELString resolveLocation(const QELString &location) const;
    // Moves the header block of the content into the headers when it has a blank line.
    void splitContent();
    // Takes a final response: with a header block kept apart (head, blank line included)
    // the block becomes the headers and rest the content, shared as it is, and the result
    // is true; without one, rest joins the content, to be split, and the result is false.
    bool keepResponse(const QELString &head, const QELString &rest);

    QELString path_;
    QELString host_;
    bool secure_;
    uint8_t method_;
    QELString authorization_;
    QELString referer_;
    QELString userAgent_;
    QELString postData_;
    QELString responseHeaders_;
    QELString responseContent_;
    QELString urlError_;  // why the URL was refused; empty when it is good
    uint32_t redirections_;
    QELHTTPRedirectCheck *redirectCheck_ = nullptr;
};
