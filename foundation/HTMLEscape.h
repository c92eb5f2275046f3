// HTMLEscape.h: makes any text safe to place in HTML text or a quoted attribute value.
#pragma once

#include "foundation/String.h"

// "&" first, then "<", ">", the double and the single quote become entities.
QELString HTMLEscape(const QELString &text);
