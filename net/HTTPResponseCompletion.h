// HTTPResponseCompletion.h: tells when an HTTP response has fully arrived: at the end of
// its header block when it has no content, after Content-Length bytes of content, and
// otherwise only at the server's close (a pause never ends it).
#pragma once

#include <cstdint>

#include "net/ReplyCompletion.h"

class QELHTTPResponseCompletion : public QELReplyCompletion {
public:
    // headRequest: the response to a HEAD request, which never has content.
    explicit QELHTTPResponseCompletion(bool headRequest);
    // Interim header blocks (1xx but 101) are passed over; the response that follows them
    // decides. Never answers kUnknown.
    Verdict examine(const char *bytes, uint32_t length) override;
    // Once the final header block has arrived: its end when the response has no content,
    // or the end of its Content-Length bytes of content; 0 while unknown (no block yet,
    // no status line, or no single valid Content-Length: then the close ends it).
    uint64_t expectedLength() const override;
    // The end of the final header block, blank line included, once it has arrived: the
    // content that follows needs no examination.
    uint32_t headLength() const override;

private:
    // Examines the header block [blockStart_, end): its status and its Content-Length.
    void examineFinalBlock(const char *bytes, uint32_t end, uint32_t status);

    bool headRequest_;
    uint32_t blockStart_ = 0;     // start of the header block being looked for
    uint32_t searchFrom_ = 0;     // where the search for its blank line resumes
    bool finalBlockFound_ = false;
    bool noContent_ = false;      // the response ends with its header block
    bool lengthKnown_ = false;
    uint32_t contentStart_ = 0;
    uint32_t contentLength_ = 0;
};
