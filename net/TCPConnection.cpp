// TCPConnection.cpp: name lookup, connection opening, sends in 4096-byte pieces and the
// bounded reply read with its leading-code parsing.
#include "net/TCPConnection.h"

#include <atomic>

#include "foundation/NumberText.h"
#include "platform/Clock.h"

namespace {

// Whether the socket library is started. Connections on delivery threads start and
// stop it too, so the flag is atomic; stopping never disturbs open connections.
std::atomic<bool> gSocketLibraryStarted{false};

constexpr uint32_t kHostNameBufferSize = 128;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

QELString SystemErrorText(int error) {
    char text[160];
    SocketErrorText(error, text, sizeof text);
    return QELString(text);
}

QELString PeerText(const QELIPAddress &address, uint16_t port) {
    return address.dottedText() + ":" + IntegerToText(port);
}

// The bytes of text up to its first NUL are all of it (a name with a NUL inside is
// refused rather than looked up cut short).
bool HasNoNul(const QELString &text) {
    for (uint32_t i = 0; i < text.length(); ++i)
        if (text[i] == 0)
            return false;
    return true;
}

// Looks the local machine's name up; canonical receives its official name.
bool LookUpLocalHost(char *canonical, uint32_t *address) {
    char name[kHostNameBufferSize];
    if (!SocketLocalHostName(name, sizeof name))
        return false;
    return SocketResolveIPv4(name, address, canonical, kHostNameBufferSize * 2);
}

}  // namespace

bool StartSocketLibrary() {
    if (gSocketLibraryStarted.load(std::memory_order_acquire))
        return true;
    if (!SocketLibraryStartup()) {
        SocketLibraryCleanup();
        return false;
    }
    // Two threads may start it at once; the one that finds it started already undoes
    // its own startup, so that startups and cleanups stay paired.
    bool expected = false;
    if (!gSocketLibraryStarted.compare_exchange_strong(expected, true, std::memory_order_acq_rel))
        SocketLibraryCleanup();
    return true;
}

void StopSocketLibrary() {
    bool expected = true;
    if (gSocketLibraryStarted.compare_exchange_strong(expected, false, std::memory_order_acq_rel))
        SocketLibraryCleanup();
}

bool SocketLibraryStarted() { return gSocketLibraryStarted.load(std::memory_order_acquire); }

bool SplitHostAndPort(const QELString &text, uint16_t defaultPort, QELString *name, uint16_t *port) {
    uint32_t colon;
    if (!text.find(":", &colon)) {
        if (name != nullptr)
            *name = text;
        if (port != nullptr)
            *port = defaultPort;
        return !text.isEmpty();
    }
    if (colon == 0)
        return false;
    uint32_t value = 0;
    uint32_t digits = text.length() - colon - 1;
    if (digits == 0 || digits > 5)
        return false;
    for (uint32_t i = colon + 1; i < text.length(); ++i) {
        if (!IsDigit(text[i]))
            return false;
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    }
    if (value == 0 || value > 65535)
        return false;
    if (name != nullptr)
        *name = text.substring(0, colon);
    if (port != nullptr)
        *port = static_cast<uint16_t>(value);
    return true;
}

bool ResolveHostName(const QELString &name, int32_t port, QELIPAddress &address, uint16_t &portOut) {
    StartSocketLibrary();
    QELString hostName;
    uint16_t hostPort;
    if (!SplitHostAndPort(name, static_cast<uint16_t>(port), &hostName, &hostPort) || !HasNoNul(hostName))
        return false;
    portOut = hostPort;
    uint32_t value;
    if (!SocketResolveIPv4(hostName.text(), &value, nullptr, 0))
        return false;
    address = QELIPAddress(value);
    return true;
}

bool GetLocalHostName(QELString &text) {
    StartSocketLibrary();
    char canonical[kHostNameBufferSize * 2];
    uint32_t address;
    if (!LookUpLocalHost(canonical, &address))
        return false;
    text = canonical;
    return true;
}

bool GetLocalAddress(QELIPAddress &address) {
    StartSocketLibrary();
    char canonical[kHostNameBufferSize * 2];
    uint32_t value;
    if (!LookUpLocalHost(canonical, &value))
        return false;
    address = QELIPAddress(value);
    return true;
}

QELTCPConnection *OpenConnection(const QELIPAddress &address, uint16_t port, bool readGreeting,
                                 QELReplyCompletion *greetingCompletion, QELString *errorText) {
    StartSocketLibrary();
    QELTCPConnection *connection = new QELTCPConnection();
    connection->peerText_ = PeerText(address, port);
    SocketResult outcome =
        SocketConnect(address.address(), port, connection->limits_.connectMilliseconds, &connection->socket_);
    if (outcome.status != kSocketDone) {
        if (errorText != nullptr) {
            if (outcome.status == kSocketTimedOut)
                *errorText = QELString("no connection to ") + connection->peerText_ + " within " +
                             DescribeMilliseconds(connection->limits_.connectMilliseconds);
            else
                *errorText = QELString("unable to connect to ") + connection->peerText_ + ": " +
                             SystemErrorText(outcome.error);
        }
        delete connection;
        return nullptr;
    }
    connection->replyExpected_ = true;
    if (readGreeting)
        connection->ReadReply(greetingCompletion);
    return connection;
}

QELTCPConnection::QELTCPConnection()
    : socket_(kInvalidSocket),
      replyCode_(0),
      replyExpected_(true),
      continuation_(false),
      limits_(GetNetworkLimits()) {}

QELTCPConnection::~QELTCPConnection() {
    if (socket_ != kInvalidSocket) {
        SocketClose(socket_);
        socket_ = kInvalidSocket;
    }
    StopSocketLibrary();
}

