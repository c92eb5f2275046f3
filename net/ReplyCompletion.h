// ReplyCompletion.h: the tests that tell a connection when a reply is complete for its
// protocol, so that a read ends at once instead of waiting for the line to go quiet.
#pragma once

#include <cstdint>

#include "foundation/Object.h"

// Examines the bytes of one read so far (called after every piece that arrives).
class QELReplyCompletion : public QELObject {
public:
    enum Verdict : uint32_t {
        kIncomplete = 0,  // more is to come: wait for it, however long the pause
        kComplete = 1,    // the reply is whole: the read ends now
        kUnknown = 2,     // the bytes follow no form this test knows: a pause ends the reply
    };
    ~QELReplyCompletion() override;
    virtual Verdict examine(const char *bytes, uint32_t length) = 0;
    // The whole length of the reply once the bytes examined so far tell it (0 while they
    // do not, and for forms that never tell it). The reply ends after that many bytes: the
    // connection sizes its storage for them once and keeps no byte beyond them.
    virtual uint64_t expectedLength() const;
    // The length of the reply's head (such as a header block) once the bytes examined so
    // far tell where it ends and the test needs to see no more of them: the rest is
    // complete at the length above, or at the peer's close when there is none. 0 until
    // then, and for forms without a head. The connection then keeps the head apart,
    // receives the rest into storage of its own and calls examine no more.
    virtual uint32_t headLength() const;
};

// An SMTP reply: lines "ddd-text" continue it, the line "ddd text" (or "ddd" alone)
// ends it once its line end has arrived.
class QELSMTPReplyCompletion : public QELReplyCompletion {
public:
    Verdict examine(const char *bytes, uint32_t length) override;
};

// A POP3 reply: the status line; for a multi-line answer that begins with "+OK", the
// lines up to the first line "." (a negative status is always one line). Bytes after that
// belong to no reply of this command: the reply's length is known once it is whole.
class QELPOP3ReplyCompletion : public QELReplyCompletion {
public:
    explicit QELPOP3ReplyCompletion(bool multiLine) : multiLine_(multiLine) {}
    Verdict examine(const char *bytes, uint32_t length) override;
    // The reply's length once it is whole; 0 before.
    uint64_t expectedLength() const override { return length_; }

private:
    bool multiLine_;
    uint32_t scanFrom_ = 0;  // where the search for the line "." resumes
    uint32_t length_ = 0;
};
