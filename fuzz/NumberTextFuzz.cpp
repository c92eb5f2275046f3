// NumberTextFuzz.cpp: fuzzes the integer texts: every value written in every radix reads
// back as itself, padding included, and any text reads as a plain reference reads it.
#include <cstring>
#include <string>

#include "foundation/NumberText.h"
#include "fuzz/FuzzCheck.h"

namespace {

int DigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

// Leading blanks, one sign, digits (every comma skipped in radix 10), stopping
// before a digit that would leave the signed 32-bit range.
int32_t ReferenceTextToInteger(const std::string &text, unsigned radix) {
    if (radix > 36)
        return 0;
    size_t at = 0;
    while (at < text.size() && std::strchr(" \t\r\n", text[at]) != nullptr && text[at] != 0)
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '-' || text[at] == '+'))
        negative = text[at++] == '-';
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    int64_t value = 0;
    for (; at < text.size(); ++at) {
        if (radix == 10 && text[at] == ',')
            continue;
        int d = DigitValue(text[at]);
        if (d >= static_cast<int>(radix))
            break;
        if (value * radix + d > limit)
            break;
        value = value * radix + d;
    }
    return static_cast<int32_t>(negative ? -value : value);
}

}  // namespace

// Input: 4 bytes of value, a radix byte, a digits byte, then a text to read.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 6)
        return 0;
    uint32_t value;
    std::memcpy(&value, data, 4);
    const uint8_t minimumDigits = data[5] % 40;
    for (uint8_t radix = 0; radix <= 40; ++radix) {
        QELString text = IntegerToText(value, radix, minimumDigits);
        if (radix < 2 || radix > 36) {
            FUZZ_CHECK(text.isEmpty());
            continue;
        }
        FUZZ_CHECK(text.length() >= (minimumDigits == 0 ? 1u : minimumDigits));
        FUZZ_CHECK(text.length() == 1 || text[0] != '0' || text.length() <= minimumDigits);
        for (uint32_t i = 0; i < text.length(); ++i)
            FUZZ_CHECK(DigitValue(text[i]) < radix && !(text[i] >= 'a' && text[i] <= 'z'));
        // The unsigned value read back digit by digit.
        uint64_t back = 0;
        for (uint32_t i = 0; i < text.length(); ++i)
            back = back * radix + DigitValue(text[i]);
        FUZZ_CHECK(back == value);

        const int32_t signedValue = static_cast<int32_t>(value);
        QELString signedText = SignedIntegerToText(signedValue, radix, minimumDigits);
        FUZZ_CHECK(TextToInteger(signedText, radix) == signedValue);
        FUZZ_CHECK((signedText[0] == '-') == (signedValue < 0));
        if (value <= INT32_MAX)
            FUZZ_CHECK(TextToInteger(text, radix) == static_cast<int32_t>(value));
    }
    const std::string text(reinterpret_cast<const char *>(data + 6), size - 6);
    const uint8_t radix = data[4];
    FUZZ_CHECK(TextToInteger(fuzz::Qel(text), radix) == ReferenceTextToInteger(text, radix));
    return 0;
}
