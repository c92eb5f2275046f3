// ScriptedServer.cpp: the scripted loopback server: one thread that accepts connections
// in order and plays their scripts with plain POSIX sockets.
#include "ScriptedServer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

int ElapsedMilliseconds(Clock::time_point since) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// The Content-Length of an HTTP request head, 0 when it has none.
size_t ContentLengthOf(const std::string &head) {
    static const char kField[] = "content-length:";
    std::string lower = head;
    for (char &c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    size_t at = lower.find(kField);
    if (at == std::string::npos)
        return 0;
    return static_cast<size_t>(strtoull(head.c_str() + at + sizeof kField - 1, nullptr, 10));
}

}  // namespace

ScriptedServer::Script &ScriptedServer::Script::send(const std::string &bytes) {
    steps_.push_back({kSend, bytes, 0, 0});
    return *this;
}

ScriptedServer::Script &ScriptedServer::Script::startTLS(const std::string &certificateFile,
                                                         const std::string &keyFile) {
    steps_.push_back({kStartTLS, certificateFile + "\n" + keyFile, 0, 0});
    return *this;
}

ScriptedServer::Script &ScriptedServer::Script::pause(int milliseconds) {
    steps_.push_back({kPause, std::string(), 0, milliseconds});
    return *this;
}

ScriptedServer::Script &ScriptedServer::Script::receiveUntil(const std::string &marker, int milliseconds) {
    steps_.push_back({kReceiveUntil, marker, 0, milliseconds});
    return *this;
}

ScriptedServer::Script &ScriptedServer::Script::receiveBytes(size_t count) {
    steps_.push_back({kReceiveBytes, std::string(), count, kClientWaitMilliseconds});
    return *this;
}

ScriptedServer::Script &ScriptedServer::Script::receiveRequest() {
    steps_.push_back({kReceiveRequest, std::string(), 0, kClientWaitMilliseconds});
    return *this;
}

ScriptedServer::Script &ScriptedServer::Script::waitForClientClose(int milliseconds) {
    steps_.push_back({kWaitForClose, std::string(), 0, milliseconds});
    return *this;
}

ScriptedServer::Script &ScriptedServer::Script::reset() {
    steps_.push_back({kReset, std::string(), 0, 0});
    return *this;
}

ScriptedServer::Script &ScriptedServer::Script::shutdownSending() {
    steps_.push_back({kShutdownSending, std::string(), 0, 0});
    return *this;
}

ScriptedServer::Script &ScriptedServer::Script::trickle(const std::string &bytes, int intervalMilliseconds) {
    steps_.push_back({kTrickle, bytes, 0, intervalMilliseconds});
    return *this;
}

ScriptedServer::Script &ScriptedServer::Script::stream(uint64_t count) {
    steps_.push_back({kStream, std::string(), static_cast<size_t>(count), kClientWaitMilliseconds});
    return *this;
}

ScriptedServer::Script &ScriptedServer::Script::awaitRelease() {
    steps_.push_back({kAwaitRelease, std::string(), 0, kClientWaitMilliseconds});
    return *this;
}

ScriptedServer::ScriptedServer(bool ipv6) : ipv6_(ipv6) {
    if (ipv6) {
        listener_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in6 address;
        memset(&address, 0, sizeof address);
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        socklen_t length = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<struct sockaddr *>(&address), length) != 0 ||
            ::listen(listener_, 16) != 0) {
            if (listener_ >= 0)
                ::close(listener_);
            listener_ = -1;
            return;
        }
        getsockname(listener_, reinterpret_cast<struct sockaddr *>(&address), &length);
        port_ = ntohs(address.sin6_port);
        return;
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listener_, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0)
        abort();
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<struct sockaddr *>(&address), &length);
    port_ = ntohs(address.sin_port);
}

ScriptedServer::~ScriptedServer() {
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    if (listener_ >= 0)
        ::close(listener_);
}

ScriptedServer::Script &ScriptedServer::connection() {
    scripts_.emplace_back();
    received_.emplace_back();
    sent_.push_back(0);
    return scripts_.back();
}

void ScriptedServer::start() { thread_ = std::thread([this] { serve(); }); }

void ScriptedServer::finish(int acceptWaitMilliseconds) {
    acceptWaitMilliseconds_ = acceptWaitMilliseconds;
    if (thread_.joinable())
        thread_.join();
}

std::string ScriptedServer::hostAndPort() const {
    return (ipv6_ ? "[::1]:" : "127.0.0.1:") + std::to_string(port_);
}

size_t ScriptedServer::acceptedCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (size_t i = 0; i < accepted_.size(); ++i)
        count += accepted_[i] ? 1 : 0;
    return count;
}

