// POP3Client.cpp: the POP3 session over one connection (plain, STLS or TLS from the first
// byte), each reply read until it is whole for its command, the session stopped once a reply
// falls short, and the retrieval split.
#include "net/POP3Client.h"

#include "net/ReplyCompletion.h"
#include "net/ServerSettings.h"

namespace {

const char kCRLF[] = "\r\n";

// Whether the bytes hold CR, LF or NUL, any of which would end a command line early.
bool BreaksLine(const QELString &text) {
    for (uint32_t i = 0; i < text.length(); ++i)
        if (text[i] == '\r' || text[i] == '\n' || text[i] == 0)
            return true;
    return false;
}

// The POP3 completion test, remembering its last verdict so that the reader knows whether
// a read ended because the reply was whole or for some other reason.
class TrackedCompletion : public QELReplyCompletion {
public:
    explicit TrackedCompletion(bool multiLine) : test_(multiLine), last_(kIncomplete) {}
    Verdict examine(const char *bytes, uint32_t length) override {
        last_ = test_.examine(bytes, length);
        return last_;
    }
    uint64_t expectedLength() const override { return test_.expectedLength(); }
    Verdict last() const { return last_; }

private:
    QELPOP3ReplyCompletion test_;
    Verdict last_;
};

// The first line of a reply without its line end, shortened for an error text.
QELString StatusLineOf(const QELString &reply) {
    uint32_t end = reply.length();
    reply.find("\n", &end);
    if (end > 0 && reply[end - 1] == '\r')
        --end;
    if (end > QELPOP3Client::kQuotedStatusLength)
        return reply.substring(0, QELPOP3Client::kQuotedStatusLength) + "...";
    return reply.substring(0, end);
}

// Whether the first word of a command line is name, ignoring case.
bool VerbIs(const QELString &verb, const char *name) { return verb.equalsIgnoringCase(QELString(name)); }

// Appends bytes [start, end) of source, taking one dot off every line that begins with
// "..". start must be the beginning of a line.
void AppendUnstuffed(const char *source, uint32_t start, uint32_t end, QELString &out) {
    out.reserve(out.length() + (end - start));
    uint32_t copied = start;
    uint32_t line = start;
    while (line < end) {
        if (line + 1 < end && source[line] == '.' && source[line + 1] == '.') {
            out.append(source + copied, line - copied);
            copied = line + 1;
        }
        while (line < end && source[line] != '\n')
            ++line;
        ++line;  // past the LF: the next line begins
    }
    out.append(source + copied, end - copied);
}

}  // namespace

QELPOP3Client::QELPOP3Client(const QELString &serverName, const QELString &userName, const QELString &password)
    : serverName_(serverName),
      userName_(userName),
      password_(password),
      limits_(kDefaultNetworkLimits),
      outOfStep_(false),
      securityFailure_(kNoSecurityFailure) {}

QELPOP3Client::~QELPOP3Client() = default;

bool QELPOP3Client::IsPositive(const QELString &reply) { return reply.startsWith("+OK", QELString::kIgnoreCase); }

QELPOP3Client::POP3LoginStatus QELPOP3Client::Login() {
    if (connection_) {
        setLastError(QELString("already connected to ") + serverName_);
        return kAlreadyConnected;
    }
    clearLastError();
    outOfStep_ = false;
    securityFailure_ = kNoSecurityFailure;
    QELString error;
    // The settings may ask for security: without them, nothing goes out.
    QELServerSettings::Entry settings;
    if (!QELServerSettings::Shared().find(serverName_, &settings, &error)) {
        securityFailure_ = kSettingsUnusable;
        setLastError(error);
        return kUnableToConnect;
    }
    if (BreaksLine(userName_) || BreaksLine(password_)) {
        setLastError("the user name or password contains CR, LF or NUL");
        return kUnableToConnect;
    }
    const uint16_t defaultPort = settings.security == QELServerSettings::kTLS ? kTLSPort : kPort;
    uint16_t port = defaultPort;
    if (!ResolveHostName(serverName_, defaultPort, serverAddress_, port, &error)) {
        setLastError(error);
        return kUnableToConnect;
    }
    serverPort_ = port;
    connection_ = OpenConnection(serverAddress_, port, false, nullptr, &error);
    if (!connection_) {
        setLastError(error);
        return kUnableToConnect;
    }
    limits_ = connection_->limits();
    if (settings.security == QELServerSettings::kTLS && !secure(settings.caFile))
        return kUnableToConnect;

    QELString reply;
    if (!readReply("greeting", false, limits_.replyByteCap, reply))
        return kUnableToConnect;
    if (!IsPositive(reply)) {
        setLastError(QELString("the server refused the session: ") + StatusLineOf(reply));
        return kUnableToConnect;
    }
    if (settings.security == QELServerSettings::kStartTLS) {
        if (!exchange(QELString("STLS") + kCRLF, "reply to STLS", false, limits_.replyByteCap, reply))
            return kUnableToConnect;
        if (!IsPositive(reply)) {
            securityFailure_ = kSecureSessionFailed;
            setLastError(QELString("the server refused STLS: ") + StatusLineOf(reply));
            return kUnableToConnect;
        }
        if (!secure(settings.caFile))
            return kUnableToConnect;
    }
    if (!exchange(QELString("USER ") + userName_ + kCRLF, "reply to USER", false, limits_.replyByteCap, reply))
        return kUnableToConnect;
    if (!IsPositive(reply)) {
        setLastError(QELString("the server refused the user name: ") + StatusLineOf(reply));
        return kUnknownUser;
    }
    if (!exchange(QELString("PASS ") + password_ + kCRLF, "reply to PASS", false, limits_.replyByteCap, reply))
        return kUnableToConnect;
    if (!IsPositive(reply)) {
        setLastError(QELString("the server refused the password: ") + StatusLineOf(reply));
        return kInvalidPassword;
    }
    return kSuccess;
}

