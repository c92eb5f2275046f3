// FailedMailLog.cpp: the failed-mail log database: opening with its layout, and the
// status posts that create, update and delete its records.
#include "tags/FailedMailLog.h"

#include "module/DatabaseGuard.h"
#include <string>
#include <unordered_set>

#include "foundation/FolderSpecification.h"
#include "foundation/FileSystemItemList.h"
#include "foundation/NumberText.h"

#include "module/HostInterface.h"
#include "mail/MailDeliveryJob.h"
#include "module/ModuleNames.h"
#include "tags/DatabaseLayout.h"

namespace {

const char kReportProblem[] = "Contact the system administrator and report this problem.";
const char kDatabaseSuffix[] = "&quot; database.";
constexpr int32_t kOperationFailed = static_cast<int32_t>(QEL_RESULT_OPERATION_FAILED);

// The layout, in the order the fields are added.
const QELDatabaseLayout::Field kLayout[QELFailedMailLog::kFieldCount] = {
    {&QELModuleNames::logMessageID, 0x04050000u}, {&QELModuleNames::logStatus, 0x02060001u},
    {&QELModuleNames::logAttempts, 0x02020000u},  {&QELModuleNames::logSMTPServer, 0x00070000u},
    {&QELModuleNames::logFrom, 0x00070000u},      {&QELModuleNames::logReplyTo, 0x00070000u},
    {&QELModuleNames::logTo, 0x00070000u},        {&QELModuleNames::logCC, 0x00070000u},
    {&QELModuleNames::logBCC, 0x00070000u},       {&QELModuleNames::logSubject, 0x00070000u},
    {&QELModuleNames::logInfo, 0x00070000u},
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

void ReportLayoutError(const QELHostServices &host) {
    const QELModuleNames &names = ModuleNames();
    const QELString &tag = names.qelSendMail.name.text();
    QELString message("The &quot;");
    message += names.logDatabaseName;
    message += "&quot; database is not the proper database layout for ";
    message += tag;
    message += " use.";
    QELString explanation("Delete the &quot;");
    explanation += names.logDatabaseName;
    explanation += "&quot; database and ";
    explanation += tag;
    explanation += " will recreate it automatically.";
    host.SetErrorInfo(message, explanation);
    host.WriteLogEntry(message);
}

// Opens the log for shared or exclusive use; a failure is reported with the text of
// that use.
int32_t Open(const QELHostServices &host, const QELHostDatabase &database, uint32_t mode, const char *failureEnd,
             const char *explanation, uint32_t &handle) {
    int32_t code = database.OpenDatabase(ModuleNames().logDatabaseName, mode, QELString(), handle);
    if (code != 0)
        QELFailedMailLog::ReportDatabaseError(host, "The database system was unable to open the &quot;", failureEnd,
                                              explanation);
    return code;
}

// The posted form arguments of a status post, by their names.
struct StatusPost {
    QELString messageID, status, smtpServer, from, replyTo, to, cc, bcc, subject, info;

    // False when MessageID or Status is missing.
    bool read(const QELHostServices &host) {
        const QELStatusPostNames &names = QELMailDeliveryJob::StatusPostNames();
        if (!host.GetFormArgument(names.messageID, 0, messageID) || !host.GetFormArgument(names.status, 0, status))
            return false;
        host.GetFormArgument(names.smtpServer, 0, smtpServer);
        host.GetFormArgument(names.from, 0, from);
        host.GetFormArgument(names.replyTo, 0, replyTo);
        host.GetFormArgument(names.to, 0, to);
        host.GetFormArgument(names.cc, 0, cc);
        host.GetFormArgument(names.bcc, 0, bcc);
        host.GetFormArgument(names.subject, 0, subject);
        host.GetFormArgument(names.info, 0, info);
        return true;
    }
};

// Creates the record of a first failure: every field in layout order, stopping at the
// first that the host refuses.
int32_t CreateRecord(const QELHostServices &host, const QELHostDatabase &database, uint32_t handle,
                     const QELDecimal &id, const StatusPost &post) {
    const QELModuleNames &names = ModuleNames();
    int32_t code = database.CreateRecord(handle);
    if (code != 0) {
        QELFailedMailLog::ReportDatabaseError(host, "The database system was unable to create a record in the &quot;",
                                              kDatabaseSuffix, kReportProblem);
        return code;
    }
    const QELString *texts[] = {&post.smtpServer, &post.from, &post.replyTo, &post.to,
                                &post.cc,         &post.bcc,  &post.subject, &post.info};
    code = database.SetFieldValue(handle, names.logMessageID, id);
    if (code == 0)
        code = database.SetFieldValue(handle, names.logStatus, post.status);
    if (code == 0)
        code = database.SetFieldValue(handle, names.logAttempts, int32_t(1));
    for (uint32_t i = 0; code == 0 && i < sizeof texts / sizeof texts[0]; ++i)
        code = database.SetFieldValue(handle, names.*kLayout[3 + i].name, *texts[i]);
    if (code != 0) {
        QELFailedMailLog::ReportDatabaseError(
            host, "The database system was unable to set the field values in the &quot;", kDatabaseSuffix,
            kReportProblem);
        return code;
    }
    code = database.AddRecord(handle);
    if (code != 0)
        QELFailedMailLog::ReportDatabaseError(host, "The database system was unable to add a record to the &quot;",
                                              kDatabaseSuffix, kReportProblem);
    return code;
}

// Updates the current record after a further failure: every field is set, even after
// one fails, and the record is stored only when all of them were.
int32_t UpdateRecord(const QELHostServices &host, const QELHostDatabase &database, uint32_t handle,
                     const StatusPost &post) {
    const QELModuleNames &names = ModuleNames();
    // The count goes on from the stored one; a count that cannot be read is not guessed.
    int32_t attempts = 0;
    int32_t read = database.GetFieldInteger(handle, names.logAttempts, attempts);
    if (read != 0) {
        QELFailedMailLog::ReportDatabaseError(
            host, "The database system was unable to read the field values in the &quot;", kDatabaseSuffix,
            kReportProblem);
        return read;
    }
    struct {
        const QELString *field;
        const QELString *value;
    } texts[] = {{&names.logInfo, &post.info}, {&names.logSMTPServer, &post.smtpServer}, {&names.logFrom, &post.from},
                 {&names.logReplyTo, &post.replyTo}, {&names.logTo, &post.to}, {&names.logCC, &post.cc},
                 {&names.logBCC, &post.bcc}, {&names.logSubject, &post.subject}};
    int32_t failed = database.SetFieldValue(handle, names.logStatus, post.status);
    int32_t code = database.SetFieldValue(handle, names.logAttempts, static_cast<int32_t>(uint32_t(attempts) + 1));
    if (failed == 0)
        failed = code;
    for (const auto &text : texts) {
        code = database.SetFieldValue(handle, *text.field, *text.value);
        if (failed == 0)
            failed = code;
    }
    if (failed != 0) {
        QELFailedMailLog::ReportDatabaseError(
            host, "The database system was unable to set the field values in the &quot;", kDatabaseSuffix,
            kReportProblem);
        return failed;
    }
    code = database.UpdateRecord(handle);
    if (code != 0)
        QELFailedMailLog::ReportDatabaseError(host, "The database system was unable to update a record to the &quot;",
                                              kDatabaseSuffix, kReportProblem);
    return code;
}

// The work of a status post on the open log.
int32_t ApplyStatus(const QELHostServices &host, const QELHostDatabase &database, uint32_t handle) {
    const QELModuleNames &names = ModuleNames();
    StatusPost post;
    if (!post.read(host))
        return 0;
    QELDecimal id(25, 0);
    if (!QELFailedMailLog::ParseMessageID(post.messageID, &id)) {
        QELString entry("qelSendMail: a status post named no spool file (MessageID \"");
        entry += post.messageID;
        entry += "\"); nothing was changed";
        if (!post.info.isEmpty()) {
            entry += "; it said: ";
            entry += post.info;
        }
        host.WriteLogEntry(entry);
        return 0;
    }
    QELString criteria(names.logMessageID);
    criteria += " = '";
    criteria += id.toText();
    criteria += "'";
    int32_t code = database.SelectRecords(handle, criteria);
    if (code != 0) {
        QELFailedMailLog::ReportDatabaseError(host, "The database system was unable to search the &quot;",
                                              kDatabaseSuffix, kReportProblem);
        return code;
    }
    const bool failure = post.status.equals("F");
    const bool delivered = post.status.equals("S");
    // A count the host does not give is no empty selection: a record would be made twice.
    uint32_t selected = 0;
    code = database.GetSelectedRecordCount(handle, selected);
    if (code != 0) {
        QELFailedMailLog::ReportDatabaseError(host, "The database system was unable to search the &quot;",
                                              kDatabaseSuffix, kReportProblem);
        return code;
    }
    if (selected == 0)
        return failure ? CreateRecord(host, database, handle, id, post) : 0;
    code = database.MoveToFirstRecord(handle);
    if (code != 0) {
        QELFailedMailLog::ReportDatabaseError(
            host, "The database system was unable to move to the requested record in the &quot;", kDatabaseSuffix,
            kReportProblem);
        return code;
    }
    if (!delivered)
        return UpdateRecord(host, database, handle, post);
    code = database.DeleteRecord(handle, database.GetFieldIdentifier(handle, "QELIDFIELD"));
    if (code != 0)
        QELFailedMailLog::ReportDatabaseError(
            host, "The database system was unable to delete the requested record from the &quot;", kDatabaseSuffix,
            kReportProblem);
    return code;
}

}  // namespace

void QELFailedMailLog::ReportDatabaseError(const QELHostServices &host, const char *first, const char *last,
                                           const char *explanation) {
    QELString message(first);
    if (last != nullptr) {
        message += ModuleNames().logDatabaseName;
        message += last;
    }
    host.SetErrorInfo(message, explanation);
    host.WriteLogEntry(message);
}

int32_t QELFailedMailLog::OpenLog(const QELHostServices &host, const QELHostDatabase &database, uint32_t &handle) {
    int32_t code = database.DatabaseStartup(QELString(), QELString(), QELString());
    if (code != 0) {
        ReportDatabaseError(host, "The database system failed to initialize.", nullptr, kReportProblem);
        return code;
    }
    // Until the log is handed to the caller, every way out (a failed allocation included)
    // closes it and shuts the database system down.
    QELDatabaseGuard guard(database, true);
    code = Open(host, database, QEL_OPEN_SHARED, kDatabaseSuffix,
                "The database may be locked for exclusive use.  Try again in a few moments.", handle);
    if (code != 0)
        return code;
    guard.opened(handle);
    uint32_t fields = database.GetFieldCount(handle);
    const bool unlaid = fields != kFieldCount &&
                        (fields == 0 || QELDatabaseLayout::IsUnfinished(database, handle, kLayout, kFieldCount, fields));
    if (unlaid) {
        guard.closed();  // the layout is made on handles of its own, this one closed first
        code = CreateLogLayout(host, database, handle);
        if (code != 0)
            return code;
        guard.opened(handle);
    } else if (fields != kFieldCount) {
        ReportLayoutError(host);
        return kOperationFailed;
    }
    guard.release();
    return 0;
}

int32_t QELFailedMailLog::CreateLogLayout(const QELHostServices &host, const QELHostDatabase &database,
                                          uint32_t &handle) {
    const QELModuleNames &names = ModuleNames();
    database.CloseDatabase(handle);
    int32_t code = Open(host, database, QEL_OPEN_EXCLUSIVE, "&quot; database for exclusive access.",
                        kReportProblem, handle);
    if (code != 0)
        return code;
    {
        // Closed when the layout is done, or when a failed allocation unwinds.
        QELDatabaseGuard exclusive(database, false);
        exclusive.opened(handle);
        uint32_t fields = database.GetFieldCount(handle);
        if (fields == 0) {
            code = QELDatabaseLayout::AddFields(database, handle, kLayout, kFieldCount, 0);
        } else if (QELDatabaseLayout::IsUnfinished(database, handle, kLayout, kFieldCount, fields)) {
            // Fields are added in layout order, so a layout that a refused field or a stopped
            // process cut short holds its first fields and no record: the rest follow.
            QELString entry("qelSendMail: the &quot;");
            entry += names.logDatabaseName;
            entry += "&quot; database was left with ";
            entry += IntegerToText(fields);
            entry += " of its fields and no record; the others have been added";
            host.WriteLogEntry(entry);
            code = QELDatabaseLayout::AddFields(database, handle, kLayout, kFieldCount, fields);
        } else if (fields != kFieldCount) {
            code = kOperationFailed;
        }
    }
    if (code != 0) {
        // A layout that could not be completed is no layout for the log.
        ReportLayoutError(host);
        return code;
    }
    return Open(host, database, QEL_OPEN_SHARED, "&quot; database for shared access.", kReportProblem, handle);
}

void QELFailedMailLog::CloseLog(const QELHostDatabase &database, uint32_t handle) {
    database.CloseDatabase(handle);
    database.DatabaseShutdown();
}

bool QELFailedMailLog::ParseMessageID(const QELString &text, QELDecimal *id) {
    uint32_t start = text.startsWith("msg", QELString::kIgnoreCase) ? 3 : 0;
    uint32_t digits = text.length() - start;
    if (digits == 0 || digits > 25 || text[start] == '0')
        return false;
    for (uint32_t i = start; i < text.length(); ++i)
        if (!IsDigit(text[i]))
            return false;
    QELDecimal value(25, 0);
    value = text.substring(start);
    if (value.isEmpty())
        return false;
    *id = value;
    return true;
}

int32_t QELFailedMailLog::HandleStatus(const QELHostServices &host, const QELHostDatabase &database) {
    uint32_t handle = 0;
    int32_t code = OpenLog(host, database, handle);
    if (code != 0)
        return code;
    QELDatabaseGuard log(database, true);
    log.opened(handle);
    return ApplyStatus(host, database, handle);
}

namespace {

bool IsFileEntry(const platform::FolderEntry &entry, void *) { return entry.kind == platform::ItemKind::File; }

// "N thing" or "N things".
QELString Counted(uint32_t count, const char *thing) {
    QELString text = IntegerToText(count);
    text += " ";
    text += thing;
    if (count != 1)
        text += "s";
    return text;
}

}  // namespace

bool QELFailedMailLog::TakeSpoolCensus(const QELHostDatabase &database, uint32_t handle,
                                       const QELString &spoolFolder, QELSpoolCensus &census) {
    census = QELSpoolCensus();
    QELFileSystemItem folderItem(spoolFolder);
    if (!folderItem.Exists())
        return true;
    if (database.SelectRecords(handle, QELString()) != 0)
        return false;
    std::unordered_set<std::string> named;
    const uint32_t count = database.GetSelectedRecordCount(handle);
    if (count != 0 && database.MoveToFirstRecord(handle) != 0)
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        named.insert(database.GetFieldDecimal(handle, ModuleNames().logMessageID).toText().text());
        if (i + 1 < count && database.MoveToNextRecord(handle) != 0)
            return false;
    }
    QELFileSystemItemList files;
    try {
        if (!QELFolderSpecification(folderItem).ListItems(files, IsFileEntry))
            return false;
    } catch (const QELFileSystemItem::IsNotAFolder &) {
        return false;
    }
    for (uint32_t i = 0; i < files.count(); ++i) {
        const QELString name = files.item(i)->GetName();
        QELDecimal id(25, 0);
        if (name.startsWith("msg", QELString::kIgnoreCase) && ParseMessageID(name, &id)) {
            if (named.count(id.toText().text()) == 0)
                ++census.orphans;
        } else if (name.startsWith("spool") && name.endsWith(".tmp")) {
            ++census.unfinished;
        }
    }
    return true;
}

QELString QELFailedMailLog::DescribeSpoolCensus(const QELSpoolCensus &census) {
    if (census.orphans == 0 && census.unfinished == 0)
        return QELString();
    QELString text("The spool folder holds ");
    text += Counted(census.orphans, "message file");
    text += " that no failed-mail record names and ";
    text += Counted(census.unfinished, "unfinished spool file");
    text += " of deliveries that never ended; they are kept for inspection.";
    return text;
}
