// TCPConnection.h: QELTCPConnection, the blocking IPv4 TCP client connection under every
// protocol client, and the module-wide functions that resolve names and open connections.
#pragma once

#include <cstdint>

#include "foundation/IPAddress.h"
#include "foundation/Owned.h"
#include "foundation/String.h"
#include "net/NetworkLimits.h"
#include "net/ReplyCompletion.h"
#include "net/TLSSession.h"
#include "platform/Socket.h"

// Adds one user of the system's socket library, starting the library for the first;
// false when it cannot be used. Every connection is a user while it is open, and every
// lookup while it runs.
bool StartSocketLibrary();
// Drops one user; the library stops when the last user is gone, so stopping never
// disturbs connections still open. Does nothing when the library has no user.
void StopSocketLibrary();
// Whether the socket library has a user.
bool SocketLibraryStarted();

// Splits "name", "name:port", "[IPv6]" or "[IPv6]:port" into the name (without brackets)
// and the port; without a port the default is used. False for an empty name, a port that
// is not 1 to 65535 in decimal digits, or a bracket that is not closed.
bool SplitHostAndPort(const QELString &text, uint16_t defaultPort, QELString *name, uint16_t *port);

// Looks name up (a host name, a dotted IPv4 text or a bracketed IPv6 text, optionally
// followed by ":port"), waiting no longer than the connect limit. On success address
// holds the name's first IPv4 address (its IPv6 address when it has none) and portOut the
// port of the name, or port when the name carries none. False when the name is not found,
// the lookup took too long or the port is bad; errorText, when given, then says which
// ("the host name "x:80" was not found", "... was not looked up within 15 s").
bool ResolveHostName(const QELString &name, int32_t port, QELIPAddress &address, uint16_t &portOut,
                     QELString *errorText = nullptr);
// The official name of the local machine; false when it has none (looked up within the
// connect limit).
bool GetLocalHostName(QELString &text);
// The first address of the local machine (IPv4 when it has one); false when it has none.
bool GetLocalAddress(QELIPAddress &address);

class QELTCPConnection;

// Connects to address:port within the connect time limit and, when readGreeting is set,
// reads the server's greeting as the first reply (ended by greetingCompletion when
// given). Returns the connection, or an empty holder; then errorText, when given, says
// why ("unable to connect to 192.0.2.1:25: Connection refused", "no connection to
// 192.0.2.1:25 within 15 s").
QELOwned<QELTCPConnection> OpenConnection(const QELIPAddress &address, uint16_t port, bool readGreeting,
                                 QELReplyCompletion *greetingCompletion = nullptr,
                                 QELString *errorText = nullptr);

class QELTCPConnection : public QELObject {
public:
    // While a reply's length is unknown its storage starts with room for this many bytes
    // and doubles whenever less than this is free, each read taking all the free room.
    static constexpr uint32_t kReceiveSize = 4096;
    static constexpr uint32_t kSendChunk = 4096;
    // The most bytes a reply can hold, whatever the byte cap (a larger cap counts as this).
    static constexpr uint32_t kLargestReply = 0x7FFFFFFEu;
    static constexpr uint32_t kReplyCodeWindow = 15;

    // Closes the socket and drops its use of the socket library.
    ~QELTCPConnection() override;

    // Sends every byte of text in pieces of at most 4096 bytes. False when a piece
    // cannot be sent (the peer closed, or accepted nothing within the send limit); the
    // connection stays usable for a read. A reply is expected afterwards in any case.
    bool Send(const QELString &text);

    // Receives one reply. Without a completion test the reply is everything that
    // arrives until the line goes quiet (or the peer closes); with one, the reply ends
    // as soon as the test finds it complete, at the peer's close, or after a quiet
    // interval once the test says the bytes follow no form it knows. Bytes go straight
    // from the socket into the reply's storage. Once the test tells the reply's head, the
    // head is kept apart (ReplyHead) and the rest goes into storage of its own, the test
    // examining no more; once it tells the reply's length, that storage is sized for it
    // once (never beyond the byte cap), reads ask for all that is missing, and bytes
    // beyond that length are not kept. A leading number becomes the reply code (see
    // ReplyCode), unless this read continues the last one.
    // False at once, changing nothing, when no reply is expected; false too when the
    // reply is empty or a limit ended it (no first byte in time, not whole in time,
    // larger than the byte cap), the peer closed before the length the test told, the
    // module is stopping (see setStopLimit) or the receive failed: LastError then says
    // which.
    bool ReadReply(QELReplyCompletion *completion = nullptr);

