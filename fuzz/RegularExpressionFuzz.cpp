// RegularExpressionFuzz.cpp: fuzzes the regular-expression compiler and Search: a search
// finds the first index where MatchAt matches, its span lies in the subject, and it takes
// no more than linear work (the fuzzer's time limit tells a blow-up).
#include <string>

#include "foundation/RegularExpression.h"
#include "fuzz/FuzzCheck.h"

// Input: the pattern, LF, a start byte, then the subject (at most 4 KB).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    size_t at = 0;
    const std::string pattern = fuzz::NextLine(input, &at);
    if (at >= input.size())
        return 0;
    const uint32_t start = static_cast<uint8_t>(input[at++]);
    std::string subjectText = input.substr(at);
    if (subjectText.size() > 4096)
        subjectText.resize(4096);
    const QELString subject = fuzz::Qel(subjectText);

    QELRegularExpression expression;
    int32_t compiled = expression.Compile(fuzz::Qel(pattern));
    bool found = expression.Search(subject, start);
    if (compiled != 0 || start >= subject.length()) {
        FUZZ_CHECK(!found);
        return 0;
    }
    // The first index where the expression matches, tried one by one, is the search's.
    uint32_t first = UINT32_MAX, firstLength = 0;
    for (uint32_t index = start; index < subject.length() && first == UINT32_MAX; ++index) {
        uint32_t length = 0;
        if (expression.MatchAt(subject, index, &length)) {
            first = index;
            firstLength = length;
        }
    }
    FUZZ_CHECK(found == (first != UINT32_MAX));
    if (found) {
        // MatchAt overwrote slot 0; search again for the search's own span.
        FUZZ_CHECK(expression.Search(subject, start));
        uint32_t matchStart = 0, matchLength = 0;
        expression.GetMatch(&matchStart, &matchLength);
        FUZZ_CHECK(matchStart == first && matchLength == firstLength);
        FUZZ_CHECK(uint64_t(matchStart) + matchLength <= subject.length());
    }
    if (start == 0) {
        // The address check at position 0 (no memo) agrees with the search (with one).
        uint32_t length0 = 0;
        bool atStart = expression.MatchAtStart(subject, &length0);
        FUZZ_CHECK(atStart == (found && first == 0));
        if (atStart)
            FUZZ_CHECK(length0 == firstLength);
    }
    for (uint32_t group = 1; group <= 9; ++group) {
        uint32_t groupStart = 0, groupLength = 0;
        if (expression.GetGroup(group, &groupStart, &groupLength))
            FUZZ_CHECK(uint64_t(groupStart) + groupLength <= subject.length());
    }
    return 0;
}
