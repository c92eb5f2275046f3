// TCPConnection.cpp: the counted socket library, bounded name lookups, connection opening,
// sends in 4096-byte pieces and the bounded reply read with its leading-code parsing.
#include "net/TCPConnection.h"

#include <cstring>
#include <mutex>
#include <utility>

#include "foundation/NumberText.h"
#include "net/TLSSession.h"
#include "platform/Clock.h"

namespace {

// How many users the socket library has: every open connection, and every lookup while it
// runs. The library starts with the first and stops after the last, so that no user
// stops it under another.
std::mutex gSocketLibraryMutex;
uint32_t gSocketLibraryUsers = 0;

// One use of the socket library for as long as it lives.
class SocketLibraryUse {
public:
    SocketLibraryUse() : started_(StartSocketLibrary()) {}
    ~SocketLibraryUse() {
        if (started_)
            StopSocketLibrary();
    }
    SocketLibraryUse(const SocketLibraryUse &) = delete;
    SocketLibraryUse &operator=(const SocketLibraryUse &) = delete;
    bool started() const { return started_; }

private:
    bool started_;
};

constexpr uint32_t kHostNameBufferSize = 128;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

QELString SystemErrorText(int error) {
    char text[160];
    SocketErrorText(error, text, sizeof text);
    return QELString(text);
}

QELString PeerText(const QELIPAddress &address, uint16_t port) {
    return address.hostText() + ":" + IntegerToText(port);
}

// The bytes of text up to its first NUL are all of it (a name with a NUL inside is
// refused rather than looked up cut short).
bool HasNoNul(const QELString &text) {
    for (uint32_t i = 0; i < text.length(); ++i)
        if (text[i] == 0)
            return false;
    return true;
}

QELIPAddress AddressOf(const SocketAddress &address) {
    if (address.family == kSocketIPv6)
        return QELIPAddress::IPv6(address.bytes);
    const uint8_t *b = address.bytes;
    return QELIPAddress((uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3]);
}

SocketAddress SocketAddressOf(const QELIPAddress &address) {
    SocketAddress result{};
    if (address.isIPv6()) {
        result.family = kSocketIPv6;
        std::memcpy(result.bytes, address.ipv6Bytes(), 16);
    } else {
        result.family = kSocketIPv4;
        uint32_t value = address.address();
        for (int i = 0; i < 4; ++i)
            result.bytes[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
    }
    return result;
}

// Looks the local machine's name up within the connect limit; canonical receives its
// official name.
bool LookUpLocalHost(char *canonical, size_t capacity, SocketAddress *address) {
    SocketLibraryUse use;
    char name[kHostNameBufferSize];
    if (!use.started() || !SocketLocalHostName(name, sizeof name))
        return false;
    return SocketResolve(name, GetNetworkLimits().connectMilliseconds, address, canonical, capacity).status ==
           kSocketDone;
}

}  // namespace

bool StartSocketLibrary() {
    std::lock_guard<std::mutex> lock(gSocketLibraryMutex);
    if (gSocketLibraryUsers == 0 && !SocketLibraryStartup()) {
        SocketLibraryCleanup();
        return false;
    }
    ++gSocketLibraryUsers;
    return true;
}

void StopSocketLibrary() {
    std::lock_guard<std::mutex> lock(gSocketLibraryMutex);
    if (gSocketLibraryUsers == 0)
        return;
    if (--gSocketLibraryUsers == 0)
        SocketLibraryCleanup();
}

bool SocketLibraryStarted() {
    std::lock_guard<std::mutex> lock(gSocketLibraryMutex);
    return gSocketLibraryUsers > 0;
}

bool SplitHostAndPort(const QELString &text, uint16_t defaultPort, QELString *name, uint16_t *port) {
    QELString hostName = text;
    uint32_t colon = 0;
    bool hasPort = false;
    if (text.startsWith("[")) {
        // An IPv6 address in brackets, then nothing or ":port".
        uint32_t close;
        if (!text.find("]", &close) || close < 2)
            return false;
        hostName = text.substring(1, close - 1);
        if (close + 1 < text.length()) {
            if (text[close + 1] != ':')
                return false;
            colon = close + 1;
            hasPort = true;
        }
    } else if (text.find(":", &colon)) {
        if (colon == 0)
            return false;
        hostName = text.substring(0, colon);
        hasPort = true;
    }
    if (hostName.isEmpty())
        return false;
    uint16_t value = defaultPort;
    if (hasPort) {
        uint32_t digits = text.length() - colon - 1;
        if (digits == 0 || digits > 5)
            return false;
        uint32_t number = 0;
        for (uint32_t i = colon + 1; i < text.length(); ++i) {
            if (!IsDigit(text[i]))
                return false;
            number = number * 10 + static_cast<uint32_t>(text[i] - '0');
        }
        if (number == 0 || number > 65535)
            return false;
        value = static_cast<uint16_t>(number);
    }
    if (name != nullptr)
        *name = hostName;
    if (port != nullptr)
        *port = value;
    return true;
}

bool ResolveHostName(const QELString &name, int32_t port, QELIPAddress &address, uint16_t &portOut,
                     QELString *errorText) {
    SocketLibraryUse use;
    QELString hostName;
    uint16_t hostPort;
    SocketResult outcome = {kSocketNotFound, 0, 0};
    const uint32_t limit = GetNetworkLimits().connectMilliseconds;
    if (use.started() && SplitHostAndPort(name, static_cast<uint16_t>(port), &hostName, &hostPort) &&
        HasNoNul(hostName)) {
        portOut = hostPort;
        SocketAddress found{};
        outcome = SocketResolve(hostName.text(), limit, &found, nullptr, 0);
        if (outcome.status == kSocketDone) {
            address = AddressOf(found);
            return true;
        }
    }
    if (errorText != nullptr) {
        *errorText = QELString("the host name \"") + name + "\"";
        if (outcome.status == kSocketTimedOut)
            errorText->append(QELString(" was not looked up within ") + DescribeMilliseconds(limit));
        else if (outcome.status == kSocketFailed)
            errorText->append(QELString(" could not be looked up: ") + SystemErrorText(outcome.error));
        else
            errorText->append(" was not found");
    }
    return false;
}

bool GetLocalHostName(QELString &text) {
    char canonical[kHostNameBufferSize * 2];
    SocketAddress address;
    if (!LookUpLocalHost(canonical, sizeof canonical, &address))
        return false;
    text = canonical;
    return true;
}

bool GetLocalAddress(QELIPAddress &address) {
    char canonical[kHostNameBufferSize * 2];
    SocketAddress found;
    if (!LookUpLocalHost(canonical, sizeof canonical, &found))
        return false;
    address = AddressOf(found);
    return true;
}

QELOwned<QELTCPConnection> OpenConnection(const QELIPAddress &address, uint16_t port, bool readGreeting,
                                           QELReplyCompletion *greetingCompletion, QELString *errorText) {
    QELOwned<QELTCPConnection> connection(new QELTCPConnection());
    connection->peerText_ = PeerText(address, port);
    if (!connection->libraryStarted_) {
        if (errorText != nullptr)
            *errorText = "the system's socket library cannot be used";
        return QELOwned<QELTCPConnection>();
    }
    SocketResult outcome = SocketConnect(SocketAddressOf(address), port, connection->limits_.connectMilliseconds,
                                         &connection->socket_);
    if (outcome.status != kSocketDone) {
        if (errorText != nullptr) {
            if (outcome.status == kSocketTimedOut)
                *errorText = QELString("no connection to ") + connection->peerText_ + " within " +
                             DescribeMilliseconds(connection->limits_.connectMilliseconds);
            else
                *errorText = QELString("unable to connect to ") + connection->peerText_ + ": " +
                             SystemErrorText(outcome.error);
        }
        return QELOwned<QELTCPConnection>();
    }
    connection->replyExpected_ = true;
    if (readGreeting)
        connection->ReadReply(greetingCompletion);
    return connection;
}

QELTCPConnection::QELTCPConnection()
    : libraryStarted_(StartSocketLibrary()),
      socket_(kInvalidSocket),
      replyCode_(0),
      replyExpected_(true),
      continuation_(false),
      limits_(GetNetworkLimits()) {}

QELTCPConnection::~QELTCPConnection() {
    if (tls_) {
        tls_->Shutdown();
        tls_.reset();
    }
    if (socket_ != kInvalidSocket) {
        SocketClose(socket_);
        socket_ = kInvalidSocket;
    }
    if (libraryStarted_)
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
        SocketResult outcome = sendSome(bytes + offset, chunk, limits_.sendMilliseconds);
        if (outcome.status == kSocketTimedOut) {
            lastError_ = QELString("server accepted no data within ") + DescribeMilliseconds(limits_.sendMilliseconds);
            sent = false;
            break;
        }
        if (outcome.status != kSocketDone) {
            lastError_ = QELString("sending to ") + peerText_ + " failed: " + failureText(outcome);
            sent = false;
            break;
        }
        offset += static_cast<uint32_t>(outcome.count);
    }
    replyExpected_ = true;
    continuation_ = false;
    return sent;
}

