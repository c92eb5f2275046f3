// POPTag.h: the qelPOP tag handler: fetches new mail from a POP3 mailbox into a host database.
#pragma once

#include <cstdint>

#include "foundation/String.h"
#include "module/HostServices.h"

class QELPOPTag {
public:
    // Runs one occurrence of the tag; its text goes to output. Returns 0 or an error
    // code after reporting the error with SetErrorInfo.
    static int32_t Run(const QELHostServices &host, QELString &output);
};
