// POPTag.cpp: the qelPOP tag: fetches the mailbox's new messages into a host database, one
// record per message stored in full, their uploaded files into the attachment folder.
#include "tags/POPTag.h"

#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/HTMLEscape.h"
#include "foundation/NumberText.h"
#include "foundation/StringSplitter.h"
#include "mail/MultipartMessage.h"
#include "mail/NameValueList.h"
#include "module/DatabaseGuard.h"
#include "module/HostDatabase.h"
#include "module/HostInterface.h"
#include "module/ModuleNames.h"
#include "net/NetworkLimits.h"
#include "net/POP3Client.h"
#include "net/UIDLListing.h"
#include "tags/DatabaseLayout.h"
#include "tags/MailServerSettings.h"

namespace {

constexpr int32_t Code(uint32_t code) { return static_cast<int32_t>(code); }
const int32_t kGeneralFailure = Code(QEL_RESULT_GENERAL_FAILURE);
const char kWebmaster[] = "Please contact the webmaster to report this problem.";
const char kBlanks[] = " \t\r\n";
// The longest message text a record keeps.
constexpr uint32_t kMessageLimit = 51200;
constexpr uint32_t kDefaultAttachmentKilobytes = 3072;
// One fetch logs in at most this many times: a session that falls out of step (a retrieval
// cut short) is replaced by a new login.
constexpr uint32_t kMostLogins = 4;

// The layout of a message database, in the order its fields are added.
const QELDatabaseLayout::Field kLayout[] = {
    {&QELModuleNames::fieldHeader, 0x00070000u},       {&QELModuleNames::fieldMessage, 0x00070000u},
    {&QELModuleNames::fieldRead, 0x00010000u},         {&QELModuleNames::fieldUniqueID, 0x06060032u},
    {&QELModuleNames::fieldTo, 0x00070000u},           {&QELModuleNames::fieldFrom, 0x00070000u},
    {&QELModuleNames::fieldFromName, 0x00070000u},     {&QELModuleNames::fieldFromEmail, 0x00070000u},
    {&QELModuleNames::fieldDate, 0x00070000u},         {&QELModuleNames::fieldSubject, 0x00070000u},
    {&QELModuleNames::fieldSize, 0x00070000u},         {&QELModuleNames::fieldReturnPath, 0x00070000u},
    {&QELModuleNames::fieldReceived, 0x00070000u},     {&QELModuleNames::fieldXSender, 0x00070000u},
    {&QELModuleNames::fieldMessageIDHeader, 0x00070000u}, {&QELModuleNames::fieldMimeVersion, 0x00070000u},
    {&QELModuleNames::fieldContentType, 0x00070000u},  {&QELModuleNames::fieldStatusHeader, 0x00070000u},
    {&QELModuleNames::fieldAttachmentFileNames, 0x00070000u},
};

bool BreaksALine(const QELString &text) {
    for (uint32_t i = 0; i < text.length(); ++i)
        if (text[i] == '\r' || text[i] == '\n' || text[i] == '\0')
            return true;
    return false;
}

int32_t Report(const QELHostServices &host, const QELString &message, const char *explanation, int32_t code) {
    host.SetErrorInfo(message, QELString(explanation));
    return code;
}

const char kUnableToConnect[] = "The client was unable to connect to the POP server.";
const char kTryAgain[] = "Please try again in a few minutes.";

// The box of a login that could not connect: when a secure session could not be made, the
// message names the cause (escaped, since the texts are HTML).
int32_t ReportUnableToConnect(const QELHostServices &host, const QELPOP3Client &client) {
    QELString message(kUnableToConnect);
    switch (client.securityFailure()) {
    case QELPOP3Client::kSettingsUnusable:
        // The cause names a file of the server; it goes to the log, not to visitors.
        message.append(" The mail server settings cannot be used; the host's log says why.");
        return Report(host, message, kTryAgain, kGeneralFailure);
    case QELPOP3Client::kSecureSessionFailed:
        message.append(" No secure connection could be made: ");
        break;
    default:
        return Report(host, message, kTryAgain, kGeneralFailure);
    }
    message.append(HTMLEscape(client.LastError()));
    message.append(".");
    return Report(host, message, kTryAgain, kGeneralFailure);
}

// The value of the first header line named name: the line begins with the name, then
// optional blanks and ":"; the value follows the ":" without its leading blanks and line
// breaks. Only that physical line is read; "" when no line has the name.
QELString HeaderValue(const QELStringSplitter &lines, const QELString &name) {
    for (uint32_t i = 0; i < lines.fieldCount(); ++i) {
        QELString line = lines.field(i);
        if (!line.startsWith(name, QELString::kIgnoreCase))
            continue;
        uint32_t at = name.length();
        while (at < line.length() && (line[at] == ' ' || line[at] == '\t'))
            ++at;
        if (at >= line.length() || line[at] != ':')
            continue;
        QELString value = line.substring(at + 1);
        value.trimLeading(kBlanks);
        return value;
    }
    return QELString();
}

// The multipart boundary that the header text names ("boundary=" in it, not at its start;
// quoted, or up to the end of its line or of the header text); empty when none.
QELString BoundaryOf(const QELString &header) {
    uint32_t at;
    if (!header.find("boundary=", &at) || at == 0)
        return QELString();
    uint32_t start = at + 9;
    uint32_t end = header.length();
    if (start < header.length() && header[start] == '"') {
        ++start;
        if (!header.find("\"", &end, start))
            end = header.length();
    } else {
        uint32_t lineEnd;
        if (header.find("\r\n", &lineEnd, start))
            end = lineEnd;
    }
    return header.substring(start, end - start);
}

constexpr uint32_t kLayoutFields = sizeof kLayout / sizeof kLayout[0];

// Opens the database for shared use, laying it out first when it is new. Fields are added
// in layout order, so a database that holds only the layout's first fields and no record
// was cut short (a refused field, a stopped process): it gets the rest, and the log says
// so. Any other database is another's and is left as it is (the fetch finds that it takes
// no message). On failure the error is reported and nothing is left open; the database
// system stays started.
int32_t OpenMessageDatabase(const QELHostServices &host, const QELHostDatabase &database, const QELString &name,
                            uint32_t &handle) {
    if (database.OpenDatabase(name, QEL_OPEN_SHARED, QELString(), handle) != 0)
        return Report(host, "The database could not be opened.", kWebmaster, kGeneralFailure);
    {
        // Each handle below is closed on every way out, a failed allocation included,
        // unless it goes to the caller.
        QELDatabaseGuard shared(database, false);
        shared.opened(handle);
        const uint32_t fields = database.GetFieldCount(handle);
        if (fields != 0 && !QELDatabaseLayout::IsUnfinished(database, handle, kLayout, kLayoutFields, fields)) {
            shared.release();
            return 0;
        }
    }
    if (database.OpenDatabase(name, QEL_OPEN_EXCLUSIVE, QELString(), handle) != 0)
        return Report(host, "The database could not be opened.", kWebmaster, kGeneralFailure);
    {
        QELDatabaseGuard exclusive(database, false);
        exclusive.opened(handle);
        // Another request may have laid it out between the two opens.
        const uint32_t fields = database.GetFieldCount(handle);
        const bool unfinished = QELDatabaseLayout::IsUnfinished(database, handle, kLayout, kLayoutFields, fields);
        if (fields == 0 || unfinished) {
            if (unfinished)
                host.WriteLogEntry(QELString("qelPOP: the database ") + name + " was left with " +
                                   IntegerToText(fields) + " of its fields and no record; the others are added");
            if (QELDatabaseLayout::AddFields(database, handle, kLayout, kLayoutFields, fields) != 0)
                return Report(host, "The database could not be created.", kWebmaster, kGeneralFailure);
        }
    }
    if (database.OpenDatabase(name, QEL_OPEN_SHARED, QELString(), handle) != 0)
        return Report(host, "The database could not be opened.", kWebmaster, kGeneralFailure);
    return 0;
}

// One fetch: the mailbox's messages against the open database.
class Fetch {
public:
    Fetch(const QELHostServices &host, const QELHostDatabase &database, uint32_t handle, const QELString &folder)
        : host_(host), database_(database), handle_(handle), folder_(folder) {}

