// Socket_posix.cpp: the sockets of Socket.h over POSIX: getaddrinfo on a lookup thread with
// a time limit, non-blocking sockets with poll for every wait, MSG_NOSIGNAL, EINTR retried.
#include "platform/Socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/Clock.h"

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif

SocketResult Result(SocketStatus status, size_t count = 0, int error = 0) {
    SocketResult result;
    result.status = status;
    result.count = count;
    result.error = error;
    return result;
}

void CopyText(const char *text, char *buffer, size_t capacity) {
    if (buffer == nullptr || capacity == 0)
        return;
    size_t length = strlen(text);
    if (length >= capacity)
        length = capacity - 1;
    memcpy(buffer, text, length);
    buffer[length] = 0;
}

// Waits until the socket shows one of the events, at most timeoutMilliseconds; a signal
// resumes the wait for the time that remains.
SocketResult WaitFor(SocketHandle socket, short events, uint32_t timeoutMilliseconds) {
    const uint64_t deadline = MonotonicMilliseconds() + timeoutMilliseconds;
    uint64_t remaining = timeoutMilliseconds;
    for (;;) {
        struct pollfd entry;
        entry.fd = static_cast<int>(socket);
        entry.events = events;
        entry.revents = 0;
        int wait = remaining > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(remaining);
        int ready = poll(&entry, 1, wait);
        if (ready > 0)
            return Result(kSocketDone);
        if (ready < 0 && errno != EINTR)
            return Result(kSocketFailed, 0, errno);
        // Time-out or signal: the deadline decides. poll may wake a little early, so a
        // time-out with time left waits again.
        uint64_t now = MonotonicMilliseconds();
        if (now >= deadline)
            return Result(kSocketTimedOut);
        remaining = deadline - now;
    }
}

bool MakeNonBlocking(int descriptor) {
    int flags = fcntl(descriptor, F_GETFL, 0);
    if (flags < 0)
        return false;
    if (fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) < 0)
        return false;
    int descriptorFlags = fcntl(descriptor, F_GETFD, 0);
    if (descriptorFlags >= 0)
        fcntl(descriptor, F_SETFD, descriptorFlags | FD_CLOEXEC);
    return true;
}

// The address of an answer entry; false for families other than IPv4 and IPv6.
bool AddressOf(const struct addrinfo *entry, SocketAddress *address) {
    if (entry->ai_addr == nullptr)
        return false;
    if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(struct sockaddr_in)) {
        const auto *ipv4 = reinterpret_cast<const struct sockaddr_in *>(entry->ai_addr);
        address->family = kSocketIPv4;
        memcpy(address->bytes, &ipv4->sin_addr, 4);
        return true;
    }
    if (entry->ai_family == AF_INET6 && entry->ai_addrlen >= sizeof(struct sockaddr_in6)) {
        const auto *ipv6 = reinterpret_cast<const struct sockaddr_in6 *>(entry->ai_addr);
        address->family = kSocketIPv6;
        memcpy(address->bytes, &ipv6->sin6_addr, 16);
        return true;
    }
    return false;
}

// The system's resolver: the first IPv4 address of the name, else its first IPv6 one.
bool SystemResolve(const char *name, SocketAddress *address, char *canonicalName, size_t canonicalCapacity) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = canonicalName != nullptr ? AI_CANONNAME : 0;
    struct addrinfo *answer = nullptr;
    int outcome;
    do {
        outcome = getaddrinfo(name, nullptr, &hints, &answer);
    } while (outcome == EAI_SYSTEM && errno == EINTR);
    if (outcome != 0 || answer == nullptr)
        return false;
    bool found = false;
    for (int family : {AF_INET, AF_INET6}) {
        for (const struct addrinfo *entry = answer; entry != nullptr && !found; entry = entry->ai_next)
            found = entry->ai_family == family && AddressOf(entry, address);
    }
    if (found && canonicalName != nullptr)
        CopyText(answer->ai_canonname != nullptr ? answer->ai_canonname : name, canonicalName, canonicalCapacity);
    freeaddrinfo(answer);
    return found;
}

std::atomic<SocketResolver> gResolver{nullptr};

// One lookup on a thread of its own. The caller waits at most its time limit; when it
// gives up, the lookup runs on and drops its answer.
struct Lookup {
    std::string name;
    bool wantCanonicalName = false;
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    bool found = false;
    SocketAddress address{};
    char canonical[256] = {0};
};

