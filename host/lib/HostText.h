// HostText.h: small text helpers shared by the host library: ASCII case folding,
// four-character codes as text, and quoting of values for the call record.
#ifndef VELQUOR_HOST_HOST_TEXT_H
#define VELQUOR_HOST_HOST_TEXT_H

#include <cstdint>
#include <string>

namespace velquor::host {

class HostText {
public:
    // ASCII upper case folded to lower case; bytes 0x80-0xFF unchanged.
    static std::string lower(const std::string &text);
    // Equal when equal after ASCII case folding.
    static bool equalsIgnoringCase(const std::string &a, const std::string &b);
    // 'MTPm' for 0x4D54506D; bytes outside printable ASCII are shown as \xNN.
    static std::string fourCharCode(uint32_t code);
    // The text in double quotes with control bytes, quotes and backslashes escaped, cut
    // after `limit` bytes with "..." so that long bodies keep the record readable.
    static std::string quoted(const std::string &text, size_t limit = 200);
    // Replaces CR and LF by "\r" and "\n" so that a text stays on one log line.
    static std::string oneLine(const std::string &text);
};

} // namespace velquor::host

#endif
