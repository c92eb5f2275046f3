// QuotedPrintable.h: the quoted-printable encoding of mail text, for bodies whose lines are
// too long for SMTP (servers refuse lines over 998 bytes).
#pragma once

#include "foundation/String.h"

// Encodes text whose lines end in CR LF: each CR LF stays a line break; "=", control
// bytes, bytes 0x7F-0xFF, a CR or LF that is not part of CR LF, and a blank or tab at the
// end of a line become "=" and two upper-case hexadecimal digits; no output line is longer
// than 76 bytes ("=" at the end of a line breaks it softly).
QELString QuotedPrintableEncode(const QELString &text);

// Whether any line of text (lines end in CR LF) is longer than limit bytes.
bool HasLineLongerThan(const QELString &text, uint32_t limit);