// Counts the lookup threads. When the module is unloaded, its static objects are
// destroyed and this waits until every thread has left the module's code.
class LookupThreads {
public:
    ~LookupThreads() {
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait_for(lock, std::chrono::seconds(60), [this] { return running_ == 0; });
    }
    void started() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++running_;
    }
    // The last step of a lookup thread: the count drops and waiters wake only once the
    // thread has ended, after the last instruction of this module it runs.
    void ending() {
        std::unique_lock<std::mutex> lock(mutex_);
        --running_;
        std::notify_all_at_thread_exit(finished_, std::move(lock));
    }
    void failedToStart() {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
    }
    uint32_t running() {
        std::lock_guard<std::mutex> lock(mutex_);
        return running_;
    }

private:
    std::mutex mutex_;
    std::condition_variable finished_;
    uint32_t running_ = 0;
};

LookupThreads &Threads() {
    static LookupThreads threads;
    return threads;
}

void RunLookup(std::shared_ptr<Lookup> lookup) {
    SocketResolver resolver = gResolver.load(std::memory_order_acquire);
    if (resolver == nullptr)
        resolver = SystemResolve;
    SocketAddress address{};
    char canonical[sizeof lookup->canonical] = {0};
    bool found = resolver(lookup->name.c_str(), &address, lookup->wantCanonicalName ? canonical : nullptr,
                          sizeof canonical);
    {
        std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->done = true;
        lookup->found = found;
        lookup->address = address;
        memcpy(lookup->canonical, canonical, sizeof canonical);
    }
    lookup->answered.notify_all();
}

// An address text: answered without a lookup.
bool ParseAddressText(const char *name, SocketAddress *address) {
    struct in_addr ipv4;
    if (inet_aton(name, &ipv4) != 0) {
        address->family = kSocketIPv4;
        memcpy(address->bytes, &ipv4, 4);
        return true;
    }
    struct in6_addr ipv6;
    if (inet_pton(AF_INET6, name, &ipv6) == 1) {
        address->family = kSocketIPv6;
        memcpy(address->bytes, &ipv6, 16);
        return true;
    }
    return false;
}

// Picks the right result of either strerror_r variant.
[[maybe_unused]] const char *ErrorTextOf(int outcome, const char *buffer) { return outcome == 0 ? buffer : nullptr; }
[[maybe_unused]] const char *ErrorTextOf(const char *outcome, const char *) { return outcome; }

}  // namespace

bool SocketLibraryStartup() { return true; }

void SocketLibraryCleanup() {}

SocketResult SocketResolve(const char *name, uint32_t timeoutMilliseconds, SocketAddress *address,
                           char *canonicalName, size_t canonicalCapacity) {
    if (name == nullptr || name[0] == 0)
        return Result(kSocketNotFound);
    SocketAddress found{};
    if (ParseAddressText(name, &found)) {
        if (address != nullptr)
            *address = found;
        CopyText(name, canonicalName, canonicalCapacity);
        return Result(kSocketDone);
    }
    auto lookup = std::make_shared<Lookup>();
    lookup->name = name;
    lookup->wantCanonicalName = canonicalName != nullptr;
    Threads().started();
    try {
        std::thread([lookup] {
            RunLookup(lookup);
            Threads().ending();
        }).detach();
    } catch (const std::system_error &failure) {
        Threads().failedToStart();
        return Result(kSocketFailed, 0, failure.code().value());
    }
    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->answered.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds),
                                   [&lookup] { return lookup->done; })) {
        return Result(kSocketTimedOut);
    }
    if (!lookup->found)
        return Result(kSocketNotFound);
    if (address != nullptr)
        *address = lookup->address;
    CopyText(lookup->canonical, canonicalName, canonicalCapacity);
    return Result(kSocketDone);
}

void SocketSetResolver(SocketResolver resolver) { gResolver.store(resolver, std::memory_order_release); }

uint32_t SocketLookupsRunning() { return Threads().running(); }

bool SocketLocalHostName(char *buffer, size_t capacity) {
    if (buffer == nullptr || capacity < 2)
        return false;
    memset(buffer, 0, capacity);
    if (gethostname(buffer, capacity - 1) != 0)
        return false;
    buffer[capacity - 1] = 0;
    return buffer[0] != 0;
}

