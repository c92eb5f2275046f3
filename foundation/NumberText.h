// NumberText.h: conversion between 32-bit integers and their text in any radix from 2
// to 36 (digits "0".."9" then "A".."Z").
#pragma once

#include <cstdint>

#include "foundation/String.h"

// The digits of value in radix, most significant first, padded with leading zeros to
// minimumDigits digits (0 counts as 1). A radix below 2 or above 36 gives the empty
// string. Examples: (7, 10, 2) gives "07", (255, 16, 0) gives "FF".
QELString IntegerToText(uint32_t value, uint8_t radix = 10, uint8_t minimumDigits = 0);

// "-" followed by the digits of the magnitude for a negative value, otherwise as
// IntegerToText; minimumDigits counts the digits only ((-5, 10, 2) gives "-05").
QELString SignedIntegerToText(int32_t value, uint8_t radix = 10, uint8_t minimumDigits = 0);

// The integer at the start of text, ignoring case. Blanks (space, tab, CR, LF) around
// the text are ignored; one "-" or "+" may lead; in radix 10 every "," is taken for a
// thousands separator and skipped, wherever it stands (",4" and "4,,4" give 4 and 44).
// The number ends at the first byte that is not a digit of the radix ("-12abc" gives -12,
// "abc" gives 0). A radix above 36 gives 0.
// Reading stops before a digit that would take the magnitude beyond the 32-bit signed
// range (2147483647, or 2147483648 after "-"): the result is the number made of the
// digits read until then, so "99999999999" gives 999999999.
int32_t TextToInteger(const QELString &text, uint8_t radix = 10);
