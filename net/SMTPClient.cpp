// SMTPClient.cpp: the SMTP dialogue as a state table over one connection, the command
// templates built once, the check of everything that goes into a line, the text batches,
// and the upgrade to TLS with AUTH that the server settings ask for.
#include "net/SMTPClient.h"

#include "foundation/Base64.h"
#include "foundation/IPAddress.h"
#include "foundation/NumberText.h"
#include "net/NetworkLimits.h"
#include "net/ReplyCompletion.h"
#include "net/TCPConnection.h"

namespace {

const char kParameter[] = "|%param%|";
const char kTrimSet[] = " \t\r\n";
const char kCRLF[] = "\r\n";

// The command templates: built by the first dialogue (once, whichever thread comes first)
// and only read afterwards.
struct CommandTemplates {
    QELString hello{"HELO |%param%|\r\n"};
    QELString extendedHello{"EHLO |%param%|\r\n"};
    QELString startTLS{"STARTTLS\r\n"};
    QELString authPlain{"AUTH PLAIN |%param%|\r\n"};
    QELString authLogin{"AUTH LOGIN\r\n"};
    QELString mail{"MAIL FROM: <|%param%|>\r\n"};
    QELString recipient{"RCPT TO: <|%param%|>\r\n"};
    QELString data{"DATA\r\n"};
    QELString quit{"QUIT\r\n"};
};

const CommandTemplates &Templates() {
    static const CommandTemplates templates;
    return templates;
}

// A copy of the template with its argument in every marked place.
QELString Fill(const QELString &pattern, const QELString &argument) {
    QELString command = pattern;
    command.replaceAll(kParameter, argument);
    return command;
}

// Whether the bytes hold CR, LF or NUL, any of which would end a line early.
bool BreaksLine(const char *bytes, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i)
        if (bytes[i] == '\r' || bytes[i] == '\n' || bytes[i] == 0)
            return true;
    return false;
}

bool BreaksLine(const QELString &text) { return BreaksLine(text.text(), text.length()); }

bool InClass(int32_t code, int32_t hundreds) { return code >= hundreds && code <= hundreds + 99; }

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

// The Base64 form of text on one line (the encoder breaks lines at 76 characters).
QELString Base64Line(const QELString &text) {
    QELString encoded = Base64EncodeString(text);
    encoded.replaceAll(kCRLF, QELString());
    return encoded;
}

// The credentials of AUTH PLAIN: no authorization identity, NUL, user, NUL, password.
QELString PlainCredentials(const QELString &user, const QELString &password) {
    QELString credentials(static_cast<char>(0));
    credentials.append(user);
    credentials.append(static_cast<char>(0));
    credentials.append(password);
    return Base64Line(credentials);
}

// Whether bytes[0, length) equals word in any letter case.
bool SameWord(const char *bytes, uint32_t length, const char *word) {
    uint32_t i = 0;
    for (; i < length && word[i] != 0; ++i)
        if (QELUpperCaseTable[static_cast<uint8_t>(bytes[i])] != QELUpperCaseTable[static_cast<uint8_t>(word[i])])
            return false;
    return i == length && word[i] == 0;
}

// Whether the keyword lines of an EHLO reply (every line after the first, "250-KEYWORD
// parameters") name keyword in any letter case. reply is the text after the first line's
// code. With parameter, the keyword's line must also list that word among its parameters
// ("250-AUTH LOGIN PLAIN"; the older "250-AUTH=LOGIN PLAIN" counts too).
bool Offers(const QELString &reply, const char *keyword, const char *parameter = nullptr) {
    const char *text = reply.text();
    const uint32_t length = reply.length();
    uint32_t start = 0;
    while (start < length && text[start] != '\n')
        ++start;
    while (start < length) {
        ++start;  // past the LF
        uint32_t end = start;
        while (end < length && text[end] != '\n')
            ++end;
        uint32_t stop = end > start && text[end - 1] == '\r' ? end - 1 : end;
        // "250-" or "250 ", then the keyword up to a blank or "=".
        uint32_t position = start + 4 < stop ? start + 4 : stop;
        uint32_t wordEnd = position;
        while (wordEnd < stop && text[wordEnd] != ' ' && text[wordEnd] != '=')
            ++wordEnd;
        if (SameWord(text + position, wordEnd - position, keyword)) {
            if (parameter == nullptr)
                return true;
            for (uint32_t word = wordEnd; word < stop;) {
                while (word < stop && (text[word] == ' ' || text[word] == '='))
                    ++word;
                uint32_t after = word;
                while (after < stop && text[after] != ' ')
                    ++after;
                if (after > word && SameWord(text + word, after - word, parameter))
                    return true;
                word = after;
            }
        }
        start = end;
    }
    return false;
}

