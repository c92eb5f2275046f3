// FailedMailLog.h: the failed-mail log: the status posts of delivery jobs, arriving as
// action requests, create, update and delete records of the log database.
#pragma once

#include <cstdint>

#include "module/HostDatabase.h"
#include "module/HostServices.h"

class QELFailedMailLog {
public:
    // Handles one status post (the action request); returns 0 or an error code.
    static int32_t HandleStatus(const QELHostServices &host, const QELHostDatabase &database);
};
