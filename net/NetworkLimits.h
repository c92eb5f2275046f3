// NetworkLimits.h: every time limit and byte cap of the network clients, with their
// defaults in this one place. Hosts and tests may change them while the module runs.
#pragma once

#include <cstdint>

#include "foundation/String.h"

struct QELNetworkLimits {
    uint32_t connectMilliseconds;    // opening a connection
    uint32_t sendMilliseconds;       // the peer accepting the next piece of a send
    uint32_t firstByteMilliseconds;  // the first byte of a reply
    uint32_t replyMilliseconds;      // a whole reply, from the start of the read
    uint32_t quietMilliseconds;      // the silence that ends a reply of unknown form
    uint32_t replyByteCap;           // a reply read without a cap of its own
    uint32_t httpResponseByteCap;    // an HTTP response, header block included
    uint32_t pop3RetrievalByteCap;   // one POP3 retrieval, status line included
    uint32_t pop3ListingByteCap;     // one POP3 listing of the whole mailbox (UIDL, LIST)
    uint32_t smtpReplyByteCap;       // one SMTP reply
    uint32_t smtpVerdictMilliseconds;  // the SMTP server's answer to the end of a message text
    uint32_t tlsHandshakeMilliseconds;  // a whole TLS handshake, certificate checks included
    uint32_t stopSMTPMilliseconds;   // an SMTP dialogue, once the module is stopping
    uint32_t stopMilliseconds;       // any other connection, once the module is stopping
};

// 15 s to connect, 30 s for a send to progress and for a first byte, 120 s for a whole
// reply, 0.5 s of silence; 1 MB for a reply in general, 16 MB for an HTTP response,
// 64 MB for a POP3 retrieval, 16 MB for a POP3 listing (some 200,000 messages even with
// the longest identifiers) and 64 KB for an SMTP reply; 600 s for an SMTP server to
// answer the end of a message text (it may be checking the whole message meanwhile); 15 s
// for a TLS handshake. Once the module is stopping, an SMTP dialogue gives up 10 s after
// the stop began and any other connection 40 s after it, so that delivery jobs (their
// status posts included) end well within the 60 s that the module's termination waits.
extern const QELNetworkLimits kDefaultNetworkLimits;

// The limits in force; a connection takes a copy when it is opened.
QELNetworkLimits GetNetworkLimits();
void SetNetworkLimits(const QELNetworkLimits &limits);
void ResetNetworkLimits();

// A time limit as people read it: "30 s" for whole seconds, else "300 ms".
QELString DescribeMilliseconds(uint32_t milliseconds);

// The module's stop. BeginNetworkStop marks the moment the module's termination begins
// (later calls keep the first moment); from then on every wait of a connection ends by
// NetworkStopDeadline of its stop limit, failing with a text that says the module is
// stopping. EndNetworkStop gives every wait its own limits back.
void BeginNetworkStop();
void EndNetworkStop();
// The monotonic time (MonotonicMilliseconds) by which a wait under this stop limit must
// end; UINT64_MAX while the module is not stopping.
uint64_t NetworkStopDeadline(uint32_t stopLimitMilliseconds);