std::string ScriptedServer::received(size_t connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    return connection < received_.size() ? received_[connection] : std::string();
}

uint64_t ScriptedServer::sentBytes(size_t connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    return connection < sent_.size() ? sent_[connection] : 0;
}

bool ScriptedServer::clientWaitExpired() {
    std::lock_guard<std::mutex> lock(mutex_);
    return clientWaitExpired_;
}

void ScriptedServer::serve() {
    // OpenSSL writes to a client that may have gone: such a write must fail, not raise
    // SIGPIPE (which stays pending on this thread, blocked, and never reaches the test).
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        accepted_.assign(scripts_.size(), false);
    }
    for (size_t index = 0; index < scripts_.size(); ++index) {
        Clock::time_point waitStart = Clock::now();
        int descriptor = -1;
        while (!stopping_ && ElapsedMilliseconds(waitStart) < acceptWaitMilliseconds_) {
            struct pollfd entry = {listener_, POLLIN, 0};
            if (poll(&entry, 1, 20) > 0) {
                descriptor = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (descriptor >= 0)
                    break;
            }
        }
        if (descriptor < 0)
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            accepted_[index] = true;
        }
        play(descriptor, index);
    }
}

ScriptedServer::ReadOutcome ScriptedServer::readSome(Peer &peer, size_t index, int milliseconds) {
    SSL *tls = static_cast<SSL *>(peer.tls);
    if (tls == nullptr || SSL_has_pending(tls) != 1) {
        struct pollfd entry = {peer.descriptor, POLLIN, 0};
        int ready = poll(&entry, 1, milliseconds < 0 ? 0 : milliseconds);
        if (ready <= 0)
            return kQuiet;
    }
    char buffer[65536];
    ssize_t count;
    if (tls != nullptr) {
        size_t read = 0;
        if (SSL_read_ex(tls, buffer, sizeof buffer, &read) == 1) {
            count = static_cast<ssize_t>(read);
        } else {
            int error = SSL_get_error(tls, 0);
            // A partial record (the socket's receive limit ran out) is no close.
            if (error == SSL_ERROR_WANT_READ || (error == SSL_ERROR_SYSCALL && errno == EAGAIN))
                return kQuiet;
            return kClosed;
        }
    } else {
        count = ::recv(peer.descriptor, buffer, sizeof buffer, 0);
    }
    if (count < 0 && errno == EINTR)
        return kQuiet;
    if (count <= 0)
        return kClosed;
    std::lock_guard<std::mutex> lock(mutex_);
    received_[index].append(buffer, static_cast<size_t>(count));
    return kData;
}

bool ScriptedServer::sendCounted(Peer &peer, size_t index, const char *bytes, size_t count) {
    if (peer.tls != nullptr) {
        size_t written = 0;
        if (count > 0 && SSL_write_ex(static_cast<SSL *>(peer.tls), bytes, count, &written) != 1)
            return false;  // the client went away
        std::lock_guard<std::mutex> lock(mutex_);
        sent_[index] += written;
        return true;
    }
    size_t offset = 0;
    Clock::time_point waitStart = Clock::now();
    while (offset < count) {
        // A client that reads nothing more holds the server no longer than a client wait.
        struct pollfd entry = {peer.descriptor, POLLOUT, 0};
        int ready = poll(&entry, 1, 50);
        if (stopping_ || ElapsedMilliseconds(waitStart) > kClientWaitMilliseconds)
            return false;
        if (ready <= 0)
            continue;
        ssize_t sent = ::send(peer.descriptor, bytes + offset, count - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (sent <= 0)
            return false;  // the client went away; the record shows what it got
        offset += static_cast<size_t>(sent);
        waitStart = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        sent_[index] += static_cast<uint64_t>(sent);
    }
    return true;
}

bool ScriptedServer::startTLS(Peer &peer, size_t index, const std::string &certificateFile,
                              const std::string &keyFile) {
    SSL_CTX *context = SSL_CTX_new(TLS_server_method());
    SSL *tls = nullptr;
    bool done = false;
    if (context != nullptr &&
        SSL_CTX_use_certificate_chain_file(context, certificateFile.c_str()) == 1 &&
        SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) == 1) {
        // Every read of the handshake and after it waits a bounded time.
        struct timeval limit = {kClientWaitMilliseconds / 1000, 0};
        setsockopt(peer.descriptor, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        tls = SSL_new(context);
        if (tls != nullptr && SSL_set_fd(tls, peer.descriptor) == 1 && SSL_accept(tls) == 1) {
            struct timeval shortLimit = {0, 50 * 1000};
            setsockopt(peer.descriptor, SOL_SOCKET, SO_RCVTIMEO, &shortLimit, sizeof shortLimit);
            done = true;
        }
    }
    SSL_CTX_free(context);  // the session keeps its own reference
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_[index] += done ? "[TLS]" : "[TLS failed]";
    }
    if (!done) {
        SSL_free(tls);
        ERR_clear_error();
        return false;
    }
    peer.tls = tls;
    return true;
}

