// ServiceCall.h: the record of one service call that a module made to the host: the
// selector, the decoded arguments and the answer, kept for the tests to read.
#ifndef VELQUOR_HOST_SERVICE_CALL_H
#define VELQUOR_HOST_SERVICE_CALL_H

#include <cstdint>
#include <string>

namespace velquor::host {

struct ServiceCall {
    enum class Channel { Page, Database };

    Channel channel = Channel::Page;
    uint32_t selector = 0;
    // The name the call is about (parameter, preference, tag, field, database); "" if none.
    std::string name;
    // The main value: passed in (a text written, a value set) or answered (a value read).
    std::string value;
    // Every decoded argument as "key=value" pieces, then "->" and what was answered,
    // e.g. MTPm name="to" index=0 capacity=32 -> 0 size=9 value="a@b.test".
    std::string text;
    int32_t answer = 0;
    bool protocolViolation = false;  // the arguments broke the call conventions
};

} // namespace velquor::host

#endif
