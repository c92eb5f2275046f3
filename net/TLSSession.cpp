// TLSSession.cpp: OpenSSL client sessions whose bytes move through the platform's bounded
// socket calls (an OpenSSL BIO of our own), with verification always on.
#include "net/TLSSession.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "foundation/NumberText.h"
#include "net/NetworkLimits.h"
#include "platform/Clock.h"

namespace {

using Transport = QELTLSSession::Transport;

// The BIO under every session: reads never block (OpenSSL is told to retry, and the
// session waits on the socket with its own limit); writes wait at most the send limit.
int TransportWrite(BIO *bio, const char *bytes, size_t count, size_t *written) {
    auto *transport = static_cast<Transport *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    SocketResult outcome = SocketSend(transport->socket, bytes, count, transport->sendMilliseconds);
    transport->sendStatus = outcome.status;
    if (outcome.status != kSocketDone) {
        transport->error = outcome.error;
        return 0;
    }
    *written = outcome.count;
    return 1;
}

int TransportRead(BIO *bio, char *buffer, size_t capacity, size_t *read) {
    auto *transport = static_cast<Transport *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    SocketResult outcome = SocketReceive(transport->socket, buffer, capacity);
    if (outcome.status == kSocketDone && outcome.count > 0) {
        *read = outcome.count;
        return 1;
    }
    if (outcome.status == kSocketDone) {
        BIO_set_retry_read(bio);  // nothing there yet
        return 0;
    }
    if (outcome.status == kSocketFailed)
        transport->error = outcome.error;
    return 0;  // the peer's close (end of file) or a failure
}

long TransportControl(BIO *, int command, long, void *) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int TransportCreate(BIO *bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD *TransportMethod() {
    static BIO_METHOD *method = [] {
        BIO_METHOD *made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "velquor socket");
        if (made != nullptr) {
            BIO_meth_set_write_ex(made, TransportWrite);
            BIO_meth_set_read_ex(made, TransportRead);
            BIO_meth_set_ctrl(made, TransportControl);
            BIO_meth_set_create(made, TransportCreate);
        }
        return made;
    }();
    return method;
}

// The reason of OpenSSL's latest queued error ("wrong version number"), or "".
QELString QueuedReason() {
    unsigned long code = 0, latest;
    while ((latest = ERR_get_error()) != 0)
        code = latest;
    if (code == 0)
        return QELString();
    const char *reason = ERR_reason_error_string(code);
    return reason != nullptr ? QELString(reason)
                             : QELString("error ") + IntegerToText(static_cast<uint32_t>(code), 16);
}

// An IPv4 text (digits and dots) or an IPv6 text (holds a colon): such a host is named by
// its address in the certificate and never sent as SNI.
bool IsAddressText(const QELString &host) {
    bool digitsAndDots = !host.isEmpty();
    for (uint32_t i = 0; i < host.length(); ++i) {
        if (host[i] == ':')
            return true;
        if (!(host[i] == '.' || (host[i] >= '0' && host[i] <= '9')))
            digitsAndDots = false;
    }
    return digitsAndDots;
}

bool IsProtocolMismatch(unsigned long code) {
    if (ERR_GET_LIB(code) != ERR_LIB_SSL)
        return false;
    int reason = ERR_GET_REASON(code);
    return reason == SSL_R_UNSUPPORTED_PROTOCOL || reason == SSL_R_NO_PROTOCOLS_AVAILABLE ||
           reason == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION || reason == SSL_R_WRONG_SSL_VERSION;
}

}  // namespace

QELTLSSession::QELTLSSession() : context_(nullptr), session_(nullptr) {}

QELTLSSession::~QELTLSSession() { clear(); }

void QELTLSSession::clear() {
    if (session_ != nullptr)
        SSL_free(static_cast<SSL *>(session_));  // frees the BIO too
    if (context_ != nullptr)
        SSL_CTX_free(static_cast<SSL_CTX *>(context_));
    session_ = nullptr;
    context_ = nullptr;
}