bool QELTCPConnection::StartTLS(const QELString &hostName, const QELString &caFile) {
    lastError_.clear();
    if (socket_ == kInvalidSocket || tls_) {
        lastError_ = tls_ ? QELString("TLS is already in use") : QELString("not connected");
        return false;
    }
    QELOwned<QELTLSSession> session(new QELTLSSession());
    if (!session->Handshake(socket_, hostName, caFile, peerText_, limits_.tlsHandshakeMilliseconds)) {
        lastError_ = session->ErrorText();
        // Nothing may follow a failed handshake, least of all in plain text.
        session.reset();
        SocketClose(socket_);
        socket_ = kInvalidSocket;
        return false;
    }
    tls_ = std::move(session);
    return true;
}

QELString QELTCPConnection::TLSVersion() const { return tls_ ? tls_->ProtocolVersion() : QELString(); }

SocketResult QELTCPConnection::sendSome(const char *bytes, size_t count, uint32_t timeoutMilliseconds) {
    return tls_ ? tls_->Send(bytes, count, timeoutMilliseconds)
                : SocketSend(socket_, bytes, count, timeoutMilliseconds);
}

SocketResult QELTCPConnection::waitReadable(uint32_t timeoutMilliseconds) {
    return tls_ ? tls_->WaitReadable(timeoutMilliseconds) : SocketWaitReadable(socket_, timeoutMilliseconds);
}

SocketResult QELTCPConnection::receiveSome(char *buffer, size_t capacity) {
    return tls_ ? tls_->Receive(buffer, capacity) : SocketReceive(socket_, buffer, capacity);
}

QELString QELTCPConnection::failureText(const SocketResult &outcome) const {
    if (tls_ && outcome.error == QELTLSSession::kTLSError)
        return tls_->ErrorText();
    return SystemErrorText(outcome.error);
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
            waited = waitReadable(static_cast<uint32_t>(deadline - now));
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
            lastError_ = QELString("waiting for ") + peerText_ + " failed: " + failureText(waited);
            break;
        }
        // Never more than one byte beyond the cap, so that an oversized reply is known
        // without holding more of it.
        uint64_t room = static_cast<uint64_t>(limits_.replyByteCap) - received.length() + 1;
        size_t want = room < kReceiveSize ? static_cast<size_t>(room) : kReceiveSize;
        SocketResult outcome = receiveSome(piece, want);
        if (outcome.status == kSocketClosed)
            break;  // the peer's close ends the reply normally
        if (outcome.status != kSocketDone) {
            failed = true;
            lastError_ = QELString("receiving from ") + peerText_ + " failed: " + failureText(outcome);
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
