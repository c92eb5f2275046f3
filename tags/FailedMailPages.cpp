// FailedMailPages.cpp: the failed-mail administration pages: the posted operation, the
// paged list, the edit form and its saving, deletion, and resends from the spool.
#include "tags/FailedMailPages.h"

#include <mutex>

#include "foundation/Decimal.h"
#include "foundation/FileStream.h"
#include "foundation/FileSystemItem.h"
#include "foundation/HTMLEscape.h"
#include "foundation/HashedName.h"
#include "foundation/NumberText.h"
#include "foundation/StringSplitter.h"
#include "mail/EmailMessage.h"
#include "mail/MailDeliveryJob.h"
#include "module/HostInterface.h"
#include "module/ModuleNames.h"
#include "tags/FailedMailLog.h"
#include "tags/MailServerSettings.h"

namespace {

constexpr int32_t Code(uint32_t code) { return static_cast<int32_t>(code); }

const char kIdentifierField[] = "QELIDFIELD";
const char kSpoolPrefix[] = "msg";

const char kReportProblem[] = "Contact the system administrator and report this problem.";
const char kDatabaseSuffix[] = "&quot; database.";
const char kSearchFailed[] = "The database system was unable to search the &quot;";
const char kMoveFailed[] = "The database system was unable to move to the requested record in the &quot;";
const char kSetFailed[] = "The database system was unable to set the field values in the &quot;";
const char kUpdateFailed[] = "The database system was unable to update a record to the &quot;";
const char kDeleteFailed[] = "The database system was unable to delete a record from the &quot;";
const char kRecordMissing[] = "The record ID could not be found.";
const char kMessageMissing[] = "The message ID could not be found.";
const char kPageMissing[] = "The page ID could not be found.";
const char kSelectExisting[] = "Please select an existing message.";
const char kSelectForDeletion[] = "Please select an existing message for deletion.";

// Rows per list page when the page names none (or 0, or more than the most).
constexpr uint32_t kDefaultRows = 10;
constexpr uint32_t kMostRows = 50;
// The list shows this many To addresses, and a longer Subject cut to kSubjectCut bytes
// and "...".
constexpr uint32_t kListedAddresses = 3;
constexpr uint32_t kSubjectShown = 25;
constexpr uint32_t kSubjectCut = 22;

// The header values of the edit form, in its order: label, form field, log field.
struct HeaderField {
    const char *label;
    const QELString QELModuleNames::*form;
    const QELString QELModuleNames::*log;
};
constexpr uint32_t kHeaderFieldCount = 7;
const HeaderField kHeaderFields[kHeaderFieldCount] = {
    {"SMTP Server", &QELModuleNames::formSMTPServer, &QELModuleNames::logSMTPServer},
    {"From", &QELModuleNames::formFrom, &QELModuleNames::logFrom},
    {"Reply-To", &QELModuleNames::formReplyTo, &QELModuleNames::logReplyTo},
    {"To", &QELModuleNames::formTo, &QELModuleNames::logTo},
    {"CC", &QELModuleNames::formCC, &QELModuleNames::logCC},
    {"BCC", &QELModuleNames::formBCC, &QELModuleNames::logBCC},
    {"Subject", &QELModuleNames::formSubject, &QELModuleNames::logSubject},
};

bool IsDigits(const QELString &text) {
    if (text.isEmpty())
        return false;
    for (uint32_t i = 0; i < text.length(); ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

bool HoldsLineBreakOrNUL(const QELString &text) {
    for (uint32_t i = 0; i < text.length(); ++i)
        if (text[i] == '\r' || text[i] == '\n' || text[i] == '\0')
            return true;
    return false;
}

// A record identifier from form text: decimal digits within 32 bits. Anything else is
// 0, which names no record.
uint32_t ParseIdentifier(const QELString &text) {
    if (!IsDigits(text) || text.length() > 10)
        return 0;
    uint64_t value = 0;
    for (uint32_t i = 0; i < text.length(); ++i)
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    return value > UINT32_MAX ? 0 : static_cast<uint32_t>(value);
}

// A page number from form text; below 1 is 1.
uint32_t ParsePage(const QELString &text) {
    int32_t page = TextToInteger(text, 10);
    return page < 1 ? 1u : static_cast<uint32_t>(page);
}

// The Message ID of the current record as decimal text; "" when it holds none.
QELString RecordMessageID(const QELHostDatabase &database, uint32_t handle) {
    return database.GetFieldDecimal(handle, ModuleNames().logMessageID).toText();
}

QELString SpoolName(const QELString &messageID) { return QELString(kSpoolPrefix) + messageID; }

int32_t ReportDatabaseError(const QELHostServices &host, const char *first, int32_t code) {
    QELFailedMailLog::ReportDatabaseError(host, first, kDatabaseSuffix, kReportProblem);
    return code;
}

int32_t Refuse(const QELHostServices &host, const QELString &message, const char *explanation, uint32_t code) {
    host.SetErrorInfo(message, explanation);
    return Code(code);
}

int32_t RefuseBeingResent(const QELHostServices &host) {
    return Refuse(host, "This message is being resent.", "Try again in a moment.", QEL_RESULT_GENERAL_FAILURE);
}

// A message whose resend runs is left alone until that resend has reported.
int32_t RefuseWhileResent(const QELHostServices &host, const QELString &messageID) {
    return QELMailDeliveryJob::IsBeingResent(SpoolName(messageID)) ? RefuseBeingResent(host) : 0;
}

// Adds every comma-separated address of list with add.
void AddEach(QELEmailMessage &message, void (QELEmailMessage::*add)(const QELString &), const QELString &list) {
    QELStringSplitter addresses(list, QELString(","));
    for (uint32_t i = 0; i < addresses.fieldCount(); ++i)
        (message.*add)(addresses.field(i));
}

// Resends start one at a time: the check that a message is free and the start of its job
// (which marks it as being resent) are one step, so two requests never both resend it.
std::mutex gResendStart;

// Starts the resend of the current record's spooled message, with the record's server,
// sender, reply address, subject and recipients; refused while it is being resent.
int32_t StartResend(const QELHostServices &host, const QELHostDatabase &database, uint32_t handle,
                    const QELString &messageID, const QELString &spoolFolder, const QELString &statusURL) {
    const QELModuleNames &names = ModuleNames();
    const QELString spoolName = SpoolName(messageID);
    QELEmailMessage message(spoolFolder, spoolName, statusURL);
    message.SetSMTPServer(database.GetFieldText(handle, names.logSMTPServer));
    message.SetFrom(database.GetFieldText(handle, names.logFrom));
    message.SetReplyTo(database.GetFieldText(handle, names.logReplyTo));
    message.SetSubject(database.GetFieldText(handle, names.logSubject));
    AddEach(message, &QELEmailMessage::AddTo, database.GetFieldText(handle, names.logTo));
    AddEach(message, &QELEmailMessage::AddCC, database.GetFieldText(handle, names.logCC));
    AddEach(message, &QELEmailMessage::AddBCC, database.GetFieldText(handle, names.logBCC));
    // A resend goes to its server as a new message would, with the settings as they are now.
    LoadMailServerSettings(host);
    bool busy = false, started = false;
    {
        std::lock_guard<std::mutex> lock(gResendStart);
        busy = QELMailDeliveryJob::IsBeingResent(spoolName);
        // A job whose report could reach no log, or that has no spool, is never started.
        if (!busy && !spoolFolder.isEmpty() && !statusURL.isEmpty())
            started = message.CreateDeliveryJob();
    }
    if (busy)
        return RefuseBeingResent(host);
    if (started)
        return 0;
    return Refuse(host, "The message could not be queued for delivery.",
                  "Report this error to your System Administrator.", QEL_RESULT_GENERAL_FAILURE);
}

// One request of the administration page.
class AdminPages : public QELObject {
public:
    AdminPages(const QELHostServices &host, const QELHostDatabase &database, uint32_t handle,
               const QELString &spoolFolder, const QELString &statusURL, QELString &output)
        : host_(host),
          database_(database),
          handle_(handle),
          spoolFolder_(spoolFolder),
          statusURL_(statusURL),
          output_(output),
          names_(ModuleNames()),
          formTarget_(HTMLEscape(host.GetCGIVariable("SCRIPT_NAME"))) {}

    int32_t run();

private:
    QELString argument(const QELString &name, const char *defaultValue = "") const;
    // True when the form argument is posted and not empty.
    bool present(const QELString &name, QELString &value) const;
    uint32_t postedPage(const QELString &name) const { return ParsePage(argument(name, "1")); }
    bool isPost() const { return host_.GetCGIVariable("REQUEST_METHOD").equals("POST"); }

    int32_t list(uint32_t page);
    void appendRow(uint32_t row, uint32_t page);
    void appendPager(uint32_t page, uint32_t pages);
    int32_t edit();
    void appendSpooledText(const QELString &messageID);
    int32_t save();
    int32_t confirmDelete();
    int32_t deleteMessage();
    int32_t send();

    // Selects every record and makes recordID current; a failure is reported.
    int32_t moveToRecord(uint32_t recordID);
    // The posted Message ID checked against the current record: "" stays "" (the spool
    // file is then left alone); otherwise it must be the record's, in decimal digits.
    int32_t checkMessageID(const QELString &posted, QELString &messageID);

    void appendFormHead(const char *before);
    void appendHidden(const QELString &name, const QELString &value, const char *before = "\r\n");
    void appendButton(const char *label);

    const QELHostServices &host_;
    const QELHostDatabase &database_;
    const uint32_t handle_;
    const QELString &spoolFolder_;
    const QELString &statusURL_;
    QELString &output_;
    const QELModuleNames &names_;
    const QELString formTarget_;  // where every form posts: this page, escaped
};

QELString AdminPages::argument(const QELString &name, const char *defaultValue) const {
    QELString value;
    host_.GetFormArgument(name, 0, value, defaultValue);
    return value;
}

bool AdminPages::present(const QELString &name, QELString &value) const {
    return host_.GetFormArgument(name, 0, value) && !value.isEmpty();
}

void AdminPages::appendFormHead(const char *before) {
    output_ += before;
    output_ += "<form method=\"post\" action=\"";
    output_ += formTarget_;
    output_ += "\">";
}

void AdminPages::appendHidden(const QELString &name, const QELString &value, const char *before) {
    output_ += before;
    output_ += "<input type=\"hidden\" name=\"";
    output_ += name;
    output_ += "\" value=\"";
    output_ += HTMLEscape(value);
    output_ += "\">";
}

void AdminPages::appendButton(const char *label) {
    output_ += "<input type=\"submit\" name=\"";
    output_ += names_.formAction;
    output_ += "\" value=\"";
    output_ += label;
    output_ += "\"> ";
}

int32_t AdminPages::run() {
    const QELHashedName operation(argument(names_.formAction, "DisplayList"), QELHashedName::kCaseInsensitive);
    if (operation == names_.commandDisplayList)
        return list(1);
    if (operation == names_.commandPreviousEscaped || operation == names_.commandPrevious)
        return list(postedPage(names_.formPrevPage));
    if (operation == names_.commandNextEscaped || operation == names_.commandNext)
        return list(postedPage(names_.formNextPage));
    if (operation == names_.commandPostSend || operation == names_.commandCancel)
        return list(postedPage(names_.formPage));
    if (operation == names_.commandEdit)
        return edit();
    if (operation == names_.commandDelete)
        return confirmDelete();
    const bool changes = operation == names_.commandSend || operation == names_.commandSave ||
                         operation == names_.commandDeleteMessage;
    if (!changes)
        return 0;
    // A link or a redirected request must never change anything.
    if (!isPost())
        return list(postedPage(names_.formPage));
    if (operation == names_.commandSend)
        return send();
    if (operation == names_.commandSave)
        return save();
    return deleteMessage();
}

int32_t AdminPages::list(uint32_t page) {
    // Spool files that no record shows are named above the list (and in the host log),
    // never removed: they may be the only copy of a message.
    QELSpoolCensus census;
    if (QELFailedMailLog::TakeSpoolCensus(database_, handle_, spoolFolder_, census)) {
        const QELString notice = QELFailedMailLog::DescribeSpoolCensus(census);
        if (!notice.isEmpty()) {
            output_ += "<p>";
            output_ += notice;
            output_ += "</p>";
            host_.WriteLogEntry(QELString("qelSendMail: ") + notice);
        }
    }
    int32_t code = database_.SelectRecords(handle_, QELString());
    if (code != 0)
        return ReportDatabaseError(host_, kSearchFailed, code);
    const uint32_t count = database_.GetSelectedRecordCount(handle_);
    if (count == 0) {
        output_ += "No failed mail.";
        return 0;
    }
    code = database_.MoveToFirstRecord(handle_);
    if (code != 0)
        return ReportDatabaseError(host_, kMoveFailed, code);
    uint32_t rows = kDefaultRows;
    host_.GetTagParameter(names_.displayLimit.text(), 0, rows, kDefaultRows);
    if (rows == 0 || rows > kMostRows)
        rows = kDefaultRows;
    const uint32_t pages = (count - 1) / rows + 1;
    if (page > pages)
        page = pages;
    if (page > 1) {
        code = database_.MoveByRecords(handle_, static_cast<int32_t>((page - 1) * rows));
        if (code != 0)
            return ReportDatabaseError(host_, kMoveFailed, code);
    }
    output_ += "\r\n<table border=\"0\" cellpadding=\"2\" cellspacing=\"2\" align=\"center\">";
    output_ += "\r\n<tr bgcolor=\"#999999\"><th>From</th><th>To</th><th>Subject</th><th>Tries</th>"
               "<th>Operation</th></tr>";
    for (uint32_t row = 0; row < rows; ++row) {
        appendRow(row, page);
        if (database_.MoveToNextRecord(handle_) != 0)
            break;
    }
    appendPager(page, pages);
    return 0;
}

void AdminPages::appendRow(uint32_t row, uint32_t page) {
    appendFormHead("\r\n");
    appendHidden(names_.formRecordID, IntegerToText(database_.GetFieldIdentifier(handle_, kIdentifierField)), "");
    appendHidden(names_.formMessageID, RecordMessageID(database_, handle_), "");
    appendHidden(names_.formPage, IntegerToText(page), "");
    output_ += row % 2 == 0 ? "<tr bgcolor=\"#cccccc\">" : "<tr bgcolor=\"#aaaaaa\">";
    output_ += "<td align=\"left\">";
    output_ += HTMLEscape(database_.GetFieldText(handle_, names_.logFrom));
    output_ += "</td><td align=\"left\">";
    QELStringSplitter to(database_.GetFieldText(handle_, names_.logTo), QELString(","));
    for (uint32_t i = 0; i < to.fieldCount() && i < kListedAddresses; ++i) {
        if (i > 0)
            output_ += "<br>";
        output_ += HTMLEscape(to.field(i));
    }
    output_ += "</td><td align=\"left\">";
    QELString subject = database_.GetFieldText(handle_, names_.logSubject);
    if (subject.length() > kSubjectShown) {
        subject = subject.substring(0, kSubjectCut);
        subject += "...";
    }
    output_ += HTMLEscape(subject);
    output_ += "</td><td align=\"right\">";
    output_ += SignedIntegerToText(database_.GetFieldInteger(handle_, names_.logAttempts));
    output_ += "</td><td align=\"center\">";
    appendButton("Edit");
    appendButton("Send");
    appendButton("Delete");
    output_ += "</td></tr></form>";
}

void AdminPages::appendPager(uint32_t page, uint32_t pages) {
    appendFormHead("\r\n");
    output_ += "<tr><td align=\"center\" colspan=\"5\">";
    if (page > 1) {
        appendHidden(names_.formPrevPage, IntegerToText(page - 1), "");
        appendButton("&lt;&lt;");
    }
    if (page < pages) {
        appendHidden(names_.formNextPage, IntegerToText(page + 1), " ");
        appendButton("&gt;&gt;");
    }
    output_ += "</td></tr></form>\r\n</table>";
}

int32_t AdminPages::moveToRecord(uint32_t recordID) {
    int32_t code = database_.SelectRecords(handle_, QELString());
    if (code != 0)
        return ReportDatabaseError(host_, kSearchFailed, code);
    code = database_.MoveToRecord(handle_, recordID);
    if (code != 0)
        return ReportDatabaseError(host_, kMoveFailed, code);
    return 0;
}

int32_t AdminPages::checkMessageID(const QELString &posted, QELString &messageID) {
    messageID.clear();
    if (posted.isEmpty())
        return 0;
    QELString recorded = RecordMessageID(database_, handle_);
    if (!IsDigits(posted) || posted.notEquals(recorded))
        return Refuse(host_, kMessageMissing, kSelectExisting, QEL_RESULT_INVALID_PARAMETER);
    messageID = recorded;
    return 0;
}

int32_t AdminPages::edit() {
    const uint32_t recordID = ParseIdentifier(argument(names_.formRecordID, "0"));
    int32_t code = moveToRecord(recordID);
    QELString messageID;
    if (code == 0)
        code = checkMessageID(argument(names_.formMessageID), messageID);
    if (code != 0)
        return code;
    output_ += "\r\n<table border=\"0\" align=\"center\"><tr><td align=\"left\">";
    appendFormHead("\r\n\r\n");
    output_ += "\r\n\r\n<p><strong>Make any changes and select the &quot;Save&quot; button:</strong>";
    output_ += "\r\n<dl><dd><table border=\"1\" align=\"center\">";
    output_ += "\r\n<tr bgcolor=\"#999999\"><th>Header</th><th>Value</th></tr>";
    for (const HeaderField &field : kHeaderFields) {
        output_ += "\r\n<tr><td bgcolor=\"#cccccc\" align=\"right\"> ";
        output_ += field.label;
        output_ += ":</td><td><textarea rows=\"2\" cols=\"30\" name=\"";
        output_ += names_.*field.form;
        output_ += "\" wrap=\"soft\">";
        output_ += HTMLEscape(database_.GetFieldText(handle_, names_.*field.log));
        output_ += "</textarea>";
    }
    output_ += "</td></tr>\r\n</table></dl>";
    appendHidden(names_.formRecordID, IntegerToText(recordID));
    appendHidden(names_.formMessageID, messageID);
    appendHidden(names_.formPage, IntegerToText(postedPage(names_.formPage)));
    output_ += "\r\n<table border=\"0\" cellspacing=\"3\" cellpadding=\"3\" align=\"center\"><tr>";
    output_ += "<td><input type=\"submit\" name=\"";
    output_ += names_.formAction;
    output_ += "\" value=\"Save\"></td><td><input type=\"submit\" name=\"";
    output_ += names_.formAction;
    output_ += "\" value=\"Cancel\"></td>\r\n</tr></table>\r\n</form>";
    output_ += "\r\n\r\n<p><strong>Message text:</strong>\r\n<p>\r\n<pre>";
    if (!messageID.isEmpty())
        appendSpooledText(messageID);
    output_ += "\r\n</pre>\r\n</td></tr></table>";
    return 0;
}

// The spooled text after its header block, up to the line ".", its dot-stuffing removed.
void AdminPages::appendSpooledText(const QELString &messageID) {
    QELFileSystemItem file(QELFileSystemItem(spoolFolder_), SpoolName(messageID));
    QELOwned<QELFileStream> stream = OpenFileStream(file, FileOpenMode::ReadOnly);
    if (!stream)
        return;
    const uint32_t size = stream->GetSize();
    bool inBody = false;
    while (stream->position() < size) {
        const uint32_t before = stream->position();
        QELString line = stream->ReadLine();
        if (stream->position() == before)
            break;  // a read that failed: nothing more can be shown
        if (!inBody) {
            if (!line.isEmpty())
                continue;
            inBody = true;
        } else if (line.equals(".")) {
            break;
        } else if (line.startsWith("..")) {
            line.dropFirst(1);
        }
        output_ += "\r\n";
        output_ += HTMLEscape(line);
    }
}

int32_t AdminPages::save() {
    const uint32_t recordID = ParseIdentifier(argument(names_.formRecordID, "0"));
    QELString values[kHeaderFieldCount];
    for (uint32_t i = 0; i < kHeaderFieldCount; ++i)
        host_.GetFormArgument(names_.*kHeaderFields[i].form, 0, values[i]);
    int32_t code = moveToRecord(recordID);
    if (code == 0)
        code = RefuseWhileResent(host_, RecordMessageID(database_, handle_));
    if (code != 0)
        return code;
    for (uint32_t i = 0; i < kHeaderFieldCount; ++i) {
        if (!HoldsLineBreakOrNUL(values[i]))
            continue;
        QELString message("The ");
        message += kHeaderFields[i].label;
        message += " value may not hold a line break or a NUL character.";
        return Refuse(host_, message, "Write the value on one line and save it again.",
                      QEL_RESULT_INVALID_PARAMETER);
    }
    int32_t failed = 0;
    for (uint32_t i = 0; i < kHeaderFieldCount; ++i) {
        code = database_.SetFieldValue(handle_, names_.*kHeaderFields[i].log, values[i]);
        if (failed == 0)
            failed = code;
    }
    if (failed != 0)
        return ReportDatabaseError(host_, kSetFailed, failed);
    code = database_.UpdateRecord(handle_);
    if (code != 0)
        return ReportDatabaseError(host_, kUpdateFailed, code);
    return list(postedPage(names_.formPage));
}

int32_t AdminPages::confirmDelete() {
    QELString record, message, pageText;
    if (!present(names_.formRecordID, record))
        return Refuse(host_, kRecordMissing, kSelectForDeletion, QEL_RESULT_MISSING_PARAMETER);
    if (!present(names_.formMessageID, message))
        return Refuse(host_, kMessageMissing, kSelectForDeletion, QEL_RESULT_MISSING_PARAMETER);
    if (!present(names_.formPage, pageText))
        return Refuse(host_, kPageMissing, kSelectForDeletion, QEL_RESULT_MISSING_PARAMETER);
    const uint32_t recordID = ParseIdentifier(record);
    QELString messageID;
    int32_t code = moveToRecord(recordID);
    if (code == 0)
        code = checkMessageID(message, messageID);
    if (code != 0)
        return code;
    output_ += "\r\n<table border=\"0\" align=\"center\"><tr><td align=\"left\">";
    appendFormHead("\r\n\r\n");
    output_ += "\r\n<p><dd>Are you sure you want to delete this message?</dl>";
    appendHidden(names_.formRecordID, IntegerToText(recordID));
    appendHidden(names_.formMessageID, messageID);
    appendHidden(names_.formPage, IntegerToText(ParsePage(pageText)));
    appendHidden(names_.formAction, names_.commandDeleteMessage.text());
    output_ += "\r\n<p><input type=\"submit\" name=\"";
    output_ += names_.formConfirmation;
    output_ += "\" value=\"Yes\">\r\n<input type=\"submit\" name=\"";
    output_ += names_.formConfirmation;
    output_ += "\" value=\"No\">\r\n</form>\r\n</td></tr></table>";
    return 0;
}

int32_t AdminPages::deleteMessage() {
    if (argument(names_.formConfirmation, "No").notEquals("Yes"))
        return list(postedPage(names_.formPage));
    // The record and its spool file go together: a deletion that does not name the
    // record's message would leave the spool file behind, so it is refused.
    const QELString posted = argument(names_.formMessageID);
    if (posted.isEmpty())
        return Refuse(host_, kMessageMissing, kSelectForDeletion, QEL_RESULT_MISSING_PARAMETER);
    const uint32_t recordID = ParseIdentifier(argument(names_.formRecordID, "0"));
    QELString messageID;
    int32_t code = moveToRecord(recordID);
    if (code == 0)
        code = checkMessageID(posted, messageID);
    if (code == 0)
        code = RefuseWhileResent(host_, RecordMessageID(database_, handle_));
    if (code != 0)
        return code;
    code = database_.DeleteRecord(handle_, recordID);
    if (code != 0)
        return ReportDatabaseError(host_, kDeleteFailed, code);
    if (!messageID.isEmpty()) {
        QELFileSystemItem file(QELFileSystemItem(spoolFolder_), SpoolName(messageID));
        bool removed = !file.Exists();
        if (!removed) {
            try {
                removed = QELFileSpecification(file).Delete();
            } catch (const QELFileSystemItem::IsNotAFile &) {
            }
        }
        if (!removed)
            host_.WriteLogEntry(QELString("qelSendMail: the spool file ") + SpoolName(messageID) +
                                " of a deleted record could not be removed");
    }
    return list(postedPage(names_.formPage));
}

int32_t AdminPages::send() {
    const QELString posted = argument(names_.formMessageID);
    if (posted.isEmpty())
        return 0;
    QELString messageID, pageText;
    int32_t code = moveToRecord(ParseIdentifier(argument(names_.formRecordID, "0")));
    if (code == 0)
        code = checkMessageID(posted, messageID);
    if (code == 0 && !present(names_.formPage, pageText))
        code = Refuse(host_, kPageMissing, kSelectExisting, QEL_RESULT_MISSING_PARAMETER);
    if (code == 0)
        code = StartResend(host_, database_, handle_, messageID, spoolFolder_, statusURL_);
    if (code != 0)
        return code;
    output_ += "\r\n<table border=\"0\" align=\"center\"><tr><td align=\"center\">";
    appendFormHead("\r\n\r\n");
    output_ += "\r\n<p><dd><strong>The message is now being resent.  If successful, the message will be removed "
               "from the list.</strong></dl>";
    appendHidden(names_.formPage, IntegerToText(ParsePage(pageText)));
    appendHidden(names_.formAction, names_.commandPostSend.text());
    output_ += "\r\n<p><input type=\"submit\" name=\"Continue\" value=\"Continue\">\r\n</form>\r\n</td></tr></table>";
    return 0;
}

}  // namespace

int32_t QELFailedMailPages::Run(const QELHostServices &host, const QELHostDatabase &database, uint32_t handle,
                                const QELString &spoolFolder, const QELString &statusURL, QELString &output) {
    return AdminPages(host, database, handle, spoolFolder, statusURL, output).run();
}

int32_t QELFailedMailPages::Resend(const QELHostServices &host, const QELHostDatabase &database, uint32_t handle,
                                   const QELString &messageID, const QELString &spoolFolder,
                                   const QELString &statusURL, bool *started) {
    if (started != nullptr)
        *started = false;
    QELDecimal id(25, 0);
    if (!QELFailedMailLog::ParseMessageID(messageID, &id))
        return 0;
    const QELString digits = id.toText();
    QELString criteria(ModuleNames().logMessageID);
    criteria += " = '";
    criteria += digits;
    criteria += "'";
    int32_t code = database.SelectRecords(handle, criteria);
    if (code != 0)
        return ReportDatabaseError(host, kSearchFailed, code);
    if (database.GetSelectedRecordCount(handle) == 0)
        return 0;
    code = database.MoveToFirstRecord(handle);
    if (code != 0)
        return ReportDatabaseError(host, kMoveFailed, code);
    code = StartResend(host, database, handle, digits, spoolFolder, statusURL);
    if (code == 0 && started != nullptr)
        *started = true;
    return code;
}
