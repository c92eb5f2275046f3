// FailedMailPages.h: the failed-mail administration pages of the qelSendMail tag: the
// paged list of the log, the edit form, the delete confirmation, the resend notice.
#pragma once

#include <cstdint>

#include "foundation/String.h"
#include "module/HostDatabase.h"
#include "module/HostServices.h"

// Every page posts back to its own SCRIPT_NAME; the posted "qelSendMailAction" chooses
// what the next request does. Every value written into the pages is HTML-escaped, and
// page numbers and identifiers are written as the numbers read from them. Send, Save and
// DeleteMessage change something only in a POST request; any other request gets the list.
// Results: 0; a database service's code, its failure reported and logged; 'MIPV' for a
// Message ID that is not the record's or a header value holding CR, LF or NUL; 'MMRP'
// for a missing record, message or page ID; 'MGen' for a message whose resend runs, or a
// resend that could not be started. An error is reported with SetErrorInfo.
class QELFailedMailPages {
public:
    // Serves one request of the administration page on the open log database (handle).
    // The fragment goes to output (an unknown operation writes nothing and gives 0).
    // spoolFolder holds the spool files; statusURL is where resends report.
    static int32_t Run(const QELHostServices &host, const QELHostDatabase &database, uint32_t handle,
                       const QELString &spoolFolder, const QELString &statusURL, QELString &output);

    // Resends the spooled message messageID ("msg" and digits) to the server and
    // addresses of its log record. Without a record (or for a text that names no spool
    // file) nothing is sent and the result is 0. A message whose resend runs already is
    // refused ('MGen'), and so is a job that cannot be created. *started tells whether a
    // delivery job was started (may be null).
    static int32_t Resend(const QELHostServices &host, const QELHostDatabase &database, uint32_t handle,
                          const QELString &messageID, const QELString &spoolFolder, const QELString &statusURL,
                          bool *started);
};
