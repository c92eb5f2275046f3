// NumberText.cpp: radix conversion of 32-bit integers to and from text, with the
// overflow rule that stops reading digits before the magnitude leaves 32 bits.
#include "foundation/NumberText.h"

namespace {

const char kDigitAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The value of byte c as a digit (either case), or 36 when it is none.
uint32_t DigitValue(char c) {
    uint8_t u = QELUpperCaseTable[static_cast<uint8_t>(c)];
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'A' && u <= 'Z')
        return u - 'A' + 10;
    return 36;
}

}  // namespace

QELString IntegerToText(uint32_t value, uint8_t radix, uint8_t minimumDigits) {
    // Radix 1 would never reach a quotient of 0; it is refused like 0 and 37 and up.
    if (radix < 2 || radix > 36)
        return QELString();
    // 32 binary digits are the most any radix needs; minimumDigits may ask for more.
    char digits[256];
    uint32_t n = 0;
    do {
        digits[n++] = kDigitAlphabet[value % radix];
        value /= radix;
    } while (value != 0);
    while (n < minimumDigits)
        digits[n++] = '0';
    char text[256];
    for (uint32_t i = 0; i < n; ++i)
        text[i] = digits[n - 1 - i];
    return QELString(text, n);
}

QELString SignedIntegerToText(int32_t value, uint8_t radix, uint8_t minimumDigits) {
    if (value >= 0)
        return IntegerToText(static_cast<uint32_t>(value), radix, minimumDigits);
    QELString digits = IntegerToText(0u - static_cast<uint32_t>(value), radix, minimumDigits);
    if (digits.isEmpty())
        return digits;
    QELString text("-");
    text.append(digits);
    return text;
}

int32_t TextToInteger(const QELString &text, uint8_t radix) {
    if (radix > 36)
        return 0;
    const char *bytes = text.text();
    uint32_t begin = 0;
    uint32_t end = text.length();
    while (begin < end && IsBlank(bytes[begin]))
        ++begin;
    while (end > begin && IsBlank(bytes[end - 1]))
        --end;
    if (begin == end)
        return 0;

    bool negative = false;
    if (bytes[begin] == '-') {
        negative = true;
        ++begin;
    } else if (bytes[begin] == '+') {
        ++begin;
    }
    // The largest magnitude the sign allows.
    const uint32_t limit = negative ? 0x80000000u : 0x7FFFFFFFu;
    uint32_t magnitude = 0;
    for (uint32_t i = begin; i < end; ++i) {
        char c = bytes[i];
        if (radix == 10 && c == ',')
            continue;
        uint32_t digit = DigitValue(c);
        if (radix == 10 ? digit > 9 : digit >= radix)
            break;
        if (magnitude > (limit - digit) / radix)
            break;  // one more digit would leave the 32-bit range
        magnitude = magnitude * radix + digit;
    }
    if (!negative)
        return static_cast<int32_t>(magnitude);
    return magnitude == 0x80000000u ? INT32_MIN : -static_cast<int32_t>(magnitude);
}