// The SMTP completion test, remembering its last verdict, so that a reply the server's
// close cut short is told from a whole one.
class TrackedSMTPCompletion : public QELReplyCompletion {
public:
    Verdict examine(const char *bytes, uint32_t length) override {
        last_ = test_.examine(bytes, length);
        return last_;
    }
    Verdict last() const { return last_; }

private:
    QELSMTPReplyCompletion test_;
    Verdict last_ = kIncomplete;
};

// The server as the failure text names it: "name:port", the port always given once.
QELString ServerText(const QELString &serverName, uint16_t port) {
    QELString name = serverName;
    SplitHostAndPort(serverName, QELSMTPClient::kPort, &name, nullptr);
    uint32_t colon;
    if (name.find(":", &colon))
        name = QELString("[") + name + "]";
    return name + ":" + IntegerToText(port);
}

// The text for a reply code that refuses what it answers: the table's text, a text by the
// code's class for other 4xx and 5xx codes, otherwise unexpected and the code.
QELString RefusalOf(int32_t code, const QELString &unexpected) {
    if (const char *text = QELSMTPClient::RefusalText(code))
        return QELString(text);
    if (InClass(code, 400))
        return IntegerToText(static_cast<uint32_t>(code)) + "- Temporary Failure";
    if (InClass(code, 500))
        return IntegerToText(static_cast<uint32_t>(code)) + "- Permanent Failure";
    if (code == 0)
        return unexpected + " (no reply code)";
    return unexpected + " (code " + SignedIntegerToText(code) + ")";
}

}  // namespace

QELSMTPClient::QELSMTPClient()
    : state_(kEnd),
      running_(false),
      nextRecipient_(0),
      nextLine_(0),
      pending_(kNothing),
      pendingCommand_(""),
      replyRead_(false),
      replyCut_(false),
      verdictDue_(false),
      accepted_(false),
      localNameKnown_(false) {}

QELSMTPClient::~QELSMTPClient() = default;

const char *QELSMTPClient::RefusalText(int32_t code) {
    switch (code) {
        case 421: return "421- Service Not Available";
        case 450: return "450- Mailbox Unavailable";
        case 451: return "451- Local Processing Error";
        case 452: return "452- Insufficient System Storage";
        case 500: return "500- Unrecognized Command";
        case 501: return "501- Syntax Error In Arguments";
        case 502: return "502- Command Not Implemented";
        case 503: return "503- Bad Command Sequence";
        case 504: return "504- Command Parameter Not Implemented";
        case 550: return "550- Mailbox Unavailable";
        case 551: return "551- User Not Local";
        case 552: return "552- Insufficient System Storage";
        case 553: return "553- Mailbox Name Syntax Error";
        case 554: return "554- Transaction Failed";
        default: return nullptr;
    }
}