    int32_t Run(const QELString &server, const QELString &user, const QELString &password, uint32_t *count);

private:
    // Retrieves message number into the current record (its files into the folder); why
    // it was not stored in full, or "" when it was.
    QELString Store(QELPOP3Client &client, const QELString &number);
    // Makes the record just added for identifier current, with its identifier in recordId:
    // the last record, or else the one that a selection by its Unique ID finds (that
    // selection stays; the next message is then found the same way). False when neither is it.
    bool FindAdded(const QELString &identifier, uint32_t &recordId);
    // Logs why a message stayed on the server and takes back what was made for it.
    void Abandon(const QELString &number, const QELString &identifier, uint32_t recordId, const QELString &why);
    bool LoginAgain(QELPOP3Client &client);
    // Logs how many records reserve a message that was never stored (a fetch that ended
    // early, such as a process killed meanwhile, or one that runs now). Such a message
    // stays on the server and is not fetched again while its record exists; the record is
    // left for the administrator.
    void ReportUnfinishedReservations();
    void Log(const QELString &text) const { host_.WriteLogEntry(QELString("qelPOP: ") + text); }

    const QELHostServices &host_;
    const QELHostDatabase &database_;
    uint32_t handle_;
    QELString folder_;
    bool deleteOnServer_ = false;
    uint32_t sizeLimit_ = kDefaultAttachmentKilobytes;
    QELMultipartMessage parser_;
    QELNameValueList list_;
    // Logins so far; after the first, message numbers come from renumbered_.
    uint32_t logins_ = 1;
    std::unordered_map<std::string, std::string> renumbered_;
    // The identifiers of the messages deleted so far (a new login deletes them again).
    std::vector<std::string> deleted_;
};

int32_t Fetch::Run(const QELString &server, const QELString &user, const QELString &password, uint32_t *count) {
    const QELModuleNames &names = ModuleNames();
    host_.GetTagParameterFlag(names.deleteMessagesOnServer.text(), 0, deleteOnServer_, false);
    host_.GetTagParameter(names.maximumAttachmentSize.text(), 0, sizeLimit_, kDefaultAttachmentKilobytes);

    ReportUnfinishedReservations();
    QELPOP3Client client(server, user, password);
    QELPOP3Client::POP3LoginStatus status = client.Login();
    if (status != QELPOP3Client::kSuccess) {
        Log(QELString("login to ") + server + " failed: " + client.LastError());
        switch (status) {
        case QELPOP3Client::kAlreadyConnected:
            return Report(host_, "The client is already connected.", "Please logout and try again.", kGeneralFailure);
        case QELPOP3Client::kInvalidPassword:
            return Report(host_, "The password was invalid.",
                          "Please provide the proper password for the given username.", kGeneralFailure);
        case QELPOP3Client::kUnknownUser:
            return Report(host_, "The username was invalid.", "Please provide a valid username.", kGeneralFailure);
        default:
            return ReportUnableToConnect(host_, client);
        }
    }
    QELString reply = client.SendCommand("UIDL");
    if (reply.isEmpty())
        Log(QELString("the list of messages on ") + server + " was not read: " + client.LastError());
    if (!QELPOP3Client::IsPositive(reply)) {
        client.Logout();
        return 0;
    }
    QELUIDLListing listing;
    listing.Parse(reply);
    reply.clear();
    // The sizes, so that a message no retrieval could hold is left unread.
    std::unordered_map<std::string, uint32_t> sizes;
    {
        QELString listed = client.SendCommand("LIST");
        QELUIDLListing entries;
        if (QELPOP3Client::IsPositive(listed) && entries.Parse(listed))
            for (uint32_t k = 0; k < entries.count(); ++k)
                sizes[entries.number(k).text()] = uint32_t(TextToInteger(entries.identifier(k)));
    }
    const uint32_t cap = GetNetworkLimits().pop3RetrievalByteCap;

    for (uint32_t i = 0; i < listing.count(); ++i) {
        QELString number = listing.number(i);
        QELString identifier = listing.identifier(i);
        auto size = sizes.find(number.text());
        if (size != sizes.end() && size->second > cap) {
            Log(QELString("message ") + number + " (" + identifier + ") is larger than " + IntegerToText(cap) +
                " bytes; it is left on the server unread");
            continue;
        }
        if (logins_ > 1) {
            // Numbers belong to a session: after a new login, look the message up again.
            auto now = renumbered_.find(identifier.text());
            if (now == renumbered_.end())
                continue;  // gone from the server meanwhile
            number = QELString(now->second.c_str());
        }
        if (database_.CreateRecord(handle_) != 0)
            continue;
        // The record reserves the message for this fetch; its empty Header tells it from a
        // stored one (whose Header holds at least the retrieval's status line).
        if (database_.SetFieldValue(handle_, names.fieldUniqueID, identifier) != 0 ||
            database_.SetFieldValue(handle_, names.fieldHeader, QELString()) != 0) {
            // A database of another layout: nothing is added to it.
            client.Logout();
            return Report(host_, "The database could not be opened.", kWebmaster, kGeneralFailure);
        }
        if (database_.AddRecord(handle_) != 0)
            continue;  // fetched before
        uint32_t recordId = 0;
        if (!FindAdded(identifier, recordId)) {
            Log(QELString("message ") + number + " (" + identifier + ") could not be found again after it was added");
            continue;
        }
        QELString why = Store(client, number);
        if (!why.isEmpty()) {
            Abandon(number, identifier, recordId, why);
            if (client.isOutOfStep() && !LoginAgain(client))
                return 0;
            continue;
        }
        ++*count;
        if (deleteOnServer_) {
            client.SendCommand(QELString("DELE ") + number);
            deleted_.push_back(identifier.text());
        }
    }
    client.Logout();
    return 0;
}

bool Fetch::FindAdded(const QELString &identifier, uint32_t &recordId) {
    const QELModuleNames &names = ModuleNames();
    auto isCurrent = [&] {
        recordId = database_.GetFieldIdentifier(handle_, "QELIDFIELD");
        return database_.GetFieldText(handle_, names.fieldUniqueID).equals(identifier);
    };
    database_.MoveToLastRecord(handle_);
    if (isCurrent())
        return true;
    // A record left behind here would make every later fetch skip the message for good.
    uint32_t quote;
    if (identifier.find("'", &quote))
        return false;
    QELString criteria(names.fieldUniqueID);
    criteria += " = '";
    criteria += identifier;
    criteria += "'";
    return database_.SelectRecords(handle_, criteria) == 0 && database_.MoveToFirstRecord(handle_) == 0 &&
           isCurrent();
}

QELString Fetch::Store(QELPOP3Client &client, const QELString &number) {
    const QELModuleNames &names = ModuleNames();
    QELString reply = client.SendCommand(QELString("RETR ") + number);
    if (reply.isEmpty())
        return QELString("the retrieval failed: ") + client.LastError();
    if (!QELPOP3Client::IsPositive(reply)) {
        uint32_t lineEnd = reply.length();
        reply.find("\r\n", &lineEnd);
        return QELString("the server refused the retrieval: ") + reply.substring(0, lineEnd);
    }
    QELString header, text;
    QELPOP3Client::SplitRetrieval(reply, header, text);
    // The header text begins with the retrieval's status line.
    uint32_t statusEnd = reply.length();
    reply.find("\r\n", &statusEnd);
    QELString fullHeader = reply.substring(0, statusEnd);
    if (!header.isEmpty()) {
        fullHeader.append("\r\n");
        fullHeader.append(header);
    }
    reply.clear();

    QELString boundary = BoundaryOf(fullHeader);
    if (!boundary.isEmpty()) {
        QELStringSplitter patterns(QELString(".*"), QELString(","));
        QELString result;
        if (parser_.ParseMultipart(text, boundary, 0, text.length(), folder_, patterns, sizeLimit_, result, &list_))
            text = result;
        if (parser_.storeFailed())
            return QELString("a file of the message could not be stored in ") + folder_;
    }
    if (text.length() > kMessageLimit)
        text.erase(kMessageLimit, QELString::kAll);

    QELStringSplitter lines(fullHeader, QELString("\r\n"));
    auto value = [&](const QELString &name) { return HeaderValue(lines, name); };
    struct Text {
        const QELString *field;
        QELString value;
    };
    int32_t failed = database_.SetFieldValue(handle_, names.fieldHeader, fullHeader);
    if (failed == 0)
        failed = database_.SetFieldFlag(handle_, names.fieldRead, false);
    const Text texts[] = {
        {&names.fieldTo, value(names.fieldTo)},
        {&names.fieldDate, value(names.fieldDate)},
        {&names.fieldSize, IntegerToText(text.length())},
        {&names.fieldReturnPath, value(names.fieldReturnPath)},
        {&names.fieldReceived, value(names.fieldReceived)},
        {&names.fieldXSender, value(names.fieldXSender)},
        {&names.fieldMessageIDHeader, value(names.fieldMessageIDHeader)},
        {&names.fieldMimeVersion, value(names.fieldMimeVersion)},
        {&names.fieldContentType, value(names.fieldContentType)},
        {&names.fieldStatusHeader, value(names.fieldStatusHeader)},
        {&names.fieldMessage, text},
        {&names.fieldSubject, value(names.fieldSubject)},
    };
    for (const Text &field : texts)
        if (failed == 0)
            failed = database_.SetFieldValue(handle_, *field.field, field.value);

    // From: a display name before "<" and the address inside the brackets.
    QELString from = value(names.fieldFrom);
    uint32_t bracket;
    if (failed == 0 && from.find("<", &bracket)) {
        QELString name = from.substring(0, bracket);
        name.trim(kBlanks);
        QELString address = from.substring(bracket + 1);
        address.trim(kBlanks);
        address.stripTrailing('>', QELString::kAll);
        address.trim(kBlanks);
        failed = database_.SetFieldValue(handle_, names.fieldFromName, name);
        if (failed == 0)
            failed = database_.SetFieldValue(handle_, names.fieldFromEmail, address);
    } else if (failed == 0) {
        failed = database_.SetFieldValue(handle_, names.fieldFromEmail, from);
    }
    if (failed == 0)
        failed = database_.SetFieldValue(handle_, names.fieldFrom, from);
    if (failed == 0 && parser_.storedFileCount() != 0) {
        QELString stored;
        for (uint32_t i = 0; i < parser_.storedFileCount(); ++i) {
            if (i != 0)
                stored.append("\r\n");
            stored.append(parser_.storedFileName(i));
        }
        failed = database_.SetFieldValue(handle_, names.fieldAttachmentFileNames, stored);
    }
    if (failed != 0)
        return QELString("the database refused a field value (") + SignedIntegerToText(failed) + ")";
    failed = database_.UpdateRecord(handle_);
    if (failed != 0)
        return QELString("the database refused the record (") + SignedIntegerToText(failed) + ")";
    return QELString();
}

void Fetch::Abandon(const QELString &number, const QELString &identifier, uint32_t recordId, const QELString &why) {
    parser_.RemoveStoredFiles();
    database_.DeleteRecord(handle_, recordId);
    Log(QELString("message ") + number + " (" + identifier + ") was not stored: " + why +
        "; it stays on the server for a later fetch");
}

void Fetch::ReportUnfinishedReservations() {
    const QELString &header = ModuleNames().fieldHeader;
    if (database_.SelectRecords(handle_, header + " = ''") != 0)
        return;
    const uint32_t unfinished = database_.GetSelectedRecordCount(handle_);
    database_.SelectRecords(handle_, QELString());
    if (unfinished != 0)
        Log(IntegerToText(unfinished) + (unfinished == 1 ? " record reserves a message" : " records reserve messages") +
            " that no fetch stored (one ended early or runs now); those messages stay on the server and the "
            "records are kept");
}

bool Fetch::LoginAgain(QELPOP3Client &client) {
    client.Logout();
    if (logins_ >= kMostLogins) {
        Log(QELString("the session fell out of step ") + IntegerToText(logins_) +
            " times; the other messages are left for a later fetch");
        return false;
    }
    ++logins_;
    if (client.Login() != QELPOP3Client::kSuccess) {
        Log(QELString("logging in again failed: ") + client.LastError());
        return false;
    }
    QELUIDLListing listing;
    QELString reply = client.SendCommand("UIDL");
    if (!QELPOP3Client::IsPositive(reply) || !listing.Parse(reply)) {
        Log(QELString("the list of messages was not read again: ") + client.LastError());
        client.Logout();
        return false;
    }
    renumbered_.clear();
    for (uint32_t k = 0; k < listing.count(); ++k)
        renumbered_[listing.identifier(k).text()] = listing.number(k).text();
    // The broken session's deletions were undone with it.
    for (const std::string &identifier : deleted_) {
        auto now = renumbered_.find(identifier);
        if (now != renumbered_.end())
            client.SendCommand(QELString("DELE ") + QELString(now->second.c_str()));
    }
    return true;
}

}  // namespace