bool QELTCPConnection::Send(const QELString &text) {
    lastError_.clear();
    bool sent = true;
    const char *bytes = text.text();
    uint32_t offset = 0;
    while (offset < text.length()) {
        uint32_t chunk = text.length() - offset;
        if (chunk > kSendChunk)
            chunk = kSendChunk;
        SocketResult outcome = SocketSend(socket_, bytes + offset, chunk, limits_.sendMilliseconds);
        if (outcome.status == kSocketTimedOut) {
            lastError_ = QELString("server accepted no data within ") + DescribeMilliseconds(limits_.sendMilliseconds);
            sent = false;
            break;
        }
        if (outcome.status != kSocketDone) {
            lastError_ = QELString("sending to ") + peerText_ + " failed: " + SystemErrorText(outcome.error);
            sent = false;
            break;
        }
        offset += static_cast<uint32_t>(outcome.count);
    }
    replyExpected_ = true;
    continuation_ = false;
    return sent;
}

void QELTCPConnection::ExpectReply(bool flag) {
    replyExpected_ = flag;
    continuation_ = flag;
}

int32_t QELTCPConnection::ParseReplyCode(const char *text, uint32_t length, uint32_t *consumed) {
    uint32_t window = length < kReplyCodeWindow ? length : kReplyCodeWindow;
    uint32_t position = 0;
    while (position < window && IsBlank(text[position]))
        ++position;
    bool leadingCode = position < window && IsDigit(text[position]);
    if (!leadingCode) {
        while (position < window && !IsBlank(text[position]))
            ++position;
        while (position < window && IsBlank(text[position]))
            ++position;
    }
    int32_t code = 0;
    while (position < window && IsDigit(text[position])) {
        int32_t digit = text[position] - '0';
        if (code > (INT32_MAX - digit) / 10)
            break;  // one more digit would overflow: the code ends here
        code = code * 10 + digit;
        ++position;
    }
    if (consumed != nullptr)
        *consumed = leadingCode ? position : 0;
    return code;
}

bool QELTCPConnection::ReadReply(QELReplyCompletion *completion) {
    if (socket_ == kInvalidSocket || !replyExpected_)
        return false;
    replyText_.clear();
    lastError_.clear();
    QELString received;
    bool failed = false;
    // Without a test (or once the test cannot tell), a pause ends the reply.
    bool pauseEnds = completion == nullptr;
    const uint64_t start = MonotonicMilliseconds();
    const uint64_t firstByteDeadline = start + limits_.firstByteMilliseconds;
    const uint64_t replyDeadline = start + limits_.replyMilliseconds;
    char piece[kReceiveSize];
    for (;;) {
        uint64_t now = MonotonicMilliseconds();
        bool waitingForFirstByte = received.isEmpty();
        uint64_t deadline = replyDeadline;
        if (waitingForFirstByte && firstByteDeadline < deadline)
            deadline = firstByteDeadline;
        bool quietDecides = false;
        if (!waitingForFirstByte && pauseEnds && now + limits_.quietMilliseconds < deadline) {
            deadline = now + limits_.quietMilliseconds;
            quietDecides = true;
        }
        SocketResult waited = {kSocketTimedOut, 0, 0};
        if (now < deadline)
            waited = SocketWaitReadable(socket_, static_cast<uint32_t>(deadline - now));
        if (waited.status == kSocketTimedOut) {
            if (quietDecides)
                break;  // the line went quiet: the reply is over
            failed = true;
            if (waitingForFirstByte)
                lastError_ = QELString("no reply from ") + peerText_ + " within " +
                             DescribeMilliseconds(limits_.firstByteMilliseconds < limits_.replyMilliseconds
                                                      ? limits_.firstByteMilliseconds
                                                      : limits_.replyMilliseconds);
            else
                lastError_ = QELString("reply from ") + peerText_ + " not complete within " +
                             DescribeMilliseconds(limits_.replyMilliseconds);
            break;
        }
        if (waited.status != kSocketDone) {
            failed = true;
            lastError_ = QELString("waiting for ") + peerText_ + " failed: " + SystemErrorText(waited.error);
            break;
        }
        // Never more than one byte beyond the cap, so that an oversized reply is known
        // without holding more of it.
        uint64_t room = static_cast<uint64_t>(limits_.replyByteCap) - received.length() + 1;
        size_t want = room < kReceiveSize ? static_cast<size_t>(room) : kReceiveSize;
        SocketResult outcome = SocketReceive(socket_, piece, want);
        if (outcome.status == kSocketClosed)
            break;  // the peer's close ends the reply normally
        if (outcome.status != kSocketDone) {
            failed = true;
            lastError_ = QELString("receiving from ") + peerText_ + " failed: " + SystemErrorText(outcome.error);
            break;
        }
        if (outcome.count == 0)
            continue;  // readable but nothing there after all
        received.append(piece, static_cast<uint32_t>(outcome.count));
        if (received.length() > limits_.replyByteCap) {
            failed = true;
            lastError_ = QELString("reply from ") + peerText_ + " larger than " +
                         IntegerToText(limits_.replyByteCap) + " bytes";
            break;
        }
        if (completion != nullptr) {
            QELReplyCompletion::Verdict verdict = completion->examine(received.text(), received.length());
            if (verdict == QELReplyCompletion::kComplete)
                break;
            pauseEnds = verdict == QELReplyCompletion::kUnknown;
        }
    }
    if (!continuation_) {
        uint32_t consumed = 0;
        replyCode_ = ParseReplyCode(received.text(), received.length(), &consumed);
        if (consumed > 0)
            received.erase(0, consumed);
    }
    replyText_ = received;
    replyExpected_ = false;
    continuation_ = false;
    return !failed && !replyText_.isEmpty();
}