QELString QELSMTPClient::checkInput(const QELString &sender, const QELStringSplitter &recipients,
                                    const QELStringSplitter &lines) {
    if (BreaksLine(sender))
        return QELString("Refused: the sender address contains CR, LF or NUL");
    uint32_t named = 0;
    for (uint32_t i = 0; i < recipients.fieldCount(); ++i) {
        QELString recipient = recipients.field(i);
        recipient.trim(kTrimSet);
        if (recipient.isEmpty())
            continue;
        if (BreaksLine(recipient))
            return QELString("Refused: recipient ") + IntegerToText(i + 1) + " contains CR, LF or NUL";
        ++named;
    }
    if (named == 0)
        return QELString("Refused: no recipient address");
    const uint32_t count = lines.fieldCount();
    if (count == 0 || lines.fieldLength(count - 1) != 1 || lines.source()[lines.fieldStart(count - 1)] != '.')
        return QELString("Refused: the message text does not end with the line \".\"");
    const char *source = lines.source().text();
    for (uint32_t i = 0; i + 1 < count; ++i) {
        const char *line = source + lines.fieldStart(i);
        const uint32_t length = lines.fieldLength(i);
        if (BreaksLine(line, length))
            return QELString("Refused: message line ") + IntegerToText(i + 1) + " contains CR, LF or NUL";
        // An unstuffed "." would end the text early and let the rest pass as commands.
        if (length == 1 && line[0] == '.')
            return QELString("Refused: message line ") + IntegerToText(i + 1) +
                   " is a lone \".\" before the end of the text";
    }
    return QELString();
}

QELString QELSMTPClient::SMTPSend(const QELString &serverName, const QELString &sender,
                                  const QELStringSplitter &recipients, const QELStringSplitter &lines) {
    state_ = kGreeting;
    running_ = false;
    nextRecipient_ = 0;
    nextLine_ = 0;
    errorText_.clear();
    pending_ = kNothing;
    replyRead_ = false;
    replyCut_ = false;
    verdictDue_ = false;
    accepted_ = false;
    settings_ = QELServerSettings::Entry();
    hostName_.clear();
    localName_.clear();
    localNameKnown_ = false;
    clearLastError();

    // Settings that cannot be used may have asked for security: nothing goes out at all.
    QELString settingsError;
    if (!QELServerSettings::Shared().find(serverName, &settings_, &settingsError)) {
        state_ = kEnd;
        errorText_ = settingsError;
        setLastError(errorText_);
        return errorText_;
    }
    errorText_ = checkInput(sender, recipients, lines);
    if (!errorText_.isEmpty()) {
        state_ = kEnd;
        setLastError(errorText_);
        return errorText_;
    }
    const uint16_t defaultPort = settings_.security == QELServerSettings::kTLS ? kTLSPort : kPort;
    SplitHostAndPort(serverName, defaultPort, &hostName_, nullptr);
    uint16_t port = defaultPort;
    if (!ResolveHostName(serverName, defaultPort, serverAddress_, port)) {
        state_ = kEnd;
        errorText_ = QELString("DNS lookup failed (") + serverName + ")";
        setLastError(errorText_);
        return errorText_;
    }
    serverPort_ = port;

    // The connection goes on every path, an unwinding allocation failure included.
    struct Release {
        QELOwned<QELTCPConnection> &connection;
        ~Release() { connection.reset(); }
    } release{connection_};
    connection_ = OpenConnection(serverAddress_, port, false);
    if (!connection_) {
        state_ = kEnd;
        errorText_ = QELString("Unable to connect to server (") + ServerText(serverName, port) + ")";
        setLastError(errorText_);
        return errorText_;
    }
    connection_->setReplyByteCap(connection_->limits().smtpReplyByteCap);
    // A delivery cut short by the module's stop is spooled and reported like any other.
    connection_->setStopLimit(connection_->limits().stopSMTPMilliseconds);
    if (settings_.security == QELServerSettings::kTLS && !connection_->StartTLS(hostName_, settings_.caFile)) {
        // TLS from the first byte: without it, not even the greeting is read.
        state_ = kEnd;
        errorText_ = QELString("TLS handshake failed (") + connection_->LastError() + ")";
        connection_.reset();
        setLastError(errorText_);
        return errorText_;
    }
    readReply();
    pending_ = kGreetingReply;

    running_ = true;
    while (running_) {
        judgeReply();
        act(sender, recipients, lines);
    }
    connection_.reset();
    batch_.clear();
    setLastError(errorText_);
    return errorText_;
}

