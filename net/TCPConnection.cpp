// TCPConnection.cpp: the counted socket library, bounded name lookups, connection opening,
// sends in 4096-byte pieces and the bounded reply read, received straight into the reply's
// storage, with its leading-code parsing.
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

// Makes room at the end of received for the next read and returns how many bytes it may
// take: all of want (the bytes missing up to the reply's end or the cap) once the reply's
// length is known, the storage then growing once to hold them; otherwise all the free
// room, the storage doubling whenever less than kReceiveSize bytes are free (but never
// beyond want).
uint32_t RoomForNextRead(QELString &received, uint32_t want, bool lengthKnown) {
    const uint32_t length = received.length();
    uint32_t free = received.capacity() - 1 - length;
    if (lengthKnown) {
        if (free < want)
            received.reserve(length + want);
        return want;
    }
    if (free < QELTCPConnection::kReceiveSize) {
        uint64_t target = static_cast<uint64_t>(received.capacity()) * 2;
        if (target < static_cast<uint64_t>(length) + QELTCPConnection::kReceiveSize)
            target = static_cast<uint64_t>(length) + QELTCPConnection::kReceiveSize;
        if (target > static_cast<uint64_t>(length) + want)
            target = static_cast<uint64_t>(length) + want;
        received.reserve(static_cast<uint32_t>(target));
        free = received.capacity() - 1 - length;
    }
    return free < want ? free : want;
}

// Where the bytes of a reply must stop: one byte beyond the cap, or the reply's end when
// its length is known (expected, 0 when not) and comes first.
uint64_t ReplyEnd(uint32_t cap, uint64_t expected) {
    uint64_t end = static_cast<uint64_t>(cap) + 1;
    return expected != 0 && expected < end ? expected : end;
}

