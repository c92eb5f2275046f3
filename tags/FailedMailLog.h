// FailedMailLog.h: the failed-mail log: the status posts of delivery jobs, arriving as
// action requests, create, update and delete records of the log database.
#pragma once

#include <cstdint>

#include "foundation/Decimal.h"
#include "module/HostDatabase.h"
#include "module/HostServices.h"

// What the spool folder holds besides the spool files of the log's records. Both kinds
// are left where they are for the administrator: they may hold the only copy of a message.
struct QELSpoolCensus {
    uint32_t orphans = 0;     // "msg" files that no record names (their failure post was lost)
    uint32_t unfinished = 0;  // temporary files of deliveries that never ended (the process stopped)
};

class QELFailedMailLog {
public:
    // The record layout: eleven fields, added in this order with these type values.
    static constexpr uint32_t kFieldCount = 11;

    // Starts the database system and opens "__QELDB__SendMail_Log__" for shared use with
    // its layout checked, created when the database is new or completed when a stopped
    // process left it unfinished (see CreateLogLayout). 0 with
    // the open database in handle; otherwise the failure has been reported (SetErrorInfo
    // and the host log), nothing is left open and the service's code is returned (the
    // layout error gives 'MOpF').
    static int32_t OpenLog(const QELHostServices &host, const QELHostDatabase &database, uint32_t &handle);

    // Reopens the database exclusively, counts its fields again (another request may have
    // laid it out meanwhile: 11 fields need nothing, 0 get the layout, the first fields of
    // the layout without any record get the rest (logged), any other count is the layout
    // error), then reopens it for shared use. handle follows the reopened
    // database; on failure it is closed and the code returned, the failure reported.
    static int32_t CreateLogLayout(const QELHostServices &host, const QELHostDatabase &database, uint32_t &handle);

    // Closes the database and shuts the database system down.
    static void CloseLog(const QELHostDatabase &database, uint32_t handle);

    // Handles one status post (the action request): "F" creates the message's record
    // (Attempts 1) or updates it (Attempts + 1), any other status but "S" updates an
    // existing one, "S" deletes it. A post without MessageID or Status changes nothing;
    // so does one whose MessageID is not a spool name, which is logged. Returns 0 or the
    // failing service's code, the failure reported and logged.
    static int32_t HandleStatus(const QELHostServices &host, const QELHostDatabase &database);

    // The Message ID of a spool file name: "msg" (any case) and 1 to 25 decimal digits
    // without a leading zero, or those digits alone, as a decimal of precision 25 and
    // scale 0. False for anything else.
    static bool ParseMessageID(const QELString &text, QELDecimal *id);

    // Counts the spool folder's orphans and unfinished files against every record of the
    // open log (its selection is replaced). Removes nothing. False when the log cannot be
    // searched or the folder cannot be read (a folder not made yet holds nothing: true).
    static bool TakeSpoolCensus(const QELHostDatabase &database, uint32_t handle, const QELString &spoolFolder,
                                QELSpoolCensus &census);

    // The census in words for the host log and the administration page; empty when it
    // counted nothing.
    static QELString DescribeSpoolCensus(const QELSpoolCensus &census);

    // Reports a failure of the log database: the message is first + the database's name
    // + last, also written to the host log.
    static void ReportDatabaseError(const QELHostServices &host, const char *first, const char *last,
                                    const char *explanation);
};
