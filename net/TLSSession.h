// TLSSession.h: QELTLSSession, the client side of one TLS session (OpenSSL) over a socket
// that is already connected: the bounded, verified handshake, then sends and receives.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/Object.h"
#include "foundation/String.h"
#include "platform/Socket.h"

class QELTLSSession : public QELObject {
public:
    // The error number of a SocketResult that failed inside TLS rather than in the system;
    // ErrorText then says what went wrong.
    static constexpr int kTLSError = -1;

    QELTLSSession();
    // Frees the session without waiting for the peer; the socket stays open (its owner
    // closes it).
    ~QELTLSSession() override;
    QELTLSSession(const QELTLSSession &) = delete;
    QELTLSSession &operator=(const QELTLSSession &) = delete;

    // Runs the client handshake over socket within limitMilliseconds: TLS 1.2 or later, SNI
    // with hostName (unless it is an address), and a certificate chain that verifies against
    // caFile when it is not empty, else against the system's trust store (OpenSSL's default
    // verify paths, so SSL_CERT_FILE and SSL_CERT_DIR apply), and that names hostName (a DNS
    // name, or an IP address given as text). peerText names the peer in messages. False
    // when the handshake fails or does not end in time; ErrorText then names the cause
    // ("certificate verification failed for localhost:465: certificate has expired",
    // "no TLS version in common with localhost:465 ...", "the CA file ... cannot be read").
    bool Handshake(SocketHandle socket, const QELString &hostName, const QELString &caFile,
                   const QELString &peerText, uint32_t limitMilliseconds);

    // Encrypts and sends up to count bytes, waiting at most timeoutMilliseconds for the
    // socket to take each piece; the count of the result says how many went out. A TLS
    // failure gives kSocketFailed with error kTLSError.
    SocketResult Send(const void *bytes, size_t count, uint32_t timeoutMilliseconds);

    // kSocketDone at once when decrypted or undecrypted bytes wait in the session, else
    // waits like SocketWaitReadable.
    SocketResult WaitReadable(uint32_t timeoutMilliseconds);

    // Decrypts what has arrived, without blocking: kSocketDone with the count (0 when no
    // whole record was there yet), kSocketClosed at the peer's close (with or without its
    // close_notify; the protocol above decides whether the reply was whole), kSocketFailed
    // on a TLS or system error.
    SocketResult Receive(void *buffer, size_t capacity);

    // Sends close_notify without waiting for the answer; does nothing before a handshake.
    void Shutdown();

    // What the last failure of Handshake, Send or Receive was, for messages.
    const QELString &ErrorText() const { return errorText_; }

    // The protocol version agreed ("TLSv1.3"); empty before a handshake.
    QELString ProtocolVersion() const;

    // State shared with the socket adapter below OpenSSL; public only for that adapter.
    struct Transport {
        SocketHandle socket = kInvalidSocket;
        uint32_t sendMilliseconds = 0;  // the limit of one socket send
        SocketStatus sendStatus = kSocketDone;
        int error = 0;                  // the system's error number of the last failure
    };

private:
    void clear();
    // Records the cause of a failure from OpenSSL's error queue and the transport.
    void recordFailure(const char *what, int sslError);

    void *context_;  // SSL_CTX
    void *session_;  // SSL
    Transport transport_;
    QELString peerText_;
    QELString errorText_;
};