int32_t QELPOPTag::Run(const QELHostServices &host, QELString &output) {
    const QELModuleNames &names = ModuleNames();
    output.clear();
    QELString user, password, server, databaseName;
    if (!host.ReportMissingParameter(names.username.text(), 0, user) ||
        !host.ReportMissingParameter(names.password.text(), 0, password) ||
        !host.ReportMissingParameter(names.mailServer.text(), 0, server) ||
        !host.ReportMissingParameter(names.databaseName.text(), 0, databaseName))
        return Code(QEL_RESULT_MISSING_PARAMETER);
    QELString variable;
    host.GetTagParameter(names.resultVariableName.text(), 0, variable, QELString("qelPOP"));
    variable.append("_ResultCount");
    uint32_t count = 0;
    auto finish = [&](int32_t result) {
        host.SetPageVariable(variable, IntegerToText(count));
        return result;
    };
    if (BreaksALine(user) || BreaksALine(password))
        return finish(Report(host, "The username or password contains a line break or a zero byte.",
                             "Please remove control characters from the username and password.",
                             Code(QEL_RESULT_INVALID_PARAMETER)));
    QELString folder;
    host.GetTagParameter(names.attachmentFolderLocation.text(), 0, folder, QELString("Attachments"));
    if (!host.ResolveFolderPath(folder))
        return finish(Code(QEL_RESULT_NOT_AUTHORISED));

    // Security per mail server comes from the settings file of the data folder.
    LoadMailServerSettings(host);

    QELString source, odbcUser, odbcPassword;
    host.GetTagParameter(names.odbcDataSource.text(), 0, source);
    host.GetTagParameter(names.odbcUsername.text(), 0, odbcUser);
    host.GetTagParameter(names.odbcPassword.text(), 0, odbcPassword);
    QELHostDatabase database(host.context());
    if (database.DatabaseStartup(source, odbcUser, odbcPassword) != 0)
        return Report(host, "The database system could not be initialized.", kWebmaster, kGeneralFailure);
    int32_t result = 0;
    {
        // Closed and shut down on every path, a failed allocation included.
        QELDatabaseGuard guard(database, true);
        uint32_t handle = 0;
        result = OpenMessageDatabase(host, database, databaseName, handle);
        if (result == 0) {
            guard.opened(handle);
            Fetch fetch(host, database, handle, folder);
            result = fetch.Run(server, user, password, &count);
        }
    }
    return finish(result);
}