// Moves the first headLength bytes of received into head; received keeps the rest, in
// storage sized for the bytes up to end (the reply's end counted from its start; 0 when
// unknown: then for the rest that has arrived). Only the bytes after the head that have
// already arrived are copied.
void KeepHeadApart(QELString &received, uint32_t headLength, uint64_t end, QELString *head) {
    *head = received.substring(0, headLength);
    const uint32_t arrived = received.length() - headLength;
    uint64_t size = end > headLength ? end - headLength : 0;
    if (size < arrived)
        size = arrived;
    QELString rest;
    rest.reserve(static_cast<uint32_t>(size));
    rest.append(received.text() + headLength, arrived);
    received = std::move(rest);
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
    const uint32_t limit = connection->untilStop(connection->limits_.connectMilliseconds);
    SocketResult outcome = {kSocketTimedOut, 0, 0};
    if (limit != 0)
        outcome = SocketConnect(SocketAddressOf(address), port, limit, &connection->socket_);
    if (outcome.status != kSocketDone) {
        if (errorText != nullptr) {
            if (outcome.status == kSocketTimedOut && limit < connection->limits_.connectMilliseconds)
                *errorText = QELString("gave up connecting to ") + connection->peerText_ +
                             ": the module is stopping";
            else if (outcome.status == kSocketTimedOut)
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
      limits_(GetNetworkLimits()),
      stopLimit_(limits_.stopMilliseconds) {}

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
        const uint32_t wait = untilStop(limits_.sendMilliseconds);
        if (wait == 0) {
            sent = false;
            break;
        }
        SocketResult outcome = sendSome(bytes + offset, chunk, wait);
        if (outcome.status == kSocketTimedOut && wait < limits_.sendMilliseconds) {
            lastError_ = QELString("gave up sending to ") + peerText_ + ": the module is stopping";
            sent = false;
            break;
        }
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
    const uint32_t limit = untilStop(limits_.tlsHandshakeMilliseconds);
    QELOwned<QELTLSSession> session(new QELTLSSession());
    if (limit == 0 || !session->Handshake(socket_, hostName, caFile, peerText_, limit)) {
        if (limit != 0)
            lastError_ = limit < limits_.tlsHandshakeMilliseconds && untilStop(1) == 0
                             ? QELString("gave up the TLS handshake with ") + peerText_ + ": the module is stopping"
                             : session->ErrorText();
        // Nothing may follow a failed handshake, least of all in plain text.
        session.reset();
        SocketClose(socket_);
        socket_ = kInvalidSocket;
        return false;
    }
    tls_ = std::move(session);
    return true;
}

uint32_t QELTCPConnection::untilStop(uint32_t milliseconds) {
    const uint64_t stopAt = NetworkStopDeadline(stopLimit_);
    if (stopAt == UINT64_MAX)
        return milliseconds;
    const uint64_t now = MonotonicMilliseconds();
    if (now >= stopAt) {
        lastError_ = QELString("gave up waiting for ") + peerText_ + ": the module is stopping";
        return 0;
    }
    return stopAt - now < milliseconds ? static_cast<uint32_t>(stopAt - now) : milliseconds;
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
    replyHead_.clear();
    replyText_.clear();
    lastError_.clear();
    // The reply so far is replyHead_ (once the test has told the head apart) followed by
    // received (all of it before that).
    QELString received;
    bool failed = false;
    // Without a test (or once the test cannot tell), a pause ends the reply.
    bool pauseEnds = completion == nullptr;
    // Whether the test still looks at the bytes: not once it has told the head apart.
    bool examining = completion != nullptr;
    // The reply's whole length once the test tells it; 0 while unknown.
    uint64_t expected = 0;
    const uint32_t cap = limits_.replyByteCap < kLargestReply ? limits_.replyByteCap : kLargestReply;
    const uint64_t start = MonotonicMilliseconds();
    const uint64_t firstByteDeadline = start + limits_.firstByteMilliseconds;
    const uint64_t replyDeadline = start + limits_.replyMilliseconds;
    for (;;) {
        const uint64_t held = static_cast<uint64_t>(replyHead_.length()) + received.length();
        uint64_t now = MonotonicMilliseconds();
        bool waitingForFirstByte = held == 0;
        uint64_t deadline = replyDeadline;
        if (waitingForFirstByte && firstByteDeadline < deadline)
            deadline = firstByteDeadline;
        bool quietDecides = false;
        if (!waitingForFirstByte && pauseEnds && now + limits_.quietMilliseconds < deadline) {
            deadline = now + limits_.quietMilliseconds;
            quietDecides = true;
        }
        // The wait goes in short slices, so that a stop of the module ends it soon.
        SocketResult waited = {kSocketTimedOut, 0, 0};
        bool stopped = false;
        while (now < deadline) {
            const uint64_t left = deadline - now;
            const uint32_t slice = untilStop(left < kStopCheckMilliseconds ? static_cast<uint32_t>(left)
                                                                            : kStopCheckMilliseconds);
            if (slice == 0) {
                stopped = true;
                break;
            }
            waited = waitReadable(slice);
            if (waited.status != kSocketTimedOut)
                break;
            now = MonotonicMilliseconds();
        }
        if (stopped) {
            failed = true;  // lastError_ says why
            break;
        }
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
        // without holding more of it, and never beyond the reply's known end.
        const uint64_t end = ReplyEnd(cap, expected);
        if (end <= held)
            break;  // the reply already holds all it can
        const uint32_t length = received.length();
        const uint32_t room = RoomForNextRead(received, static_cast<uint32_t>(end - held), expected != 0);
        char *storage = received.beginWrite(length + room);
        SocketResult outcome = receiveSome(storage + length, room);
        const uint32_t count = outcome.status == kSocketDone ? static_cast<uint32_t>(outcome.count) : 0;
        received.endWrite(static_cast<int32_t>(length + count));
        if (outcome.status == kSocketClosed) {
            // The peer's close ends the reply normally, unless the reply told a length
            // that has not arrived: then it was cut short.
            if (expected != 0 && held < expected) {
                failed = true;
                lastError_ = QELString("reply from ") + peerText_ + " ended after " +
                             IntegerToText(static_cast<uint32_t>(held)) + " bytes, before its announced length";
            }
            break;
        }
        if (outcome.status != kSocketDone) {
            failed = true;
            lastError_ = QELString("receiving from ") + peerText_ + " failed: " + failureText(outcome);
            break;
        }
        if (count == 0)
            continue;  // readable but nothing there after all
        if (held + count > cap) {
            failed = true;
            lastError_ = QELString("reply from ") + peerText_ + " larger than " + IntegerToText(cap) + " bytes";
            break;
        }
        if (expected != 0 && held + count >= expected)
            break;  // the reply's known length has arrived
        if (!examining)
            continue;
        QELReplyCompletion::Verdict verdict = completion->examine(received.text(), received.length());
        expected = completion->expectedLength();
        const uint32_t head = completion->headLength();
        if (head != 0 && head <= received.length()) {
            KeepHeadApart(received, head, expected != 0 ? ReplyEnd(cap, expected) : 0, &replyHead_);
            examining = false;
        }
        if (verdict == QELReplyCompletion::kComplete)
            break;
        pauseEnds = verdict == QELReplyCompletion::kUnknown;
    }
    // A read that came before the length was known may hold bytes beyond the reply's end.
    const uint64_t held = static_cast<uint64_t>(replyHead_.length()) + received.length();
    if (expected != 0 && held > expected)
        received.dropLast(static_cast<uint32_t>(held - expected));
    if (!continuation_) {
        // The code comes from the reply's first bytes, wherever they are kept.
        char window[kReplyCodeWindow + 1];
        uint32_t windowLength = replyHead_.copyTo(window, sizeof window);
        windowLength += received.copyTo(window + windowLength, sizeof window - windowLength);
        uint32_t consumed = 0;
        replyCode_ = ParseReplyCode(window, windowLength, &consumed);
        const uint32_t fromHead = consumed < replyHead_.length() ? consumed : replyHead_.length();
        if (fromHead > 0)
            replyHead_.erase(0, fromHead);
        if (consumed > fromHead)
            received.erase(0, consumed - fromHead);
    }
    replyText_ = received;
    replyExpected_ = false;
    continuation_ = false;
    return !failed && !(replyHead_.isEmpty() && replyText_.isEmpty());
}
