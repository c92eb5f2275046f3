// POP3Client.h: QELPOP3Client, the client side of one POP3 session (login with USER and PASS,
// plain or over TLS; single commands with their raw replies; QUIT), and the retrieval split.
#pragma once

#include <cstdint>

#include "foundation/Owned.h"
#include "foundation/String.h"
#include "net/NetworkClient.h"
#include "net/NetworkLimits.h"
#include "net/TCPConnection.h"

class QELPOP3Client : public QELNetworkClient {
public:
    static constexpr uint16_t kPort = 110;
    // The port of a server whose settings ask for TLS from the first byte.
    static constexpr uint16_t kTLSPort = 995;
    // The most bytes of a server's status line that an error text quotes.
    static constexpr uint32_t kQuotedStatusLength = 200;

    // The outcome of Login.
    enum POP3LoginStatus : uint32_t {
        kSuccess = 0,           // logged in
        kAlreadyConnected = 1,  // a connection already exists; nothing was sent
        kUnableToConnect = 2,   // refused input, no lookup or connection, no "+OK" greeting,
                                // or no whole reply to USER or PASS
        kUnknownUser = 3,       // the server answered USER with something other than "+OK"
        kInvalidPassword = 4,   // the server answered PASS with something other than "+OK"
    };

    // Why the last Login gave UnableToConnect, when the cause lies in the security that the
    // server settings ask for.
    enum SecurityFailure : uint32_t {
        kNoSecurityFailure = 0,
        kSettingsUnusable = 1,     // the settings file cannot be used: nothing was sent
        kSecureSessionFailed = 2,  // STLS refused, or the TLS handshake or certificate check failed
    };

    // Keeps the server ("name" for port 110, or 995 when its settings ask for TLS; or
    // "name:port"), the user name and the password; no network activity.
    QELPOP3Client(const QELString &serverName, const QELString &userName, const QELString &password);
    // Closes a connection still open, without QUIT.
    ~QELPOP3Client() override;

    // Looks the server up in the server settings (QELServerSettings::Shared()), connects,
    // reads the greeting, and sends USER and PASS, each only after the one before was
    // answered with "+OK" (in any letter case). Security "tls" runs the TLS handshake right
    // after connecting, before the greeting; "starttls" sends "STLS" after the greeting and
    // runs the handshake once it is answered "+OK". The certificate must verify against the
    // settings' CA file (else the system's trust store) and name the server's host name.
    // USER and PASS never go out in plain text when the settings ask for security.
    // UnableToConnect, with nothing sent: the settings file cannot be used
    // (kSettingsUnusable), or a user name or password holds CR, LF or NUL (checked before
    // any lookup). UnableToConnect with kSecureSessionFailed: STLS answered otherwise than
    // "+OK" (LastError quotes the reply), or the handshake failed (LastError names the
    // cause; the connection is closed, so nothing more goes out). Otherwise, once the
    // connection exists the client stays connected whatever the outcome, until Logout or
    // destruction; a greeting (or STLS reply) that does not come whole within the
    // connection's time limits (or a close before it) gives UnableToConnect and nothing
    // more is sent. LastError says why for every status but Success.
    POP3LoginStatus Login();

    // Sends one command line (the final "\r\n" is added when missing) and returns its reply
    // exactly as received: the status line and, for RETR, TOP, CAPA and for UIDL or LIST
    // without an argument, every line up to and including the terminating "." (nothing
    // unstuffed). A reply ends as soon as it is whole. Returns "" without sending when not
    // connected, when the command holds CR, LF or NUL before its end, or when the session is
    // out of step. A reply that does not come whole (a byte cap: pop3RetrievalByteCap for
    // RETR and TOP, pop3ListingByteCap for listings, replyByteCap otherwise; a time limit;
    // the server's close; a reply in no POP3 form) also gives "" and puts the session out of
    // step. LastError says why.
    QELString SendCommand(const QELString &command);

    // Sends QUIT and reads its answer, unless the session is out of step; then closes the
    // connection. The client is logged out; a later Login connects again.
    void Logout();

    bool isConnected() const { return connection_ != nullptr; }
    // Whether a reply of this session was cut short, so that its rest might still arrive:
    // from then on nothing is sent, and LastError keeps the cause. Cleared by Login.
    bool isOutOfStep() const { return outOfStep_; }
    // Whether the last Login failed for the security the settings ask for, and how.
    SecurityFailure securityFailure() const { return securityFailure_; }

    // Whether a reply begins with "+OK", ignoring case.
    static bool IsPositive(const QELString &reply);

    // Splits a retrieval reply into the message's header and text. The status line (the
    // reply's first line, whatever it says) and the terminating line "." are removed, the
    // latter once and only when it ends the reply; a line beginning with ".." loses its
    // first dot. Header: the message up to its first blank line, without the line end
    // before it; text: from that blank line's CR LF to the end, nothing trimmed. A message
    // without a blank line is all header, its text empty. Returns whether the reply ended
    // with the line ".". Throws only when memory runs out.
    static bool SplitRetrieval(const QELString &reply, QELString &header, QELString &text);

private:
    // Reads one reply, whole by the rules of its form, under the cap; false (the session
    // out of step, LastError naming what) when it is not whole.
    bool readReply(const QELString &what, bool multiLine, uint32_t cap, QELString &reply);
    // Sends line and reads its reply as readReply does; false when either fails.
    bool exchange(const QELString &line, const QELString &what, bool multiLine, uint32_t cap, QELString &reply);
    // Runs the TLS handshake on the connection, checking the certificate against caFile for
    // the server's host name; false (the connection closed, LastError naming the cause)
    // when it fails.
    bool secure(const QELString &caFile);

    QELString serverName_;
    QELString userName_;
    QELString password_;
    QELOwned<QELTCPConnection> connection_;
    QELNetworkLimits limits_;  // the connection's limits as it was opened
    bool outOfStep_;
    SecurityFailure securityFailure_;
};
