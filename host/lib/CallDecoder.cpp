// CallDecoder.cpp: argument decoding, 'MBtS' answers and call records for the services.
// A call's record is written once, when the service has answered.
#include "host/lib/CallDecoder.h"

#include "host/lib/HostRequest.h"
#include "host/lib/HostText.h"

#include <cstring>

namespace velquor::host {

std::string codeText(int32_t code) {
    if (code == 0) {
        return "0";
    }
    uint32_t value = static_cast<uint32_t>(code);
    bool printable = true;
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned char c = static_cast<unsigned char>((value >> shift) & 0xFF);
        printable = printable && c >= 0x20 && c < 0x7F;
    }
    return printable ? "'" + HostText::fourCharCode(value) + "'" : std::to_string(code);
}

CallDecoder::CallDecoder(HostRequest &request, ServiceCall::Channel channel, uint32_t selector)
    : request_(request), recording_(request.recording()), ordinal_(request.faults().countCall()) {
    record_.channel = channel;
    record_.selector = selector;
}

void CallDecoder::noteArgument(const char *what, const std::string &value, const char *sizeName, uint32_t size) {
    if (!recording_) {
        return;
    }
    std::string piece = std::string(what) + "=" + HostText::quoted(value);
    if (sizeName != nullptr) {
        piece += std::string(" ") + sizeName + "=" + std::to_string(size);
    }
    note(piece);
}

bool CallDecoder::decodeText(const char *what, void *text, void *countPointer, std::string *out) {
    if (text == nullptr || countPointer == nullptr) {
        violation(std::string(what) + ": missing text or count pointer");
        return false;
    }
    const char *bytes = static_cast<const char *>(text);
    uint32_t count = 0;
    std::memcpy(&count, countPointer, sizeof count);
    // Nothing beyond the declared count is read: the terminator must lie within it.
    const void *end = std::memchr(bytes, 0, count);
    if (end == nullptr) {
        violation(std::string(what) + ": count " + std::to_string(count) + " for a text of " + std::to_string(count) +
                  " bytes or more, without its terminator (length + 1 expected)");
        return false;
    }
    size_t length = static_cast<size_t>(static_cast<const char *>(end) - bytes);
    out->assign(bytes, length);
    if (count != length + 1) {
        violation(std::string(what) + ": count " + std::to_string(count) + " for a text of " +
                  std::to_string(length) + " bytes (length + 1 expected)");
        return false;
    }
    noteArgument(what, *out);
    return true;
}

bool CallDecoder::decodeOptionalText(const char *what, void *text, void *countPointer, std::string *out) {
    if (text == nullptr) {
        out->clear();
        if (recording_) {
            note(std::string(what) + "=null");
        }
        return true;
    }
    return decodeText(what, text, countPointer, out);
}

bool CallDecoder::decodeExactText(const char *what, void *text, void *lengthPointer, std::string_view *out) {
    if (lengthPointer == nullptr) {
        violation(std::string(what) + ": missing length pointer");
        return false;
    }
    uint32_t length = 0;
    std::memcpy(&length, lengthPointer, sizeof length);
    if (length > 0 && text == nullptr) {
        violation(std::string(what) + ": missing text");
        return false;
    }
    *out = length > 0 ? std::string_view(static_cast<const char *>(text), length) : std::string_view();
    if (recording_) {
        noteArgument(what, std::string(*out), "length", length);
    }
    return true;
}

bool CallDecoder::decodeInOutText(const char *what, void *buffer, void *sizePointer, std::string *out) {
    if (buffer == nullptr || sizePointer == nullptr) {
        violation(std::string(what) + ": missing buffer or size pointer");
        return false;
    }
    uint32_t capacity = 0;
    std::memcpy(&capacity, sizePointer, sizeof capacity);
    const char *bytes = static_cast<const char *>(buffer);
    const void *end = std::memchr(bytes, 0, capacity);
    if (end == nullptr) {
        violation(std::string(what) + ": no terminator within the capacity of " + std::to_string(capacity));
        return false;
    }
    out->assign(bytes, static_cast<const char *>(end) - bytes);
    noteArgument(what, *out, "capacity", capacity);
    return true;
}

bool CallDecoder::decodeNumber(const char *what, void *pointer, uint32_t *out) {
    if (pointer == nullptr) {
        violation(std::string(what) + ": missing pointer");
        return false;
    }
    std::memcpy(out, pointer, sizeof *out);
    if (recording_) {
        note(std::string(what) + "=" + std::to_string(*out));
    }
    return true;
}

