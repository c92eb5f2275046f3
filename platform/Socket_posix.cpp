// Socket_posix.cpp: the sockets of Socket.h over POSIX: getaddrinfo for names, non-blocking
// sockets with poll for every wait, MSG_NOSIGNAL for sends, and EINTR retried everywhere.
#include "platform/Socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>

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

// Looks name up; res holds the answer on success and must be freed by the caller.
bool LookUp(const char *name, bool wantCanonicalName, struct addrinfo **answer) {
    if (name == nullptr || name[0] == 0)
        return false;
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = wantCanonicalName ? AI_CANONNAME : 0;
    int outcome;
    do {
        outcome = getaddrinfo(name, nullptr, &hints, answer);
    } while (outcome == EAI_SYSTEM && errno == EINTR);
    return outcome == 0 && *answer != nullptr;
}

// Picks the right result of either strerror_r variant.
[[maybe_unused]] const char *ErrorTextOf(int outcome, const char *buffer) { return outcome == 0 ? buffer : nullptr; }
[[maybe_unused]] const char *ErrorTextOf(const char *outcome, const char *) { return outcome; }

}  // namespace

bool SocketLibraryStartup() { return true; }

void SocketLibraryCleanup() {}

bool SocketResolveIPv4(const char *name, uint32_t *address, char *canonicalName, size_t canonicalCapacity) {
    struct addrinfo *answer = nullptr;
    if (!LookUp(name, canonicalName != nullptr, &answer))
        return false;
    bool found = false;
    for (struct addrinfo *entry = answer; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addr == nullptr ||
            entry->ai_addrlen < sizeof(struct sockaddr_in))
            continue;
        const struct sockaddr_in *ipv4 = reinterpret_cast<const struct sockaddr_in *>(entry->ai_addr);
        if (address != nullptr)
            *address = ntohl(ipv4->sin_addr.s_addr);
        found = true;
        break;
    }
    if (found && canonicalName != nullptr)
        CopyText(answer->ai_canonname != nullptr ? answer->ai_canonname : name, canonicalName, canonicalCapacity);
    freeaddrinfo(answer);
    return found;
}

bool SocketLocalHostName(char *buffer, size_t capacity) {
    if (buffer == nullptr || capacity < 2)
        return false;
    memset(buffer, 0, capacity);
    if (gethostname(buffer, capacity - 1) != 0)
        return false;
    buffer[capacity - 1] = 0;
    return buffer[0] != 0;
}

SocketResult SocketConnect(uint32_t address, uint16_t port, uint32_t timeoutMilliseconds, SocketHandle *socketOut) {
    if (socketOut != nullptr)
        *socketOut = kInvalidSocket;
    int type = SOCK_STREAM;
#ifdef SOCK_CLOEXEC
    type |= SOCK_CLOEXEC;
#endif
    int descriptor = socket(AF_INET, type, 0);
    if (descriptor < 0)
        return Result(kSocketFailed, 0, errno);
    if (!MakeNonBlocking(descriptor)) {
        int error = errno;
        close(descriptor);
        return Result(kSocketFailed, 0, error);
    }
#ifdef SO_NOSIGPIPE
    int one = 1;
    setsockopt(descriptor, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif

    struct sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(address);
    int outcome = connect(descriptor, reinterpret_cast<const struct sockaddr *>(&peer), sizeof peer);
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
