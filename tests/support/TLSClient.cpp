// TLSClient.cpp: the tests' TLS client on OpenSSL, with blocking sockets bounded by timeouts.
#include "TLSClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace velquor::test {

namespace {

std::string errorQueue() {
    std::string text;
    for (unsigned long code; (code = ERR_get_error()) != 0;) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += (text.empty() ? "" : "; ") + std::string(buffer);
    }
    return text;
}

// Runs a write of OpenSSL's with SIGPIPE blocked in this thread and drops the SIGPIPE that a
// connection closed by the server raised meanwhile, so the tests' process never sees one.
template <typename Write> long withoutSIGPIPE(Write write) {
    sigset_t pipe, previous;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    long result = write();
    sigset_t pending;
    timespec none{0, 0};
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1 && sigismember(&previous, SIGPIPE) == 0) {
        sigtimedwait(&pipe, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return result;
}

} // namespace

TLSClient::~TLSClient() { close(); }

bool TLSClient::connect(int port) {
    close();
    socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{static_cast<time_t>(kTimeLimit.count()), 0};
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return socket_ >= 0 && setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
           setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0 &&
           ::connect(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

std::string TLSClient::handshake(const std::string &caFile, const std::string &name) {
    if (socket_ < 0 || ssl_ != nullptr || context_ != nullptr) {
        return "no plain connection to secure";
    }
    ERR_clear_error();
    context_ = SSL_CTX_new(TLS_client_method());
    if (context_ == nullptr || SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION) != 1 ||
        SSL_CTX_load_verify_locations(context_, caFile.c_str(), nullptr) != 1) {
        return "cannot set up TLS with " + caFile + ": " + errorQueue();
    }
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
    SSL *ssl = SSL_new(context_);
    ASN1_OCTET_STRING *address = a2i_IPADDRESS(name.c_str());
    bool named = ssl != nullptr && SSL_set_fd(ssl, socket_) == 1 && SSL_set1_host(ssl, name.c_str()) == 1 &&
                 (address != nullptr || SSL_set_tlsext_host_name(ssl, name.c_str()) == 1);
    ASN1_OCTET_STRING_free(address);
    if (!named) {
        SSL_free(ssl);
        return "cannot set up the connection for " + name + ": " + errorQueue();
    }
    if (withoutSIGPIPE([&] { return SSL_connect(ssl); }) != 1) {
        long verification = SSL_get_verify_result(ssl);
        std::string reason = verification != X509_V_OK ? X509_verify_cert_error_string(verification) : errorQueue();
        SSL_free(ssl);
        return reason.empty() ? "the handshake failed" : reason;
    }
    ssl_ = ssl;
    return "";
}

bool TLSClient::send(const std::string &bytes) {
    size_t sent = 0;
    while (socket_ >= 0 && sent < bytes.size()) {
        long count =
            ssl_ != nullptr
                ? withoutSIGPIPE([&] { return SSL_write(ssl_, bytes.data() + sent, static_cast<int>(bytes.size() - sent)); })
                : ::send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count <= 0) {
            return false;
        }
        sent += static_cast<size_t>(count);
    }
    return socket_ >= 0;
}

bool TLSClient::receive() {
    char buffer[16384];
    long count = -1;
    if (ssl_ != nullptr) {
        count = SSL_read(ssl_, buffer, sizeof buffer);
    } else if (socket_ >= 0) {
        count = recv(socket_, buffer, sizeof buffer, 0);
    }
    if (count <= 0) {
        return false;
    }
    pending_.append(buffer, static_cast<size_t>(count));
    return true;
}

std::optional<std::string> TLSClient::readLine() {
    auto deadline = std::chrono::steady_clock::now() + kTimeLimit;
    size_t end;
    while ((end = pending_.find('\n')) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline || !receive()) {
            return std::nullopt;
        }
    }
    std::string line = pending_.substr(0, end > 0 && pending_[end - 1] == '\r' ? end - 1 : end);
    pending_.erase(0, end + 1);
    return line;
}

std::string TLSClient::readToEnd() {
    auto deadline = std::chrono::steady_clock::now() + kTimeLimit;
    while (std::chrono::steady_clock::now() < deadline && receive()) {
    }
    std::string all;
    all.swap(pending_);
    return all;
}

void TLSClient::close() {
    if (ssl_ != nullptr) {
        withoutSIGPIPE([&] { return SSL_shutdown(ssl_); });
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    if (context_ != nullptr) {
        SSL_CTX_free(context_);
        context_ = nullptr;
    }
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
    pending_.clear();
}

} // namespace velquor::test