    // Turns the connection into a TLS one: the handshake runs within the TLS handshake
    // limit, the server's certificate must verify against caFile (or the system's trust
    // store when caFile is empty) and name hostName (SNI is sent for a name). From then on
    // every send and read goes through TLS under the same limits and caps. False when the
    // handshake fails: LastError names the cause, and the connection is closed, so that
    // nothing can go out in plain text afterwards.
    bool StartTLS(const QELString &hostName, const QELString &caFile);
    // Whether StartTLS succeeded on this connection.
    bool isSecure() const { return tls_ != nullptr; }
    // The TLS version agreed ("TLSv1.3"); empty for a plain connection.
    QELString TLSVersion() const;

    // Allows one more read without a send; with true that read continues the last
    // reply: its bytes are kept whole and the reply code stays.
    void ExpectReply(bool flag);

    // The number at the start of the last reply (0 when none).
    int32_t ReplyCode() const { return replyCode_; }
    // The last reply after its head (all of it when no head was kept apart), without its
    // leading code when it began with one.
    QELString ReplyText() const { return replyText_; }
    // The head of the last reply when its completion test told it apart (an HTTP header
    // block with its blank line); the rest was then received into storage of its own.
    // Empty when no head was kept apart.
    QELString ReplyHead() const { return replyHead_; }
    // Why the last send or read failed; empty when it did not.
    QELString LastError() const { return lastError_; }

    // The limits of this connection (a copy of the module's when it was opened).
    const QELNetworkLimits &limits() const { return limits_; }
    void setLimits(const QELNetworkLimits &limits) { limits_ = limits; }
    // The most bytes one reply may hold; a larger reply fails.
    void setReplyByteCap(uint32_t cap) { limits_.replyByteCap = cap; }
    // Once the module is stopping, a read gives up this long after the stop began, a send
    // or a TLS handshake then starting waits no longer than that, and both fail with
    // "... the module is stopping" (limits().stopMilliseconds unless set).
    void setStopLimit(uint32_t milliseconds) { stopLimit_ = milliseconds; }
    // How long a read waits at most before it looks again whether the module is stopping.
    static constexpr uint32_t kStopCheckMilliseconds = 100;

    // "Description of the peer" for messages: "192.0.2.1:25".
    const QELString &peerText() const { return peerText_; }

    // Parses the reply code from the first 15 bytes of text: after blanks, either the
    // digits at the start, or the digits after the first word. Digits that would take
    // the code beyond 2147483647 are not read. Returns the code; consumed receives the
    // count of leading bytes (blanks and digits) that make up a leading code, 0 when the
    // text does not begin with one.
    static int32_t ParseReplyCode(const char *text, uint32_t length, uint32_t *consumed);

private:
    friend QELOwned<QELTCPConnection> OpenConnection(const QELIPAddress &, uint16_t, bool, QELReplyCompletion *, QELString *);
    QELTCPConnection();
    // The socket calls, through TLS once it is started.
    SocketResult sendSome(const char *bytes, size_t count, uint32_t timeoutMilliseconds);
    SocketResult waitReadable(uint32_t timeoutMilliseconds);
    SocketResult receiveSome(char *buffer, size_t capacity);
    // The description of a failed socket call: the system's, or the TLS session's.
    QELString failureText(const SocketResult &outcome) const;
    // A wait of at most milliseconds, shortened to end by the stop deadline; 0 when that
    // has passed (lastError_ then says the module is stopping).
    uint32_t untilStop(uint32_t milliseconds);

    bool libraryStarted_;
    SocketHandle socket_;
    int32_t replyCode_;
    QELString replyHead_;
    QELString replyText_;
    bool replyExpected_;
    bool continuation_;
    QELString lastError_;
    QELString peerText_;
    QELNetworkLimits limits_;
    uint32_t stopLimit_;
    QELOwned<QELTLSSession> tls_;
};
