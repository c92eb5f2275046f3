// HTTPClient.cpp: URL checking and splitting, the request text, the read of one response
// per connection, redirections resolved against the current URL, and the header split
// (the content stays in the storage it was received into).
#include "net/HTTPClient.h"

#include "foundation/Base64.h"
#include "foundation/NumberText.h"
#include "net/HTTPResponseCompletion.h"
#include "net/TCPConnection.h"
#include "net/URLPath.h"

namespace {

const char kCRLF[] = "\r\n";
const char kBlankLine[] = "\r\n\r\n";
const char kTrimSet[] = " \t\r\n";

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A byte that would let a value end a request line or a header: control bytes and DEL.
bool IsControl(char c) {
    unsigned char byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

// The length of a leading "scheme:" (letters, digits, "+", "-", "." after a letter)
// when the colon is followed by "//"; 0 when the text does not begin with one.
uint32_t SchemeLength(const QELString &text) {
    if (text.isEmpty() || !IsLetter(text[0]))
        return 0;
    uint32_t i = 1;
    while (i < text.length() && (IsLetter(text[i]) || IsDigit(text[i]) || text[i] == '+' || text[i] == '-' ||
                                 text[i] == '.'))
        ++i;
    if (i + 2 < text.length() && text[i] == ':' && text[i + 1] == '/' && text[i + 2] == '/')
        return i;
    return 0;
}

// Whether a header value holds a byte that could end its line (a tab is allowed).
bool HasLineBreakingByte(const QELString &value) {
    for (uint32_t i = 0; i < value.length(); ++i)
        if (IsControl(value[i]) && value[i] != '\t')
            return true;
    return false;
}

// Two host texts name the same server: the same name ignoring case, the same port.
bool SameServer(const QELString &one, const QELString &other) {
    QELString oneName, otherName;
    uint16_t onePort = 0, otherPort = 0;
    if (!SplitHostAndPort(one, QELHTTPClient::kPort, &oneName, &onePort) ||
        !SplitHostAndPort(other, QELHTTPClient::kPort, &otherName, &otherPort))
        return false;
    return onePort == otherPort && oneName.equalsIgnoringCase(otherName);
}

// Whether head (a header block kept apart, blank line included) is one block: its first
// blank line is its end.
bool IsOneHeaderBlock(const QELString &head) {
    uint32_t end;
    return head.find(kBlankLine, &end) && end + 4 == head.length();
}


// Whether a response that the server's close ended began with a status line but has no
// end of its header block (a blank line, CR LF or bare LF).
bool EndsInsideHeaderBlock(const QELString &reply) {
    uint32_t at;
    return reply.startsWith("HTTP/", QELString::kIgnoreCase) && !reply.find(kBlankLine, &at) &&
           !reply.find("\n\n", &at);
}

}  // namespace

QELHTTPClient::QELHTTPClient() : secure_(false), method_(kGet), redirections_(0) { path_ = "/"; }

QELHTTPClient::~QELHTTPClient() = default;

bool QELHTTPClient::MayRedirect(const QELIPAddress &from, const QELIPAddress &to) {
    if (!to.isLoopback() && !to.isLinkLocal())
        return true;
    if (from.isLoopback())
        return true;
    QELIPAddress local;
    return GetLocalAddress(local) && local.equals(from);
}

bool QELHTTPClient::ParseURL(const QELString &url, QELString *host, QELString *path, QELString *error,
                             bool *secure) {
    for (uint32_t i = 0; i < url.length(); ++i) {
        if (IsControl(url[i]) || url[i] == ' ') {
            *error = "the URL contains a control byte or a space";
            return false;
        }
    }
    QELString text = url;
    bool isSecure = false;
    if (text.startsWith("http://", QELString::kIgnoreCase)) {
        text.dropFirst(7);
    } else if (text.startsWith("https://", QELString::kIgnoreCase)) {
        text.dropFirst(8);
        isSecure = true;
    } else if (uint32_t schemeLength = SchemeLength(text)) {
        *error = QELString("the URL scheme \"") + text.substring(0, schemeLength) +
                 "\" is not supported (only http and https)";
        return false;
    }
    // The fragment is the client's own: it never goes to the server.
    uint32_t fragment;
    if (text.find("#", &fragment))
        text.erase(fragment, QELString::kAll);
    // The authority ends at the first "/" or "?".
    uint32_t end = 0;
    while (end < text.length() && text[end] != '/' && text[end] != '?')
        ++end;
    QELString hostText = text.substring(0, end);
    QELString pathText = text.substring(end);
    if (!pathText.startsWith("/"))
        pathText.insert("/", 0);
    uint32_t colon;
    if (hostText.isEmpty() || (hostText.find(":", &colon) && colon == 0)) {
        *error = "the URL names no host";
        return false;
    }
    if (!SplitHostAndPort(hostText, kPort, nullptr, nullptr)) {
        *error = QELString("the URL has a bad port (") + hostText + ")";
        return false;
    }
    *host = hostText;
    *path = pathText;
    if (secure != nullptr)
        *secure = isSecure;
    return true;
}

bool QELHTTPClient::SetURL(const QELString &url) {
    QELString host, path, error;
    bool secure = false;
    if (!ParseURL(url, &host, &path, &error, &secure)) {
        host_.clear();
        secure_ = false;
        path_ = "/";
        urlError_ = error;
        setLastError(error);
        return false;
    }
    host_ = host;
    path_ = path;
    secure_ = secure;
    urlError_.clear();
    return true;
}

void QELHTTPClient::SetMethod(uint8_t code) { method_ = code; }

void QELHTTPClient::SetCredentials(uint8_t scheme, const QELString &userName, const QELString &password) {
    authorization_.clear();
    if (userName.isEmpty() || scheme != kBasic)
        return;
    QELString encoded = Base64EncodeString(userName + ":" + password);
    // The encoder breaks long output into lines; a header value is one line.
    encoded.replaceAll(kCRLF, QELString());
    authorization_ = QELString("Basic ") + encoded;
    authorization_.trim(kTrimSet);
}

void QELHTTPClient::SetReferer(const QELString &text) { referer_ = text; }

void QELHTTPClient::SetUserAgent(const QELString &text) { userAgent_ = text; }

void QELHTTPClient::AddPostArgument(const QELString &name, const QELString &value) {
    if (!postData_.isEmpty())
        postData_ += "&";
    postData_ += name.urlEncoded(true);
    postData_ += "=";
    postData_ += value.urlEncoded(true);
}

QELString QELHTTPClient::buildRequest(bool withAuthorization) const {
    const char *word;
    switch (method_) {
        case kPost: word = "POST "; break;
        case kPut: word = "PUT "; break;
        case kHead: word = "HEAD "; break;
        case kTrace: word = "TRACE "; break;
        default: word = "GET "; break;
    }
    bool withContent = method_ == kPost || method_ == kPut;
    QELString request(word);
    request.reserve(256 + path_.length() + host_.length() + referer_.length() + userAgent_.length() +
                    authorization_.length() + (withContent ? postData_.length() : 0));
    request += path_;
    request += " HTTP/1.0\r\nHost: ";
    request += host_;
    request += kCRLF;
    if (!referer_.isEmpty()) {
        request += "Referer: ";
        request += referer_;
        request += kCRLF;
    }
    if (!userAgent_.isEmpty()) {
        request += "User-Agent: ";
        request += userAgent_;
        request += kCRLF;
    }
    if (withAuthorization && !authorization_.isEmpty()) {
        request += "Authorization: ";
        request += authorization_;
        request += kCRLF;
    }
    if (withContent) {
        request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: ";
        request += IntegerToText(postData_.length());
        request += kCRLF;
        request += kCRLF;
        request += postData_;
    } else {
        request += kCRLF;
    }
    return request;
}

QELString QELHTTPClient::LocationOf(const QELString &response) {
    QELString block = response;
    uint32_t end;
    if (response.find(kBlankLine, &end))
        block = response.substring(0, end);
    uint32_t lineStart = 0;
    while (lineStart <= block.length()) {
        uint32_t lineEnd;
        if (!block.find(kCRLF, &lineEnd, lineStart))
            lineEnd = block.length();
        QELString line = block.substring(lineStart, lineEnd - lineStart);
        if (line.startsWith("Location:", QELString::kIgnoreCase)) {
            line.dropFirst(9);
            line.trim(kTrimSet);
            return line;
        }
        lineStart = lineEnd + 2;
    }
    return QELString();
}

QELString QELHTTPClient::resolveLocation(const QELString &location) const {
    return ResolveLocation(location, secure_, host_, path_);
}

QELString QELHTTPClient::ResolveLocation(const QELString &location, bool secure, const QELString &host,
                                         const QELString &path) {
    if (location.startsWith("http://", QELString::kIgnoreCase) || SchemeLength(location) > 0)
        return location;
    const char *scheme = secure ? "https:" : "http:";
    QELString origin = QELString(scheme) + "//" + host;
    if (location.startsWith("//"))
        return QELString(scheme) + location;
    if (location.startsWith("/"))
        return origin + location;
    QELString base = path;
    uint32_t query;
    if (base.find("?", &query))
        base.erase(query, QELString::kAll);
    if (location.startsWith("?"))
        return origin + base + location;
    // Relative to the folder of the current path.
    uint32_t lastSlash = 0;
    base.find("/", 1, &lastSlash, QELString::kAll, QELString::kAll, QELString::kBackward);
    QELString merged = base.substring(0, lastSlash + 1) + location;
    QELString tail;
    if (merged.find("?", &query))
        merged.erase(query, QELString::kAll, &tail);
    return origin + RemoveDotSegments(merged) + tail;
}

bool QELHTTPClient::keepResponse(const QELString &head, const QELString &rest) {
    if (head.isEmpty()) {
        responseContent_ += rest;
        return false;
    }
    responseHeaders_ = head.substring(0, head.length() - 4);
    responseContent_ = rest;
    return true;
}

void QELHTTPClient::splitContent() {
    QELString headers, content;
    if (SplitHeaderBlock(responseContent_, &headers, &content)) {
        responseHeaders_ = headers;
        responseContent_ = content;
    }
}

bool QELHTTPClient::SplitHeaderBlock(const QELString &response, QELString *headers, QELString *content) {
    uint32_t end;
    if (!response.find(kBlankLine, &end))
        return false;
    *headers = response.substring(0, end);
    *content = response.substring(end + 4);
    return true;
}

bool QELHTTPClient::SendRequest(bool followRedirects) {
    clearLastError();
    redirections_ = 0;
    QELString refusal;
    if (!urlError_.isEmpty())
        refusal = urlError_;
    else if (host_.isEmpty())
        refusal = "no URL was given";
    else if (HasLineBreakingByte(referer_))
        refusal = "the Referer value contains a control byte";
    else if (HasLineBreakingByte(userAgent_))
        refusal = "the User-Agent value contains a control byte";
    if (!refusal.isEmpty()) {
        responseContent_.clear();
        setLastError(refusal);
        return false;
    }

    const QELString credentialHost = host_;
    const uint32_t byteCap = GetNetworkLimits().httpResponseByteCap;
    QELIPAddress redirectingServer;
    bool result = true;
    // Whether the final response came with its header block apart from its content.
    bool split = false;
    for (;;) {
        bool redirected = false;
        QELString request = buildRequest(SameServer(host_, credentialHost));
        responseContent_.clear();

        QELIPAddress address;
        uint16_t port = 0;
        QELString failure;
        if (!ResolveHostName(host_, secure_ ? kSecurePort : kPort, address, port, &failure)) {
            setLastError(failure);
            result = false;
            break;
        }
        if (redirections_ > 0 && !MayRedirect(redirectingServer, address)) {
            setLastError(QELString("the redirection to ") + host_ + " was refused: a server outside this machine "
                         "may not lead to a loopback or link-local address (" + address.dottedText() + ")");
            result = false;
            break;
        }
        QELOwned<QELTCPConnection> connection = OpenConnection(address, port, false, nullptr, &failure);
        if (!connection) {
            setLastError(failure);
            result = false;
            break;
        }
        if (secure_) {
            QELString hostName;
            SplitHostAndPort(host_, kSecurePort, &hostName, nullptr);
            if (!connection->StartTLS(hostName, QELString())) {
                setLastError(connection->LastError());
                result = false;
                break;
            }
        }
        connection->setReplyByteCap(byteCap);
        bool sent = connection->Send(request);
        QELString sendError = connection->LastError();
        QELHTTPResponseCompletion completion(method_ == kHead);
        bool read = connection->ReadReply(&completion);
        QELString readError = connection->LastError();
        int32_t code = connection->ReplyCode();
        QELString head = connection->ReplyHead();
        QELString reply = connection->ReplyText();
        const QELString peer = connection->peerText();
        connection.reset();

        if (!readError.isEmpty()) {
            // A limit or a receive error: a partial response is no result.
            setLastError(sent ? readError : sendError);
            responseContent_.clear();
            result = false;
            break;
        }
        if (!read) {
            // The server closed without answering; a request that could not be sent
            // and got no answer is a failure.
            if (!sent) {
                setLastError(sendError);
                result = false;
            }
            break;
        }
        if (head.isEmpty() && EndsInsideHeaderBlock(reply)) {
            // The server closed before its header block was whole: a cut response is no result.
            setLastError(QELString("reply from ") + peer + " ended inside its header block");
            responseContent_.clear();
            result = false;
            break;
        }
        // A head that is one header block ends where the split at the first blank line
        // falls, so the rest is the content as it was received. Any other head (interim
        // responses before the final one) goes back in front of the rest, and the whole
        // is split as it comes.
        if (!head.isEmpty() && (code == 100 || !IsOneHeaderBlock(head))) {
            reply = head + reply;
            head.clear();
        }
        if (code == 100) {
            // An interim response: its header block goes into the headers.
            responseContent_ += reply;
            splitContent();
        } else if ((code == 301 || code == 302) && followRedirects) {
            QELString location = LocationOf(head.isEmpty() ? reply : head);
            if (!location.isEmpty()) {
                QELString target = resolveLocation(location);
                QELString host, path, error;
                bool targetSecure = false;
                if (redirections_ >= kMaximumRedirections)
                    error = QELString("stopped after ") + IntegerToText(kMaximumRedirections) + " redirections";
                else if (!ParseURL(target, &host, &path, &error, &targetSecure))
                    error = QELString("the redirection was not followed: ") + error;
                else if (secure_ && !targetSecure)
                    error = QELString("the redirection from https to ") + target +
                            " was refused: it would leave TLS";
                else if (redirectCheck_ != nullptr && !redirectCheck_->MayFollow(target, &error))
                    error = QELString("the redirection to ") + target + " was refused: " + error;
                if (!error.isEmpty()) {
                    split = keepResponse(head, reply);
                    setLastError(error);
                    result = false;
                } else {
                    host_ = host;
                    path_ = path;
                    secure_ = targetSecure;
                    redirectingServer = address;
                    ++redirections_;
                    redirected = true;
                }
            }
        } else {
            split = keepResponse(head, reply);
        }
        if (!redirected)
            break;
    }
    if (!split)
        splitContent();
    return result;
}
