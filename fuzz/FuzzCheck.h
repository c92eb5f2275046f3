// FuzzCheck.h: what the fuzz targets share: a check that stops the run with a message
// when a property fails, and the input's split into text fields.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "foundation/String.h"

// Stops the run (a finding for libFuzzer) when condition is false.
#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

namespace fuzz {

inline std::string Text(const QELString &s) { return std::string(s.text(), s.length()); }
inline QELString Qel(const std::string &s) { return QELString(s.data(), static_cast<uint32_t>(s.size())); }

// Takes the bytes up to the next LF (not included) from input at *at and moves past the
// LF; the rest of the input when there is none.
inline std::string NextLine(const std::string &input, size_t *at) {
    size_t end = input.find('\n', *at);
    if (end == std::string::npos)
        end = input.size();
    std::string line = input.substr(*at, end - *at);
    *at = end < input.size() ? end + 1 : end;
    return line;
}

}  // namespace fuzz
