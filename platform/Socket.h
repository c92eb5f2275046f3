// Socket.h: TCP client sockets (IPv4 and IPv6) and bounded host-name lookups over the
// system. Every wait is bounded, no call raises SIGPIPE, and signals never cut one short.
#pragma once

#include <cstddef>
#include <cstdint>

// A socket of the operating system; kInvalidSocket when there is none.
typedef intptr_t SocketHandle;
constexpr SocketHandle kInvalidSocket = -1;

enum SocketStatus : uint32_t {
    kSocketDone = 0,      // the call did its work (count tells how much)
    kSocketTimedOut = 1,  // the time limit passed first
    kSocketClosed = 2,    // the peer closed the connection (receive only)
    kSocketFailed = 3,    // the system reported an error (error holds its number)
    kSocketNotFound = 4,  // a name has no address (lookups only)
};

struct SocketResult {
    SocketStatus status;
    size_t count;  // bytes moved by a send or a receive
    int error;     // the system's error number when status is kSocketFailed, else 0
};

// Prepares the system's socket library; false when it cannot be used. Cleanup undoes one
// startup and never disturbs sockets that are still open. Both do nothing where the
// system needs no preparation.
bool SocketLibraryStartup();
void SocketLibraryCleanup();

// An IPv4 or IPv6 address, its bytes in network order (an IPv4 address uses the first 4).
struct SocketAddress {
    uint8_t family;  // kSocketIPv4 or kSocketIPv6
    uint8_t bytes[16];
};
constexpr uint8_t kSocketIPv4 = 4;
constexpr uint8_t kSocketIPv6 = 6;

// Looks a host name, a dotted IPv4 text or an IPv6 text (without brackets) up, waiting at
// most timeoutMilliseconds for the system's resolver: a name's IPv4 address is preferred,
// its IPv6 address is taken when it has none. When canonicalName is given, the official
// name of the answer is copied into it (NUL-terminated, cut to fit). Address texts are
// answered at once. kSocketDone with *address filled; kSocketNotFound when the name has
// no address; kSocketTimedOut when the resolver did not answer in time (its answer is then
// dropped when it comes). Safe to call from several threads at once.
SocketResult SocketResolve(const char *name, uint32_t timeoutMilliseconds, SocketAddress *address,
                           char *canonicalName, size_t canonicalCapacity);

// A resolver that answers names in place of the system's, for tests: true with the address
// (and, when canonicalName is given, the official name) for a name it knows. It runs where
// the system's resolver would, under the same time limit, and may block.
typedef bool (*SocketResolver)(const char *name, SocketAddress *address, char *canonicalName,
                               size_t canonicalCapacity);
// Installs such a resolver; null gives the lookups back to the system.
void SocketSetResolver(SocketResolver resolver);

// The lookups still running, those given up on included. Unloading the module waits for
// them (at most a minute), so that none returns into code that is gone.
uint32_t SocketLookupsRunning();

// The machine's own host name (NUL-terminated, cut to fit); false when unknown.
bool SocketLocalHostName(char *buffer, size_t capacity);

// Creates a TCP socket and connects it to address:port, waiting at most
// timeoutMilliseconds. On kSocketDone *socket holds the connected socket; on any other
// status no socket is left open.
SocketResult SocketConnect(const SocketAddress &address, uint16_t port, uint32_t timeoutMilliseconds,
                           SocketHandle *socket);

// Sends up to count bytes with one successful system send, waiting at most
// timeoutMilliseconds for the peer to accept data. count of the result tells how many
// bytes went out (possibly fewer than asked). A peer that has closed gives kSocketFailed,
// never a signal.
SocketResult SocketSend(SocketHandle socket, const void *bytes, size_t count, uint32_t timeoutMilliseconds);

// Waits at most timeoutMilliseconds until a receive would not block (data, the peer's
// close or an error are all "readable"). kSocketDone when readable, kSocketTimedOut when
// the time passed. A signal that interrupts the wait resumes it for the remaining time.
SocketResult SocketWaitReadable(SocketHandle socket, uint32_t timeoutMilliseconds);

// Receives up to capacity bytes without blocking: kSocketDone with the count (0 when
// nothing was waiting after all), kSocketClosed when the peer has closed, kSocketFailed
// on an error.
SocketResult SocketReceive(SocketHandle socket, void *buffer, size_t capacity);

// Closes the socket; kInvalidSocket is ignored.
void SocketClose(SocketHandle socket);

// The system's description of an error number, copied into buffer (NUL-terminated).
void SocketErrorText(int error, char *buffer, size_t capacity);