bool QELSMTPClient::readReply() {
    TrackedSMTPCompletion completion;
    const bool read = connection_->ReadReply(&completion);
    // A reply still incomplete when the server closed was cut short: it answers nothing.
    replyCut_ = read && completion.last() == QELReplyCompletion::kIncomplete;
    replyRead_ = read && !replyCut_;
    return replyRead_;
}

QELString QELSMTPClient::connectionFailure() const {
    QELString reason = connection_->LastError();
    if (reason.isEmpty())
        reason = replyCut_ ? "the server closed the connection before its reply was whole"
                           : "the server closed the connection";
    return reason;
}

void QELSMTPClient::fail(const QELString &text) {
    // Once the server has accepted the message, nothing makes it undelivered.
    if (!accepted_)
        errorText_ += text;
}

const QELString &QELSMTPClient::localName() {
    if (localNameKnown_)
        return localName_;
    localNameKnown_ = true;
    QELIPAddress address;
    if (!GetLocalHostName(localName_) || localName_.isEmpty() || BreaksLine(localName_)) {
        localName_.clear();
        if (GetLocalAddress(address))
            localName_ =
                address.isIPv6() ? QELString("[IPv6:") + address.dottedText() + "]" : address.dottedText();
    }
    return localName_;
}

QELString QELSMTPClient::quotedReply() const {
    const QELString reply = connection_->ReplyText();
    const int32_t code = connection_->ReplyCode();
    QELString whole;
    // The code read off the first line goes back in front of it.
    if (code > 0 && (reply.isEmpty() || reply[0] == ' ' || reply[0] == '-' || reply[0] == '\r' || reply[0] == '\n'))
        whole = SignedIntegerToText(code);
    whole.append(reply);
    whole.trimTrailing(kTrimSet);
    QELString quoted;
    quoted.reserve(whole.length());
    for (uint32_t i = 0; i < whole.length(); ++i) {
        const char c = whole[i];
        if (c == '\n')
            quoted.append(" / ");
        else if (c != '\r')
            quoted.append(IsControl(c) ? ' ' : c);
    }
    // A server that echoes what it was sent must not put the password into the text.
    if (!settings_.password.isEmpty()) {
        const QELString hidden("********");
        quoted.replaceAll(PlainCredentials(settings_.user, settings_.password), hidden);
        quoted.replaceAll(Base64Line(settings_.password), hidden);
        quoted.replaceAll(settings_.password, hidden);
    }
    if (quoted.length() > kQuotedReplyBytes) {
        quoted.dropLast(quoted.length() - kQuotedReplyBytes);
        quoted.append("...");
    }
    return quoted;
}

void QELSMTPClient::judgeReply() {
    const Pending pending = pending_;
    pending_ = kNothing;
    // QUIT's answer changes nothing: the outcome was settled before it.
    if (pending == kNothing || pending == kQuitReply)
        return;
    const int32_t code = connection_->ReplyCode();
    // The steps of the encrypted dialogue each want one code; any other fails, quoting the
    // server's reply.
    const char *refused = nullptr;
    int32_t wanted = 0;
    switch (pending) {
        case kExtendedHelloReply: refused = "EHLO refused by the server"; wanted = 250; break;
        case kStartTLSReply: refused = "STARTTLS refused by the server"; wanted = 220; break;
        case kAuthPrompt: refused = "Authentication refused by the server"; wanted = 334; break;
        case kAuthReply: refused = "Authentication refused by the server"; wanted = 235; break;
        default: break;
    }
    if (refused != nullptr) {
        if (code != wanted) {
            fail(QELString(refused) + " (" + quotedReply() + ")");
            state_ = kQuit;
        }
        return;
    }
    if (pending == kGreetingReply) {
        if (!replyRead_) {
            // No SMTP server spoke: there is nobody to say QUIT to.
            fail(QELString("No greeting from server (") + connectionFailure() + ")");
            state_ = kEnd;
        } else if (RefusalText(code) != nullptr) {
            fail(QELString(RefusalText(code)));
            state_ = kEnd;
        } else if (code != 220) {
            fail(RefusalOf(code, QELString("Unexpected greeting from server")));
            state_ = kQuit;
        }
        return;
    }
    if (pending == kVerdict) {
        if (!replyRead_) {
            fail(QELString("No verdict on the message text (") + connectionFailure() + ")");
            state_ = kEnd;
        } else if (InClass(code, 200)) {
            accepted_ = true;
        } else {
            fail(RefusalOf(code, QELString("Unexpected reply to the message text")));
            state_ = kQuit;
        }
        return;
    }
    // DATA is answered by an invitation to go on (354); every other command by 2xx.
    if (!InClass(code, pending == kDataReply ? 300 : 200)) {
        fail(RefusalOf(code, QELString("Unexpected reply to ") + pendingCommand_));
        state_ = kQuit;
    }
}