SocketResult SocketConnect(const SocketAddress &address, uint16_t port, uint32_t timeoutMilliseconds,
                           SocketHandle *socketOut) {
    if (socketOut != nullptr)
        *socketOut = kInvalidSocket;
    struct sockaddr_storage peer;
    memset(&peer, 0, sizeof peer);
    socklen_t peerLength;
    if (address.family == kSocketIPv4) {
        auto *ipv4 = reinterpret_cast<struct sockaddr_in *>(&peer);
        ipv4->sin_family = AF_INET;
        ipv4->sin_port = htons(port);
        memcpy(&ipv4->sin_addr, address.bytes, 4);
        peerLength = sizeof *ipv4;
    } else if (address.family == kSocketIPv6) {
        auto *ipv6 = reinterpret_cast<struct sockaddr_in6 *>(&peer);
        ipv6->sin6_family = AF_INET6;
        ipv6->sin6_port = htons(port);
        memcpy(&ipv6->sin6_addr, address.bytes, 16);
        peerLength = sizeof *ipv6;
    } else {
        return Result(kSocketFailed, 0, EAFNOSUPPORT);
    }
    int type = SOCK_STREAM;
#ifdef SOCK_CLOEXEC
    type |= SOCK_CLOEXEC;
#endif
    int descriptor = socket(peer.ss_family, type, 0);
    if (descriptor < 0)
        return Result(kSocketFailed, 0, errno);
    if (!MakeNonBlocking(descriptor)) {
        int error = errno;
        close(descriptor);
        return Result(kSocketFailed, 0, error);
    }
    int one = 1;
#ifdef SO_NOSIGPIPE
    setsockopt(descriptor, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    // Every send is a whole command, request or batch of lines: waiting to merge it
    // with later bytes (while the peer delays its acknowledgement) only adds 40 ms.
    setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    int outcome = connect(descriptor, reinterpret_cast<const struct sockaddr *>(&peer), peerLength);
    // A connect interrupted by a signal goes on in the background, like one in progress.
    if (outcome != 0 && errno != EINPROGRESS && errno != EINTR) {
        int error = errno;
        close(descriptor);
        return Result(kSocketFailed, 0, error);
    }
    if (outcome != 0) {
        SocketResult waited = WaitFor(descriptor, POLLOUT, timeoutMilliseconds);
        if (waited.status != kSocketDone) {
            close(descriptor);
            return waited;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error != 0) {
            close(descriptor);
            return Result(kSocketFailed, 0, error);
        }
    }
    if (socketOut != nullptr)
        *socketOut = descriptor;
    else
        close(descriptor);
    return Result(kSocketDone);
}

SocketResult SocketSend(SocketHandle socket, const void *bytes, size_t count, uint32_t timeoutMilliseconds) {
    if (socket == kInvalidSocket)
        return Result(kSocketFailed, 0, EBADF);
    if (count == 0)
        return Result(kSocketDone);
    const uint64_t deadline = MonotonicMilliseconds() + timeoutMilliseconds;
    for (;;) {
        ssize_t sent = send(static_cast<int>(socket), bytes, count, kSendFlags);
        if (sent >= 0)
            return Result(kSocketDone, static_cast<size_t>(sent));
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return Result(kSocketFailed, 0, errno);
        uint64_t now = MonotonicMilliseconds();
        if (now >= deadline)
            return Result(kSocketTimedOut);
        SocketResult waited = WaitFor(socket, POLLOUT, static_cast<uint32_t>(deadline - now));
        if (waited.status != kSocketDone)
            return waited;
    }
}

SocketResult SocketWaitReadable(SocketHandle socket, uint32_t timeoutMilliseconds) {
    if (socket == kInvalidSocket)
        return Result(kSocketFailed, 0, EBADF);
    return WaitFor(socket, POLLIN, timeoutMilliseconds);
}

SocketResult SocketReceive(SocketHandle socket, void *buffer, size_t capacity) {
    if (socket == kInvalidSocket)
        return Result(kSocketFailed, 0, EBADF);
    if (capacity == 0)
        return Result(kSocketDone);
    for (;;) {
        ssize_t received = recv(static_cast<int>(socket), buffer, capacity, 0);
        if (received > 0)
            return Result(kSocketDone, static_cast<size_t>(received));
        if (received == 0)
            return Result(kSocketClosed);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return Result(kSocketDone);
        return Result(kSocketFailed, 0, errno);
    }
}

void SocketClose(SocketHandle socket) {
    if (socket == kInvalidSocket)
        return;
    // Not retried after EINTR: the descriptor is released whatever close reports.
    close(static_cast<int>(socket));
}

void SocketErrorText(int error, char *buffer, size_t capacity) {
    if (buffer == nullptr || capacity == 0)
        return;
    char text[256];
    text[0] = 0;
    const char *description = ErrorTextOf(strerror_r(error, text, sizeof text), text);
    CopyText(description != nullptr && description[0] != 0 ? description : "unknown error", buffer, capacity);
}
