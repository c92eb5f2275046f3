// CallDecoder.h: decoding of one service call's raw arguments by the call conventions,
// the 'MBtS' answers, the injected faults and the record of the call.
#ifndef VELQUOR_HOST_CALL_DECODER_H
#define VELQUOR_HOST_CALL_DECODER_H

#include "host/lib/FaultPlan.h"
#include "host/lib/ServiceCall.h"

#include <cstdint>
#include <string>

namespace velquor::host {

class HostRequest;

// The decode* operations return false after recording a protocol violation; the service
// then ends with violation(). finish() records the call on the request and passes the
// answer through.
class CallDecoder {
public:
    CallDecoder(HostRequest &request, ServiceCall::Channel channel, uint32_t selector);

    // A NUL-terminated text whose count (behind countPointer) is its length + 1.
    bool decodeText(const char *what, void *text, void *countPointer, std::string *out);
    // As decodeText, but a null text (with any count) reads as "".
    bool decodeOptionalText(const char *what, void *text, void *countPointer, std::string *out);
    // A text of exactly the given length, without terminator (WriteText).
    bool decodeExactText(const char *what, void *text, void *lengthPointer, std::string *out);
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

    // The injected fault for this call, decided once (after setName).
    FaultPlan::Decision decision();
    // True when the call is to be refused: a refusal rule, or an 'MBtS' rule for a
    // service that has no output buffer. The answer code is then refusalCode().
    bool refused(bool hasOutput);
    int32_t refusalCode();

    // Writes the answer into an output buffer by the 'MBtS' rule (and the forced 'MBtS'
    // of the fault plan); the answer code.
    int32_t answerText(const std::string &answer, void *buffer, void *sizePointer);
    // Sets an output size to 0 (and the buffer to "") and answers code.
    int32_t failOutput(int32_t code, void *buffer, void *sizePointer);

    int32_t violation(const std::string &problem);
    int32_t finish(int32_t answer);

    HostRequest &request() { return request_; }

private:
    HostRequest &request_;
    ServiceCall record_;
    std::string arguments_;
    std::string results_;
    bool decided_ = false;
    FaultPlan::Decision decision_;
};

// The code as text: "0", a four-character code, or a number.
std::string codeText(int32_t code);

} // namespace velquor::host

#endif
