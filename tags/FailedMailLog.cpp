// FailedMailLog.cpp: the failed-mail log's status handler.
#include "tags/FailedMailLog.h"

// Status posts come from mail delivery jobs; until mail sending exists there are none
// to record, and a post is answered without a change.
int32_t QELFailedMailLog::HandleStatus(const QELHostServices &, const QELHostDatabase &) { return 0; }
