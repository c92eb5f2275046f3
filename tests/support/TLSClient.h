// TLSClient.h: a client connection for the TLS tests (OpenSSL): plain text first, as before
// STARTTLS or STLS, then a handshake that verifies the server against a CA file and a name.
#ifndef VELQUOR_TESTS_SUPPORT_TLS_CLIENT_H
#define VELQUOR_TESTS_SUPPORT_TLS_CLIENT_H

#include <chrono>
#include <optional>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace velquor::test {

class TLSClient {
public:
    // Every send and receive waits at most this long.
    static constexpr std::chrono::seconds kTimeLimit{10};

    TLSClient() = default;
    ~TLSClient();
    TLSClient(const TLSClient &) = delete;
    TLSClient &operator=(const TLSClient &) = delete;

    // Opens a TCP connection to 127.0.0.1:port. False when it is refused.
    bool connect(int port);
    // Runs the TLS handshake (TLS 1.2 or later) on the connection, trusting only the
    // certificates in caFile and requiring the server's certificate to name `name` (a host
    // name, also sent as SNI, or an IP address text). "" once it succeeded; otherwise the
    // reason: OpenSSL's text of the verification error ("certificate has expired", "hostname
    // mismatch", ...) when the server's certificate was refused, else its error queue.
    std::string handshake(const std::string &caFile, const std::string &name);
    bool secured() const { return ssl_ != nullptr; }

    // Sends every byte (through TLS once the handshake succeeded). False on failure.
    bool send(const std::string &bytes);
    // The next line without its CR LF (or LF); nothing when the connection ended or no whole
    // line came within the time limit.
    std::optional<std::string> readLine();
    // Everything until the server closes the connection (or the time limit passes).
    std::string readToEnd();
    // Shuts the connection (a TLS close notify first).
    void close();

private:
    // Appends what arrives next to pending_; false at the end, on an error or the time limit.
    bool receive();

    int socket_ = -1;
    SSL_CTX *context_ = nullptr;
    SSL *ssl_ = nullptr;
    std::string pending_;
};

} // namespace velquor::test

#endif