bool QELTLSSession::Handshake(SocketHandle socket, const QELString &hostName, const QELString &caFile,
                              const QELString &peerText, uint32_t limitMilliseconds) {
    clear();
    ERR_clear_error();
    errorText_.clear();
    peerText_ = peerText;
    transport_ = Transport();
    transport_.socket = socket;

    SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    context_ = context;
    BIO_METHOD *method = TransportMethod();
    if (context == nullptr || method == nullptr) {
        errorText_ = QELString("TLS cannot be used: ") + QueuedReason();
        return false;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    bool trusted = caFile.isEmpty() ? SSL_CTX_set_default_verify_paths(context) == 1
                                    : SSL_CTX_load_verify_locations(context, caFile.text(), nullptr) == 1;
    if (!trusted) {
        QELString reason = QueuedReason();
        errorText_ = caFile.isEmpty() ? QELString("the system's trusted certificates cannot be read: ") + reason
                                      : QELString("the CA file \"") + caFile + "\" cannot be read: " + reason;
        return false;
    }

    SSL *session = SSL_new(context);
    session_ = session;
    BIO *bio = session != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr) {
        errorText_ = QELString("TLS cannot be used: ") + QueuedReason();
        return false;
    }
    BIO_set_data(bio, &transport_);
    SSL_set_bio(session, bio, bio);

    // The certificate must name the host: a DNS name, or the address itself.
    if (!IsAddressText(hostName))
        SSL_set_tlsext_host_name(session, hostName.text());
    SSL_set_hostflags(session, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (SSL_set1_host(session, hostName.text()) != 1) {
        errorText_ = QELString("the host name \"") + hostName + "\" cannot be checked against a certificate";
        return false;
    }

    const uint64_t deadline = MonotonicMilliseconds() + limitMilliseconds;
    for (;;) {
        uint64_t now = MonotonicMilliseconds();
        uint32_t left = now < deadline ? static_cast<uint32_t>(deadline - now) : 0;
        transport_.sendMilliseconds = left;
        ERR_clear_error();
        int result = SSL_connect(session);
        if (result == 1)
            return true;
        int sslError = SSL_get_error(session, result);
        if (sslError == SSL_ERROR_WANT_READ && left > 0) {
            SocketResult waited = SocketWaitReadable(socket, left);
            if (waited.status == kSocketDone)
                continue;
            if (waited.status == kSocketFailed) {
                transport_.error = waited.error;
                recordFailure("the TLS handshake", SSL_ERROR_SYSCALL);
                return false;
            }
        }
        if ((sslError == SSL_ERROR_WANT_READ || transport_.sendStatus == kSocketTimedOut)) {
            errorText_ = QELString("the TLS handshake with ") + peerText_ + " did not end within " +
                         DescribeMilliseconds(limitMilliseconds);
            return false;
        }
        recordFailure("the TLS handshake", sslError);
        return false;
    }
}

void QELTLSSession::recordFailure(const char *what, int sslError) {
    SSL *session = static_cast<SSL *>(session_);
    long verified = session != nullptr ? SSL_get_verify_result(session) : X509_V_OK;
    unsigned long code = ERR_peek_last_error();
    if (verified != X509_V_OK) {
        ERR_clear_error();
        errorText_ = QELString("certificate verification failed for ") + peerText_ + ": " +
                     X509_verify_cert_error_string(verified);
        return;
    }
    if (code != 0 && IsProtocolMismatch(code)) {
        errorText_ = QELString("no TLS version in common with ") + peerText_ + " (TLS 1.2 or later is required): " +
                     QueuedReason();
        return;
    }
    QELString reason = QueuedReason();
    if (reason.isEmpty()) {
        if (transport_.error != 0) {
            char text[160];
            SocketErrorText(transport_.error, text, sizeof text);
            reason = text;
        } else if (sslError == SSL_ERROR_SYSCALL || sslError == SSL_ERROR_ZERO_RETURN || sslError == SSL_ERROR_SSL) {
            reason = "the server closed the connection";
        } else {
            reason = QELString("TLS error ") + SignedIntegerToText(sslError);
        }
    }
    errorText_ = QELString(what) + " with " + peerText_ + " failed: " + reason;
}

SocketResult QELTLSSession::Send(const void *bytes, size_t count, uint32_t timeoutMilliseconds) {
    SSL *session = static_cast<SSL *>(session_);
    if (session == nullptr)
        return SocketResult{kSocketFailed, 0, kTLSError};
    transport_.sendMilliseconds = timeoutMilliseconds;
    transport_.sendStatus = kSocketDone;
    transport_.error = 0;
    ERR_clear_error();
    size_t written = 0;
    if (SSL_write_ex(session, bytes, count, &written) == 1)
        return SocketResult{kSocketDone, written, 0};
    if (transport_.sendStatus == kSocketTimedOut)
        return SocketResult{kSocketTimedOut, 0, 0};
    recordFailure("sending over TLS", SSL_get_error(session, 0));
    return SocketResult{kSocketFailed, 0, kTLSError};
}

SocketResult QELTLSSession::WaitReadable(uint32_t timeoutMilliseconds) {
    SSL *session = static_cast<SSL *>(session_);
    if (session != nullptr && SSL_has_pending(session) == 1)
        return SocketResult{kSocketDone, 0, 0};
    return SocketWaitReadable(transport_.socket, timeoutMilliseconds);
}

SocketResult QELTLSSession::Receive(void *buffer, size_t capacity) {
    SSL *session = static_cast<SSL *>(session_);
    if (session == nullptr)
        return SocketResult{kSocketFailed, 0, kTLSError};
    transport_.error = 0;
    ERR_clear_error();
    size_t read = 0;
    int result = SSL_read_ex(session, buffer, capacity, &read);
    if (result == 1)
        return SocketResult{kSocketDone, read, 0};
    int sslError = SSL_get_error(session, result);
    if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE)
        return SocketResult{kSocketDone, 0, 0};
    if (sslError == SSL_ERROR_ZERO_RETURN || (sslError == SSL_ERROR_SYSCALL && transport_.error == 0)) {
        ERR_clear_error();
        return SocketResult{kSocketClosed, 0, 0};
    }
    recordFailure("receiving over TLS", sslError);
    return SocketResult{kSocketFailed, 0, kTLSError};
}

void QELTLSSession::Shutdown() {
    SSL *session = static_cast<SSL *>(session_);
    if (session == nullptr || SSL_is_init_finished(session) != 1)
        return;
    transport_.sendMilliseconds = GetNetworkLimits().sendMilliseconds;
    ERR_clear_error();
    SSL_shutdown(session);
    ERR_clear_error();
}

QELString QELTLSSession::ProtocolVersion() const {
    SSL *session = static_cast<SSL *>(session_);
    return session != nullptr ? QELString(SSL_get_version(session)) : QELString();
}
