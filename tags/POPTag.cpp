// POPTag.cpp: the qelPOP tag handler.
#include "tags/POPTag.h"

// The tag is registered so that pages can carry it already; it does its work from the
// release that brings its protocol client, and until then leaves the page unchanged.
int32_t QELPOPTag::Run(const QELHostServices &, QELString &) { return 0; }