void ScriptedServer::play(int descriptor, size_t index) {
    bool resetAtEnd = false;
    int releasesTaken = 0;
    Peer peer;
    peer.descriptor = descriptor;
    for (const Script::Step &step : scripts_[index].steps_) {
        if (stopping_)
            break;
        if (step.kind == Script::kStartTLS) {
            size_t split = step.bytes.find('\n');  // "certificate\nkey"
            if (!startTLS(peer, index, step.bytes.substr(0, split), step.bytes.substr(split + 1)))
                break;
        } else if (step.kind == Script::kSend) {
            sendCounted(peer, index, step.bytes.data(), step.bytes.size());
        } else if (step.kind == Script::kTrickle) {
            // The server's own pacing: one byte, then the interval.
            for (size_t i = 0; i < step.bytes.size() && !stopping_; ++i) {
                if (!sendCounted(peer, index, step.bytes.data() + i, 1))
                    break;
                if (i + 1 < step.bytes.size())
                    std::this_thread::sleep_for(std::chrono::milliseconds(step.milliseconds));
            }
        } else if (step.kind == Script::kStream) {
            static const std::string kFiller = [] {
                std::string line(63, 'x');
                line += '\n';
                std::string block;
                for (int i = 0; i < 1024; ++i)
                    block += line;
                return block;  // 64 KiB
            }();
            uint64_t left = step.count;
            while (left > 0 && !stopping_) {
                size_t piece = left < kFiller.size() ? static_cast<size_t>(left) : kFiller.size();
                if (!sendCounted(peer, index, kFiller.data(), piece))
                    break;
                left -= piece;
            }
        } else if (step.kind == Script::kPause) {
            std::this_thread::sleep_for(std::chrono::milliseconds(step.milliseconds));
        } else if (step.kind == Script::kShutdownSending) {
            if (peer.tls != nullptr)
                SSL_shutdown(static_cast<SSL *>(peer.tls));
            ::shutdown(descriptor, SHUT_WR);
        } else if (step.kind == Script::kReset) {
            resetAtEnd = true;
            break;
        } else {
            // A wait for the client: done when the condition holds.
            Clock::time_point waitStart = Clock::now();
            for (;;) {
                std::string sofar = received(index);
                bool done = false;
                if (step.kind == Script::kReceiveUntil) {
                    done = sofar.find(step.bytes) != std::string::npos;
                } else if (step.kind == Script::kReceiveBytes) {
                    done = sofar.size() >= step.count;
                } else if (step.kind == Script::kAwaitRelease) {
                    done = releases_.load() > releasesTaken;
                    if (done)
                        ++releasesTaken;
                } else if (step.kind == Script::kReceiveRequest) {
                    size_t blank = sofar.find("\r\n\r\n");
                    done = blank != std::string::npos &&
                           sofar.size() >= blank + 4 + ContentLengthOf(sofar.substr(0, blank));
                }
                if (done)
                    break;
                int left = step.milliseconds - ElapsedMilliseconds(waitStart);
                ReadOutcome outcome = kQuiet;
                if (left > 0 && !stopping_)
                    outcome = readSome(peer, index, left < 50 ? left : 50);
                if (outcome == kClosed && step.kind == Script::kWaitForClose)
                    break;
                if (outcome == kClosed && step.kind == Script::kAwaitRelease) {
                    // The client may be done sending; the release still decides.
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    continue;
                }
                if (outcome == kClosed || left <= 0 || stopping_) {
                    // The client went away or ran out of time before doing its part;
                    // a hold that ends by time is no fault of the client.
                    if (step.kind != Script::kWaitForClose) {
                        std::lock_guard<std::mutex> lock(mutex_);
                        clientWaitExpired_ = true;
                    }
                    break;
                }
            }
        }
    }
    if (peer.tls != nullptr) {
        if (!resetAtEnd)
            SSL_shutdown(static_cast<SSL *>(peer.tls));
        SSL_free(static_cast<SSL *>(peer.tls));
        ERR_clear_error();
    }
    if (resetAtEnd) {
        struct linger abort = {1, 0};
        setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ::close(descriptor);
}

RefusingPort::RefusingPort() {
    descriptor_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (descriptor_ < 0 || ::bind(descriptor_, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0)
        abort();
    socklen_t length = sizeof address;
    getsockname(descriptor_, reinterpret_cast<struct sockaddr *>(&address), &length);
    port_ = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort() { ::close(descriptor_); }
