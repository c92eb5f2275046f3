// CallDecoder.h: decoding of one service call's raw arguments by the call conventions,
// the 'MBtS' answers, the injected faults and the record of the call.
#ifndef VELQUOR_HOST_CALL_DECODER_H
#define VELQUOR_HOST_CALL_DECODER_H

#include "host/lib/FaultPlan.h"
#include "host/lib/ServiceCall.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velquor::host {

class HostRequest;

// The decode* operations return false after noting a protocol violation; the service
// then ends with violation(). finish() records the call on the request and passes the
// answer through. While the request is not recording, nothing but the violations is
// written down (no argument is copied or quoted). No decode reads a text beyond the
// count, length or capacity the module declared.
class CallDecoder {
public:
    CallDecoder(HostRequest &request, ServiceCall::Channel channel, uint32_t selector);

    // A NUL-terminated text whose count (behind countPointer) is its length + 1; a text
    // without its terminator within the count is a violation.
    bool decodeText(const char *what, void *text, void *countPointer, std::string *out);
    // As decodeText, but a null text (with any count) reads as "".
    bool decodeOptionalText(const char *what, void *text, void *countPointer, std::string *out);
    // A text of exactly the given length, without terminator (WriteText): a view of the
    // module's bytes, valid while the call runs (nothing is copied unless recording).
    bool decodeExactText(const char *what, void *text, void *lengthPointer, std::string_view *out);
    // An in/out buffer: the text it holds, NUL-terminated within the capacity behind sizePointer.
    bool decodeInOutText(const char *what, void *buffer, void *sizePointer, std::string *out);
    // A 32-bit value behind a pointer.
    bool decodeNumber(const char *what, void *pointer, uint32_t *out);
    // An output buffer and its capacity.
    bool decodeOutput(const char *what, void *buffer, void *sizePointer);

    // The name the call is about (also what fault rules with a name match).
    void setName(const std::string &name);
    void setValue(const std::string &value);
    void note(const std::string &piece);
    // What the service answered besides the code (shown after "->").
    void noteResult(const std::string &piece);
    // Whether the call is recorded: what is only noted for the record can be skipped.
    bool recording() const { return recording_; }

    // The injected fault for this call, decided once (after setName). The call took its
    // number among all calls of the fault plan when the decoder was made.
    FaultPlan::Decision decision();
    // True when the call is to be refused: a refusal rule, or an 'MBtS' rule for a
    // service that has no output buffer. The answer code is then refusalCode().
    bool refused(bool hasOutput);
    int32_t refusalCode();
    // For a service without output buffer: the answer when the fault plan refuses the call.
    std::optional<int32_t> refusal();

    // Writes the answer into an output buffer by the 'MBtS' rule (and the forced 'MBtS'
    // of the fault plan); the answer code.
    int32_t answerText(const std::string &answer, void *buffer, void *sizePointer);
    // Sets an output size to 0 (and the buffer to "") and answers code.
    int32_t failOutput(int32_t code, void *buffer, void *sizePointer);

    int32_t violation(const std::string &problem);
    int32_t finish(int32_t answer);

    HostRequest &request() { return request_; }

private:
    // Notes what="value" (and sizeName=size) for the record.
    void noteArgument(const char *what, const std::string &value, const char *sizeName = nullptr, uint32_t size = 0);

    HostRequest &request_;
    bool recording_;
    ServiceCall record_;
    std::string arguments_;
    std::string results_;
    uint32_t ordinal_;  // the call's number among the request's calls (FaultPlan::countCall)
    bool decided_ = false;
    FaultPlan::Decision decision_;
};

// The code as text: "0", a four-character code, or a number.
std::string codeText(int32_t code);

} // namespace velquor::host

#endif
