// SendMailTag.cpp: the qelSendMail tag handler.
#include "tags/SendMailTag.h"

// The tag is registered so that pages can carry it already; it does its work from the
// release that brings its protocol client, and until then leaves the page unchanged.
int32_t QELSendMailTag::Run(const QELHostServices &, QELString &) { return 0; }
