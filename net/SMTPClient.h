// SMTPClient.h: QELSMTPClient, which carries out one whole SMTP dialogue (one connection,
// one message, plain or over TLS with AUTH) and reports, as text, why it was not accepted.
#pragma once

#include <cstdint>

#include "foundation/String.h"
#include "foundation/StringSplitter.h"
#include "net/NetworkClient.h"
#include "net/ServerSettings.h"
#include "net/TCPConnection.h"

class QELSMTPClient : public QELNetworkClient {
public:
    static constexpr uint16_t kPort = 25;
    // The port of a server reached with TLS from the first byte (security tls).
    static constexpr uint16_t kTLSPort = 465;
    // The most bytes of a server's reply that a failure text quotes.
    static constexpr uint32_t kQuotedReplyBytes = 512;
    // Lines of the message text are gathered into sends of at most this many bytes.
    static constexpr uint32_t kTextSendSize = 4096;

    QELSMTPClient();
    ~QELSMTPClient() override;

    // Delivers one message to serverName ("name" for port 25, or "name:port"): HELO with
    // the local host name (or the local address), MAIL FROM with sender, RCPT TO with each
    // field of recipients trimmed of spaces, tabs, CR and LF (empty fields are skipped),
    // DATA, the lines each followed by CR LF, then QUIT. lines are the fields of a
    // dot-stuffed text split at CR LF whose last field is ".". Returns the empty text when
    // the server accepted the message, otherwise why it was not delivered (also kept as
    // LastError): "DNS lookup failed (name)", "Unable to connect to server (name:25)", the
    // texts of the server's refusals concatenated ("550- Mailbox Unavailable"), or a
    // failure of the connection or the server. A sender, recipient or line holding CR, LF
    // or NUL, a text without its final ".", a lone "." before it, or no recipient at all is
    // refused before any connection is made. Never throws but for allocation failures.
    //
    // The server's entry in the shared server settings decides the rest; when the settings
    // cannot be used, their error text is the result and no connection is made.
    // - starttls: the greeting, "EHLO <name>" (250, offering STARTTLS), "STARTTLS" (220),
    //   the TLS handshake, "EHLO <name>" again.
    // - tls: port 465 unless serverName names one; the handshake before the greeting,
    //   then "EHLO <name>".
    // The certificate must verify against the entry's CA file (else the system's trust
    // store) and name serverName's host. With a user, "AUTH PLAIN" with the credentials
    // follows when the EHLO reply offers PLAIN, else "AUTH LOGIN" with user and password
    // answering the 334 prompts when it offers LOGIN; 235 goes on to MAIL FROM. A missing
    // STARTTLS offer, a refused STARTTLS, a failed handshake, no usable mechanism or a
    // refused AUTH is a failure whose text quotes the server's reply when there is one
    // ("Authentication refused by the server (535 5.7.8 ...)"); no text ever holds the
    // password or its Base64 form, and nothing falls back to plain text. After a failed
    // handshake the connection is closed, so no QUIT follows.
    QELString SMTPSend(const QELString &serverName, const QELString &sender, const QELStringSplitter &recipients,
                       const QELStringSplitter &lines);

    // The text that a refusal with this reply code adds to the result ("421- Service Not
    // Available"); null for a code the table of refusals does not hold.
    static const char *RefusalText(int32_t code);

private:
    // The dialogue's states, in the order a successful dialogue passes them.
    // The states of the encrypted dialogue come between the greeting and MAIL FROM.
    enum State : uint32_t {
        kGreeting = 0,
        kHello = 1,
        kMail = 3,
        kRecipient = 4,
        kData = 5,
        kText = 6,
        kQuit = 7,
        kEnd = 8,
        kExtendedHello = 9,   // EHLO
        kExtensions = 10,     // what the EHLO reply offers decides the next step
        kStartTLS = 11,       // STARTTLS
        kHandshake = 12,      // the TLS handshake after STARTTLS's 220
        kAuthPlain = 13,      // AUTH PLAIN with the credentials
        kAuthLogin = 14,      // AUTH LOGIN
        kAuthUser = 15,       // the user name after the first 334
        kAuthPassword = 16,   // the password after the second 334
    };

    // What the reply read last answered, so that it is judged once and by the right rule.
    enum Pending : uint32_t {
        kNothing,
        kGreetingReply,
        kCommandReply,
        kDataReply,
        kVerdict,
        kQuitReply,
        kExtendedHelloReply,  // must be 250
        kStartTLSReply,       // must be 220
        kAuthPrompt,          // must be 334
        kAuthReply,           // must be 235
    };

    // Why the input cannot go into a dialogue; empty when it can.
    static QELString checkInput(const QELString &sender, const QELStringSplitter &recipients,
                                const QELStringSplitter &lines);
    // Judges the reply read last, once, at the top of a pass: a refusal, an unexpected code
    // or a missing reply records its text and moves to QUIT or to the end.
    void judgeReply();
    // One pass of the state table.
    void act(const QELString &sender, const QELStringSplitter &recipients, const QELStringSplitter &lines);
    // Reads one SMTP reply; false when none came whole.
    bool readReply();
    // Sends command and reads its reply; on failure records "<what> failed (reason)" and
    // moves to failState.
    bool exchange(const QELString &command, const char *what, Pending pending, uint32_t failState);
    // Sends the next lines of the text, as many as fit in one send.
    void sendText(const QELStringSplitter &lines);
    // Sends QUIT and reads the reply: after the text, that reply is the verdict on it.
    void sendQuit();
    // The reason the last send or read of the connection failed.
    QELString connectionFailure() const;
    // Appends text to the result, unless the server has already accepted the message.
    void fail(const QELString &text);
    // The name that HELO and EHLO give: the local host name, else the local address;
    // empty when there is neither. Looked up once per dialogue (EHLO may come twice).
    const QELString &localName();
    // The reply read last as a failure text quotes it: its lines joined by " / ", control
    // bytes as spaces, at most kQuotedReplyBytes, and never the password in any form sent.
    QELString quotedReply() const;
    // The next step after a good EHLO reply: STARTTLS, AUTH or MAIL FROM.
    void chooseAfterExtendedHello();

    uint32_t state_;
    bool running_;
    uint32_t nextRecipient_;
    uint32_t nextLine_;
    QELString errorText_;
    QELOwned<QELTCPConnection> connection_;
    Pending pending_;
    const char *pendingCommand_;  // the command whose reply is pending, for messages
    bool replyRead_;              // whether the last read gave a whole reply
    bool replyCut_;               // whether the server's close cut the last reply short
    bool verdictDue_;             // the whole text went out and its verdict is unread
    bool accepted_;               // the server accepted the message text
    QELString batch_;             // the text's send buffer, reused from send to send
    QELServerSettings::Entry settings_;  // the server's security and credentials
    QELString hostName_;          // the server's name, as its certificate must give it
    QELString localName_;         // the local name of HELO and EHLO, once looked up
    bool localNameKnown_;
};
