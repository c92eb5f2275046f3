// NetworkLimits.cpp: the defaults of the network limits and the module-wide copy in
// force, kept in atomics so that delivery threads read them while a test changes them;
// and the moment the module's stop began.
#include "net/NetworkLimits.h"

#include <atomic>

#include "foundation/NumberText.h"
#include "foundation/String.h"
#include "platform/Clock.h"

const QELNetworkLimits kDefaultNetworkLimits = {
    15000,              // connect
    30000,              // send progress
    30000,              // first byte
    120000,             // whole reply
    500,                // quiet interval
    1024u * 1024u,      // reply in general
    16u * 1024u * 1024u,  // HTTP response
    64u * 1024u * 1024u,  // POP3 retrieval
    16u * 1024u * 1024u,  // POP3 listing
    64u * 1024u,        // SMTP reply
    600000,             // SMTP verdict on a message text
    15000,              // TLS handshake
    10000,              // an SMTP dialogue after the stop began
    40000,              // any other connection after the stop began
};

namespace {

struct AtomicLimits {
    std::atomic<uint32_t> connectMilliseconds{kDefaultNetworkLimits.connectMilliseconds};
    std::atomic<uint32_t> sendMilliseconds{kDefaultNetworkLimits.sendMilliseconds};
    std::atomic<uint32_t> firstByteMilliseconds{kDefaultNetworkLimits.firstByteMilliseconds};
    std::atomic<uint32_t> replyMilliseconds{kDefaultNetworkLimits.replyMilliseconds};
    std::atomic<uint32_t> quietMilliseconds{kDefaultNetworkLimits.quietMilliseconds};
    std::atomic<uint32_t> replyByteCap{kDefaultNetworkLimits.replyByteCap};
    std::atomic<uint32_t> httpResponseByteCap{kDefaultNetworkLimits.httpResponseByteCap};
    std::atomic<uint32_t> pop3RetrievalByteCap{kDefaultNetworkLimits.pop3RetrievalByteCap};
    std::atomic<uint32_t> pop3ListingByteCap{kDefaultNetworkLimits.pop3ListingByteCap};
    std::atomic<uint32_t> smtpReplyByteCap{kDefaultNetworkLimits.smtpReplyByteCap};
    std::atomic<uint32_t> smtpVerdictMilliseconds{kDefaultNetworkLimits.smtpVerdictMilliseconds};
    std::atomic<uint32_t> tlsHandshakeMilliseconds{kDefaultNetworkLimits.tlsHandshakeMilliseconds};
    std::atomic<uint32_t> stopSMTPMilliseconds{kDefaultNetworkLimits.stopSMTPMilliseconds};
    std::atomic<uint32_t> stopMilliseconds{kDefaultNetworkLimits.stopMilliseconds};
};

// The monotonic time the module's stop began; 0 while it is not stopping.
std::atomic<uint64_t> gStopBegan{0};

// Built on first use, so that no other static object can read it before it exists.
AtomicLimits &Current() {
    static AtomicLimits limits;
    return limits;
}

}  // namespace

QELNetworkLimits GetNetworkLimits() {
    AtomicLimits &current = Current();
    QELNetworkLimits limits;
    limits.connectMilliseconds = current.connectMilliseconds.load(std::memory_order_relaxed);
    limits.sendMilliseconds = current.sendMilliseconds.load(std::memory_order_relaxed);
    limits.firstByteMilliseconds = current.firstByteMilliseconds.load(std::memory_order_relaxed);
    limits.replyMilliseconds = current.replyMilliseconds.load(std::memory_order_relaxed);
    limits.quietMilliseconds = current.quietMilliseconds.load(std::memory_order_relaxed);
    limits.replyByteCap = current.replyByteCap.load(std::memory_order_relaxed);
    limits.httpResponseByteCap = current.httpResponseByteCap.load(std::memory_order_relaxed);
    limits.pop3RetrievalByteCap = current.pop3RetrievalByteCap.load(std::memory_order_relaxed);
    limits.pop3ListingByteCap = current.pop3ListingByteCap.load(std::memory_order_relaxed);
    limits.smtpReplyByteCap = current.smtpReplyByteCap.load(std::memory_order_relaxed);
    limits.smtpVerdictMilliseconds = current.smtpVerdictMilliseconds.load(std::memory_order_relaxed);
    limits.tlsHandshakeMilliseconds = current.tlsHandshakeMilliseconds.load(std::memory_order_relaxed);
    limits.stopSMTPMilliseconds = current.stopSMTPMilliseconds.load(std::memory_order_relaxed);
    limits.stopMilliseconds = current.stopMilliseconds.load(std::memory_order_relaxed);
    return limits;
}

void SetNetworkLimits(const QELNetworkLimits &limits) {
    AtomicLimits &current = Current();
    current.connectMilliseconds.store(limits.connectMilliseconds, std::memory_order_relaxed);
    current.sendMilliseconds.store(limits.sendMilliseconds, std::memory_order_relaxed);
    current.firstByteMilliseconds.store(limits.firstByteMilliseconds, std::memory_order_relaxed);
    current.replyMilliseconds.store(limits.replyMilliseconds, std::memory_order_relaxed);
    current.quietMilliseconds.store(limits.quietMilliseconds, std::memory_order_relaxed);
    current.replyByteCap.store(limits.replyByteCap, std::memory_order_relaxed);
    current.httpResponseByteCap.store(limits.httpResponseByteCap, std::memory_order_relaxed);
    current.pop3RetrievalByteCap.store(limits.pop3RetrievalByteCap, std::memory_order_relaxed);
    current.pop3ListingByteCap.store(limits.pop3ListingByteCap, std::memory_order_relaxed);
    current.smtpReplyByteCap.store(limits.smtpReplyByteCap, std::memory_order_relaxed);
    current.smtpVerdictMilliseconds.store(limits.smtpVerdictMilliseconds, std::memory_order_relaxed);
    current.tlsHandshakeMilliseconds.store(limits.tlsHandshakeMilliseconds, std::memory_order_relaxed);
    current.stopSMTPMilliseconds.store(limits.stopSMTPMilliseconds, std::memory_order_relaxed);
    current.stopMilliseconds.store(limits.stopMilliseconds, std::memory_order_relaxed);
}

void ResetNetworkLimits() { SetNetworkLimits(kDefaultNetworkLimits); }

void BeginNetworkStop() {
    uint64_t none = 0;
    uint64_t now = MonotonicMilliseconds();
    gStopBegan.compare_exchange_strong(none, now == 0 ? 1 : now);
}

void EndNetworkStop() { gStopBegan.store(0); }

uint64_t NetworkStopDeadline(uint32_t stopLimitMilliseconds) {
    const uint64_t began = gStopBegan.load();
    return began == 0 ? UINT64_MAX : began + stopLimitMilliseconds;
}

QELString DescribeMilliseconds(uint32_t milliseconds) {
    if (milliseconds % 1000u == 0)
        return IntegerToText(milliseconds / 1000u) + " s";
    return IntegerToText(milliseconds) + " ms";
}