QELString QELPOP3Client::SendCommand(const QELString &command) {
    if (!connection_) {
        setLastError("not connected");
        return QELString();
    }
    if (outOfStep_)
        return QELString();  // LastError keeps the cause
    QELString line = command;
    if (line.endsWith(kCRLF))
        line.dropLast(2);
    if (BreaksLine(line)) {
        setLastError("the command contains CR, LF or NUL; it was not sent");
        return QELString();
    }
    clearLastError();

    // The reply's form follows from the command: its first word, and whether an argument
    // follows.
    uint32_t verbEnd = line.length();
    line.find(" ", &verbEnd);
    const QELString verb = line.substring(0, verbEnd);
    QELString argument = line.substring(verbEnd);
    argument.trim(" ");
    bool multiLine = false;
    uint32_t cap = limits_.replyByteCap;
    if (VerbIs(verb, "RETR") || VerbIs(verb, "TOP")) {
        multiLine = true;
        cap = limits_.pop3RetrievalByteCap;
    } else if ((VerbIs(verb, "UIDL") || VerbIs(verb, "LIST")) && argument.isEmpty()) {
        multiLine = true;
        cap = limits_.pop3ListingByteCap;
    } else if (VerbIs(verb, "CAPA")) {
        multiLine = true;
    }
    line.append(kCRLF);
    QELString reply;
    if (!exchange(line, QELString("reply to ") + verb, multiLine, cap, reply))
        return QELString();
    return reply;
}

void QELPOP3Client::Logout() {
    if (!connection_)
        return;
    if (!outOfStep_) {
        QELString reply;
        exchange(QELString("QUIT") + kCRLF, "reply to QUIT", false, limits_.replyByteCap, reply);
    }
    connection_.reset();
}

bool QELPOP3Client::secure(const QELString &caFile) {
    // The name was split when it was looked up, so this split succeeds too.
    QELString hostName;
    uint16_t port = 0;
    SplitHostAndPort(serverName_, kPort, &hostName, &port);
    if (connection_->StartTLS(hostName, caFile))
        return true;
    securityFailure_ = kSecureSessionFailed;
    setLastError(connection_->LastError());
    connection_.reset();  // already closed by the failed handshake
    return false;
}

bool QELPOP3Client::readReply(const QELString &what, bool multiLine, uint32_t cap, QELString &reply) {
    connection_->setReplyByteCap(cap);
    TrackedCompletion completion(multiLine);
    const bool read = connection_->ReadReply(&completion);
    if (read && completion.last() == QELReplyCompletion::kComplete) {
        reply = connection_->ReplyText();
        return true;
    }
    outOfStep_ = true;
    QELString reason = connection_->LastError();
    if (reason.isEmpty())
        reason = completion.last() == QELReplyCompletion::kUnknown
                     ? "the server's reply is not a POP3 reply"
                     : "the server closed the connection before the reply was whole";
    setLastError(QELString("no whole ") + what + " (" + reason + ")");
    reply.clear();
    return false;
}

bool QELPOP3Client::exchange(const QELString &line, const QELString &what, bool multiLine, uint32_t cap,
                             QELString &reply) {
    if (!connection_->Send(line)) {
        // Part of the line may have gone out: whatever is sent next would continue it.
        outOfStep_ = true;
        setLastError(QELString("no ") + what + " (" + connection_->LastError() + ")");
        reply.clear();
        return false;
    }
    return readReply(what, multiLine, cap, reply);
}

bool QELPOP3Client::SplitRetrieval(const QELString &reply, QELString &header, QELString &text) {
    header.clear();
    text.clear();
    const char *bytes = reply.text();
    uint32_t start;
    if (!reply.find("\n", &start))
        return false;  // no more than a status line
    ++start;
    uint32_t end = reply.length();
    bool terminated = false;
    // The line "." after the status line or after another line's LF.
    if (end - start >= 3 && reply.endsWith(".\r\n") && (end - 3 == start || bytes[end - 4] == '\n')) {
        end -= 3;
        terminated = true;
    } else if (end - start >= 2 && reply.endsWith(".\n") && (end - 2 == start || bytes[end - 3] == '\n')) {
        end -= 2;
        terminated = true;
    }
    // Taking dots off never makes or breaks a blank line, so the split is found in the
    // stuffed bytes and each side is unstuffed as it is copied.
    uint32_t blank;
    if (end - start >= 2 && bytes[start] == '\r' && bytes[start + 1] == '\n') {
        AppendUnstuffed(bytes, start, end, text);  // the blank line comes first: no header
    } else if (end > start && reply.find("\r\n\r\n", &blank, start, end - start)) {
        AppendUnstuffed(bytes, start, blank, header);
        AppendUnstuffed(bytes, blank + 2, end, text);
    } else {
        AppendUnstuffed(bytes, start, end, header);
    }
    return terminated;
}