bool QELSMTPClient::exchange(const QELString &command, const char *what, Pending pending, uint32_t failState) {
    if (!connection_->Send(command) || !readReply()) {
        fail(QELString(what) + " failed (" + connectionFailure() + ")");
        state_ = failState;
        return false;
    }
    pending_ = pending;
    pendingCommand_ = what;
    return true;
}

void QELSMTPClient::act(const QELString &sender, const QELStringSplitter &recipients,
                        const QELStringSplitter &lines) {
    switch (state_) {
        case kGreeting:
            state_ = settings_.security == QELServerSettings::kNone ? kHello : kExtendedHello;
            break;
        case kHello: {
            const QELString name = localName();
            if (name.isEmpty()) {
                fail(QELString("No local host name or address for HELO"));
                state_ = kQuit;
            } else if (exchange(Fill(Templates().hello, name), "HELO", kCommandReply, kEnd)) {
                state_ = kMail;
            }
            break;
        }
        case kExtendedHello: {
            const QELString name = localName();
            if (name.isEmpty()) {
                fail(QELString("No local host name or address for EHLO"));
                state_ = kQuit;
            } else if (exchange(Fill(Templates().extendedHello, name), "EHLO", kExtendedHelloReply, kEnd)) {
                state_ = kExtensions;
            }
            break;
        }
        case kExtensions:
            chooseAfterExtendedHello();
            break;
        case kStartTLS:
            if (exchange(Templates().startTLS, "STARTTLS", kStartTLSReply, kEnd))
                state_ = kHandshake;
            break;
        case kHandshake:
            if (connection_->StartTLS(hostName_, settings_.caFile)) {
                state_ = kExtendedHello;  // what the server offers is asked again under TLS
            } else {
                // The connection is closed: there is nobody to say QUIT to.
                fail(QELString("TLS handshake failed (") + connection_->LastError() + ")");
                state_ = kEnd;
            }
            break;
        case kAuthPlain:
            if (exchange(Fill(Templates().authPlain, PlainCredentials(settings_.user, settings_.password)), "AUTH",
                         kAuthReply, kEnd))
                state_ = kMail;
            break;
        case kAuthLogin:
            if (exchange(Templates().authLogin, "AUTH", kAuthPrompt, kEnd))
                state_ = kAuthUser;
            break;
        case kAuthUser:
            if (exchange(Base64Line(settings_.user) + kCRLF, "AUTH", kAuthPrompt, kEnd))
                state_ = kAuthPassword;
            break;
        case kAuthPassword:
            if (exchange(Base64Line(settings_.password) + kCRLF, "AUTH", kAuthReply, kEnd))
                state_ = kMail;
            break;
        case kMail:
            if (exchange(Fill(Templates().mail, sender), "MAIL FROM", kCommandReply, kEnd))
                state_ = kRecipient;
            break;
        case kRecipient:
            while (nextRecipient_ < recipients.fieldCount()) {
                QELString recipient = recipients.field(nextRecipient_++);
                recipient.trim(kTrimSet);
                if (!recipient.isEmpty()) {
                    exchange(Fill(Templates().recipient, recipient), "RCPT TO", kCommandReply, kEnd);
                    return;
                }
            }
            state_ = kData;
            break;
        case kData:
            if (exchange(Templates().data, "DATA", kDataReply, kQuit))
                state_ = kText;
            break;
        case kText:
            if (nextLine_ < lines.fieldCount())
                sendText(lines);
            else
                state_ = kQuit;
            break;
        case kQuit:
            sendQuit();
            break;
        default:
            running_ = false;
            break;
    }
}