bool CallDecoder::decodeOutput(const char *what, void *buffer, void *sizePointer) {
    if (sizePointer == nullptr) {
        violation(std::string(what) + ": missing size pointer");
        return false;
    }
    uint32_t capacity = 0;
    std::memcpy(&capacity, sizePointer, sizeof capacity);
    if (buffer == nullptr && capacity > 0) {
        violation(std::string(what) + ": missing buffer of capacity " + std::to_string(capacity));
        return false;
    }
    if (recording_) {
        note(std::string(what) + " capacity=" + std::to_string(capacity));
    }
    return true;
}

void CallDecoder::setName(const std::string &name) { record_.name = name; }

void CallDecoder::setValue(const std::string &value) {
    if (recording_) {
        record_.value = value;
    }
}

void CallDecoder::note(const std::string &piece) {
    if (!recording_) {
        return;
    }
    if (!arguments_.empty()) {
        arguments_ += ' ';
    }
    arguments_ += piece;
}

void CallDecoder::noteResult(const std::string &piece) {
    if (!recording_) {
        return;
    }
    if (!results_.empty()) {
        results_ += ' ';
    }
    results_ += piece;
}

FaultPlan::Decision CallDecoder::decision() {
    if (!decided_) {
        decision_ = request_.faults().decide(record_.selector, record_.name, ordinal_);
        decided_ = true;
        if (decision_.kind != FaultPlan::Decision::Kind::Serve) {
            note("[fault]");
        }
    }
    return decision_;
}

bool CallDecoder::refused(bool hasOutput) {
    FaultPlan::Decision current = decision();
    if (current.kind == FaultPlan::Decision::Kind::Refuse) {
        return true;
    }
    return current.kind == FaultPlan::Decision::Kind::BufferTooSmall && !hasOutput;
}

int32_t CallDecoder::refusalCode() { return decision().code; }

std::optional<int32_t> CallDecoder::refusal() {
    return refused(false) ? std::optional<int32_t>(refusalCode()) : std::nullopt;
}

int32_t CallDecoder::answerText(const std::string &answer, void *buffer, void *sizePointer) {
    uint32_t capacity = 0;
    std::memcpy(&capacity, sizePointer, sizeof capacity);
    uint32_t needed = static_cast<uint32_t>(answer.size()) + 1;
    bool forced = decision().kind == FaultPlan::Decision::Kind::BufferTooSmall;
    if (forced || buffer == nullptr || capacity < needed) {
        std::memcpy(sizePointer, &needed, sizeof needed);
        if (recording_) {
            noteResult("size=" + std::to_string(needed));
        }
        return static_cast<int32_t>(QEL_ANSWER_BUFFER_TOO_SMALL);
    }
    std::memcpy(buffer, answer.data(), answer.size());
    static_cast<char *>(buffer)[answer.size()] = '\0';
    uint32_t length = needed - 1;
    std::memcpy(sizePointer, &length, sizeof length);
    if (recording_) {
        noteResult("size=" + std::to_string(length) + " value=" + HostText::quoted(answer));
        record_.value = answer;
    }
    return 0;
}

int32_t CallDecoder::failOutput(int32_t code, void *buffer, void *sizePointer) {
    if (sizePointer != nullptr) {
        uint32_t capacity = 0;
        std::memcpy(&capacity, sizePointer, sizeof capacity);
        if (buffer != nullptr && capacity > 0) {
            static_cast<char *>(buffer)[0] = '\0';
        }
        uint32_t zero = 0;
        std::memcpy(sizePointer, &zero, sizeof zero);
    }
    return code;
}

int32_t CallDecoder::violation(const std::string &problem) {
    record_.protocolViolation = true;
    if (recording_) {
        note("[violation: " + problem + "]");
    } else {
        arguments_ = "[violation: " + problem + "]";
    }
    return static_cast<int32_t>(QEL_RESULT_INVALID_PARAMETER);
}

int32_t CallDecoder::finish(int32_t answer) {
    if (!recording_ && !record_.protocolViolation) {
        return answer;
    }
    record_.answer = answer;
    record_.text = HostText::fourCharCode(record_.selector);
    if (!arguments_.empty()) {
        record_.text += " " + arguments_;
    }
    record_.text += " -> " + codeText(answer);
    if (!results_.empty()) {
        record_.text += " " + results_;
    }
    if (record_.protocolViolation) {
        request_.noteViolation(record_.text);
    }
    request_.record(std::move(record_));
    return answer;
}

} // namespace velquor::host
