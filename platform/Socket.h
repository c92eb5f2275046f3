// Socket.h: IPv4 TCP client sockets and host-name lookup over the operating system,
// with plain types. Every wait is bounded, no call raises SIGPIPE, and signals never cut a call short.
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

// Looks a host name (or a dotted IPv4 text) up and stores its first IPv4 address in host
// byte order, the first octet most significant. When canonicalName is given, the
// official name of the answer is copied into it (NUL-terminated, cut to fit). Safe to
// call from several threads at once. False when the name has no IPv4 address.
bool SocketResolveIPv4(const char *name, uint32_t *address, char *canonicalName, size_t canonicalCapacity);

// The machine's own host name (NUL-terminated, cut to fit); false when unknown.
bool SocketLocalHostName(char *buffer, size_t capacity);

// Creates a TCP socket and connects it to address:port (host byte order), waiting at
// most timeoutMilliseconds. On kSocketDone *socket holds the connected socket; on any
// other status no socket is left open.
SocketResult SocketConnect(uint32_t address, uint16_t port, uint32_t timeoutMilliseconds, SocketHandle *socket);

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
