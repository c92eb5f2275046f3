// SendMailTag.h: the qelSendMail tag handler: composes mail and sends it in the background, or administers failed mail.
#pragma once

#include <cstdint>

#include "foundation/String.h"
#include "module/HostServices.h"

class QELSendMailTag {
public:
    // Runs one occurrence of the tag; its text goes to output. Returns 0 or an error
    // code after reporting the error with SetErrorInfo.
    static int32_t Run(const QELHostServices &host, QELString &output);
};