void QELSMTPClient::chooseAfterExtendedHello() {
    const QELString reply = connection_->ReplyText();
    if (!connection_->isSecure()) {
        // Only STARTTLS gets here without TLS; without its offer nothing more goes out.
        if (Offers(reply, "STARTTLS")) {
            state_ = kStartTLS;
        } else {
            fail(QELString("STARTTLS not offered by the server (") + quotedReply() + ")");
            state_ = kQuit;
        }
        return;
    }
    if (settings_.user.isEmpty())
        state_ = kMail;
    else if (Offers(reply, "AUTH", "PLAIN"))
        state_ = kAuthPlain;
    else if (Offers(reply, "AUTH", "LOGIN"))
        state_ = kAuthLogin;
    else {
        fail(QELString("Neither AUTH PLAIN nor AUTH LOGIN offered by the server (") + quotedReply() + ")");
        state_ = kQuit;
    }
}

void QELSMTPClient::sendText(const QELStringSplitter &lines) {
    const uint32_t count = lines.fieldCount();
    const char *source = lines.source().text();
    // At least one line, then every next line that still fits, each with its CR LF.
    uint32_t end = nextLine_;
    uint64_t size = 0;
    do {
        size += uint64_t(lines.fieldLength(end)) + 2;
        ++end;
    } while (end < count && size + lines.fieldLength(end) + 2 <= kTextSendSize);
    if (lines.delimiter() == QELString(kCRLF)) {
        // The lines lie side by side in the source with their CR LF between them: the
        // batch is one range of it, and the line end of its last line.
        const uint32_t start = lines.fieldStart(nextLine_);
        const uint32_t stop = lines.fieldStart(end - 1) + lines.fieldLength(end - 1);
        batch_.assign(source + start, stop - start);
        batch_.append(kCRLF, 2);
    } else {
        batch_.assign(source + lines.fieldStart(nextLine_), lines.fieldLength(nextLine_));
        batch_.append(kCRLF, 2);
        for (uint32_t i = nextLine_ + 1; i < end; ++i) {
            batch_.append(source + lines.fieldStart(i), lines.fieldLength(i));
            batch_.append(kCRLF, 2);
        }
    }
    if (!connection_->Send(batch_)) {
        fail(QELString("Sending the message text failed (") + connectionFailure() + ")");
        state_ = kEnd;
        return;
    }
    nextLine_ = end;
    verdictDue_ = nextLine_ == count;
}

void QELSMTPClient::sendQuit() {
    const bool sent = connection_->Send(Templates().quit);
    if (verdictDue_) {
        // No reply was read after the text, so the next one is the server's verdict on it
        // (QUIT's answer follows); judging a whole message may take the server long.
        verdictDue_ = false;
        const QELNetworkLimits usual = connection_->limits();
        QELNetworkLimits verdict = usual;
        verdict.firstByteMilliseconds = usual.smtpVerdictMilliseconds;
        verdict.replyMilliseconds = usual.smtpVerdictMilliseconds;
        connection_->setLimits(verdict);
        readReply();
        connection_->setLimits(usual);
        pending_ = kVerdict;
    } else if (sent) {
        readReply();
        pending_ = kQuitReply;
    }
    state_ = kEnd;
}
