// StringFuzz.cpp: fuzzes QELString's find (both directions, with and without case) and
// replace-all against the same operations done on std::string.
#include <string>

#include "fuzz/FuzzCheck.h"

namespace {

std::string Folded(std::string s, bool ignoreCase) {
    if (ignoreCase)
        for (char &c : s)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// The first match inside [start, start + range) of the text, or the last one inside
// the range bytes that end at start (start past the end means the last byte).
bool ReferenceFind(const std::string &text, const std::string &pattern, uint32_t start, uint32_t range,
                   bool backward, size_t *position) {
    const uint64_t n = text.size(), m = pattern.size();
    if (m == 0 || n == 0)
        return false;
    if (!backward) {
        if (start >= n)
            return false;
        uint64_t end = std::min<uint64_t>(n, uint64_t(start) + range);
        size_t at = text.find(pattern, start);
        if (at == std::string::npos || at + m > end)
            return false;
        *position = at;
        return true;
    }
    uint64_t last = std::min<uint64_t>(start, n - 1);
    uint64_t first = uint64_t(range) > last ? 0 : last + 1 - range;
    if (last + 1 < m)
        return false;
    size_t at = text.rfind(pattern, last + 1 - m);
    if (at == std::string::npos || at < first)
        return false;
    *position = at;
    return true;
}

// Every match replaced, matches taken from the start (or from the end) without overlap.
uint32_t ReferenceReplaceAll(std::string &text, const std::string &pattern, const std::string &with,
                             bool ignoreCase, bool backward) {
    const std::string folded = Folded(text, ignoreCase), p = Folded(pattern, ignoreCase);
    std::string out;
    uint32_t count = 0;
    if (!backward) {
        size_t from = 0, at;
        while ((at = folded.find(p, from)) != std::string::npos) {
            out += text.substr(from, at - from) + with;
            from = at + p.size();
            ++count;
        }
        out += text.substr(from);
    } else {
        size_t end = folded.size();  // matches must end at or before end
        std::string tail;
        while (end >= p.size()) {
            size_t at = folded.rfind(p, end - p.size());
            if (at == std::string::npos)
                break;
            tail = with + text.substr(at + p.size(), end - at - p.size()) + tail;
            end = at;
            ++count;
        }
        out = text.substr(0, end) + tail;
    }
    text = out;
    return count;
}

}  // namespace

// Input: a flags byte, start and range bytes, then text, pattern and replacement
// separated by LF.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3)
        return 0;
    const uint8_t flags = data[0];
    const bool ignoreCase = flags & 1, backward = flags & 2;
    const uint32_t start = data[1] == 255 ? QELString::kAll : data[1];
    const uint32_t range = data[2] == 255 ? QELString::kAll : data[2];
    const std::string input(reinterpret_cast<const char *>(data + 3), size - 3);
    size_t at = 0;
    const std::string text = fuzz::NextLine(input, &at);
    const std::string pattern = fuzz::NextLine(input, &at);
    const std::string with = input.substr(at);

    const QELString subject = fuzz::Qel(text);
    uint32_t qelFlags = (ignoreCase ? uint32_t(QELString::kIgnoreCase) : 0u) | (backward ? uint32_t(QELString::kBackward) : 0u);
    uint32_t found = 0;
    size_t expected = 0;
    bool hit = subject.find(pattern.data(), static_cast<uint32_t>(pattern.size()), &found, start, range, qelFlags);
    bool expectedHit = ReferenceFind(Folded(text, ignoreCase), Folded(pattern, ignoreCase), start, range, backward,
                                     &expected);
    FUZZ_CHECK(hit == expectedHit);
    if (hit)
        FUZZ_CHECK(found == expected);

    QELString replaced = subject;
    uint32_t count = replaced.replaceAll(fuzz::Qel(pattern), fuzz::Qel(with), qelFlags);
    std::string reference = text;
    uint32_t expectedCount = pattern.empty() ? 0 : ReferenceReplaceAll(reference, pattern, with, ignoreCase, backward);
    FUZZ_CHECK(count == expectedCount);
    FUZZ_CHECK(fuzz::Text(replaced) == reference);
    FUZZ_CHECK(fuzz::Text(subject) == text);  // the copy changed alone
    return 0;
}
