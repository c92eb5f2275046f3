// SendMailTag.cpp: the qelSendMail tag: checks the page's values, composes the message and
// hands it to a delivery job; or, in its database modes, resends or administers failed mail.
#include "tags/SendMailTag.h"

#include "foundation/FileInputStream.h"
#include "foundation/FileStream.h"
#include "foundation/RegularExpression.h"
#include "foundation/StringInputStream.h"
#include "mail/EmailMessage.h"
#include "module/DatabaseGuard.h"
#include "module/HostDatabase.h"
#include "module/HostInterface.h"
#include "module/ModuleNames.h"
#include "module/Registration.h"
#include "tags/FailedMailLog.h"
#include "tags/FailedMailPages.h"
#include "tags/MailServerSettings.h"

namespace {

constexpr int32_t Code(uint32_t code) { return static_cast<int32_t>(code); }
const char kBlanks[] = " \t\r\n";
// The longest address a mail server takes (RFC 5321 path limit less the brackets).
constexpr uint32_t kLongestAddress = 254;
// Input text read from the attachment files, per refill.
constexpr uint32_t kAttachmentBuffer = 2048;
// The spool file that the mode "sendFailedMail" resends.
const char kFixedSpoolFile[] = "msg2451812700405";

int32_t Report(const QELHostServices &host, const char *message, const char *explanation, int32_t code) {
    host.SetErrorInfo(QELString(message), QELString(explanation));
    return code;
}

// A byte that would end or split a header line or a command.
bool BreaksALine(const QELString &text) {
    for (uint32_t i = 0; i < text.length(); ++i)
        if (text[i] == '\r' || text[i] == '\n' || text[i] == '\0')
            return true;
    return false;
}

// The values every mode needs: where undelivered mail is kept and where jobs report (""
// when the host did not name itself: no job may start then, its report would go nowhere).
struct Common {
    QELString spoolFolder;
    QELString statusURL;
};

// 0 with run set when the tag goes on; 0 with run clear when the page's path holds no "/"
// (the tag then does nothing). A host that does not answer the page's path or the spool
// folder gets 'MGen', reported: no mode can keep its mail without them.
int32_t ReadCommon(const QELHostServices &host, Common &common, bool &run) {
    run = false;
    bool answered = false;
    QELString script = host.GetCGIVariable("SCRIPT_NAME", &answered);
    if (!answered)
        return Report(host, "The address of the page is not available.",
                      "Report this error to your System Administrator.", Code(QEL_RESULT_GENERAL_FAILURE));
    uint32_t slash;
    if (!script.find("/", &slash, QELString::kAll, QELString::kAll, QELString::kBackward))
        return 0;
    common.spoolFolder = host.GetDataFolderPath("FM");
    if (common.spoolFolder.isEmpty())
        return Report(host, "The folder for undelivered mail is not available.",
                      "Report this error to your System Administrator.", Code(QEL_RESULT_GENERAL_FAILURE));
    const QELString virtualHost = host.GetVirtualHost();
    if (!virtualHost.isEmpty())
        common.statusURL = QELString("http://") + virtualHost + script.substring(0, slash + 1) +
                           QELRegistration::ActionName().text();
    run = true;
    return 0;
}

// Checks one address against the module's pattern: a match at its first byte that covers
// it whole. 0, or the failure already reported.
int32_t CheckAddress(const QELHostServices &host, const QELString &address, const char *invalidMessage) {
    const char *explanation = "Validate the email address before submitting to the sendmail tag.";
    if (BreaksALine(address))
        return Report(host, "An email address contains a line break or a zero byte.", explanation,
                      Code(QEL_RESULT_INVALID_ADDRESS));
    QELRegularExpression expression;
    if (expression.Compile(ModuleNames().addressPattern) != 0)
        return Report(host, "The compilation of the regular expression failed.",
                      "Carefully check the syntax of the regular expression for misplaced symbols.",
                      Code(QEL_RESULT_OPERATION_FAILED));
    uint32_t length = 0;
    if (address.length() > kLongestAddress || !expression.MatchAtStart(address, &length) ||
        length != address.length())
        return Report(host, invalidMessage, explanation, Code(QEL_RESULT_INVALID_ADDRESS));
    return 0;
}

// Every occurrence of a recipient parameter, added to its list; 0 or 'MInv' reported.
int32_t AddRecipients(const QELHostServices &host, const QELString &parameter, QELString &list) {
    for (uint32_t index = 0;; ++index) {
        QELString address;
        if (!host.GetTagParameter(parameter, index, address))
            return 0;
        QELString trimmed(address);
        trimmed.trim(kBlanks);
        if (BreaksALine(trimmed))
            return Report(host, "An email address contains a line break or a zero byte.",
                          "Validate the email address before submitting to the sendmail tag.",
                          Code(QEL_RESULT_INVALID_ADDRESS));
        QELEmailMessage::AddRecipient(address, list);
    }
}

// The name of an attachment: the value after its last "/", or all of it.
QELString NameAfterLastSlash(const QELString &value) {
    uint32_t slash;
    if (!value.find("/", &slash, QELString::kAll, QELString::kAll, QELString::kBackward))
        return value;
    return value.substring(slash + 1);
}

// Attaches the files of attachmentFileLocation. A file is taken only when the file opened
// lies inside the page's folder (links followed); 0, or the failure reported and returned
// (the message goes out with the files attached before it).
int32_t AttachFiles(const QELHostServices &host, QELEmailMessage &message) {
    const QELModuleNames &names = ModuleNames();
    const QELString pageFolder = host.GetPageFolderPath();
    const QELFileSystemItem folder(pageFolder);
    for (uint32_t index = 0;; ++index) {
        QELString location;
        if (!host.GetTagParameter(names.attachmentFileLocation.text(), index, location))
            return 0;
        QELOwned<QELFileStream> stream;
        try {
            stream = OpenFileStream(QELFileSystemItem(pageFolder + location), FileOpenMode::ReadOnly);
        } catch (const QELException &) {
            return Report(host, "Internal File System Error", "Report this error to your System Administrator",
                          Code(QEL_RESULT_OPERATION_FAILED));
        }
        if (!stream || pageFolder.isEmpty() || !folder.Contains(stream->GetOpenPath()))
            return Report(host, "File not found!", "Check to see if the file actually exists.",
                          Code(QEL_RESULT_FILE_NOT_FOUND));
        uint32_t size = stream->GetSize();
        QELFileInputStream input(std::move(stream), kAttachmentBuffer);
        message.AddAttachment(input, QELEmailMessage::kBase64, NameAfterLastSlash(location),
                              static_cast<int32_t>(size));
    }
}

// The server the preferences choose: 0 with server set, or 'MMRP' (reported when the
// parameter was required).
int32_t ChooseServer(const QELHostServices &host, QELString &server) {
    const QELModuleNames &names = ModuleNames();
    QELHashedName use(host.GetPreference(names.preferenceUseMailServerName, QELString()), QELHashedName::kCaseInsensitive);
    QELString preferred = host.GetPreference(names.preferenceMailServerName, QELString());
    if (use == names.keywordAlways) {
        server = preferred;
    } else if (use == names.keywordByDefault) {
        if (!host.GetTagParameter(names.mailServer.text(), 0, server))
            server = preferred;
    } else if (!host.ReportMissingParameter(names.mailServer.text(), 0, server)) {
        return Code(QEL_RESULT_MISSING_PARAMETER);
    }
    return server.isEmpty() ? Code(QEL_RESULT_MISSING_PARAMETER) : 0;
}

// The offset of the Date header: the parameter, or the preference when the parameter is
// missing or empty and the preference asks for it. 0, or 'MIPV' reported for an offset
// that is no number or lies outside -12 to 12.
int32_t ChooseGMTOffset(const QELHostServices &host, QELDecimal &offset) {
    const QELModuleNames &names = ModuleNames();
    QELString text;
    host.GetTagParameter(names.gmtOffset.text(), 0, text);
    if (text.isEmpty() && IsTrueText(host.GetPreference(names.preferenceReturnGMTOffsetByDefault, names.defaultNo)))
        text = host.GetPreference(names.preferenceGMTOffset, names.defaultZero);
    offset = QELDecimal();
    if (text.isEmpty())
        return 0;
    offset = text;
    if (offset.isEmpty() || offset < names.gmtOffsetMinimum || offset > names.gmtOffsetMaximum)
        return Report(host, "The GMT offset is invalid.", "Please provide a valid GMT offset.",
                      Code(QEL_RESULT_INVALID_PARAMETER));
    return 0;
}

// The extra header lines, paired name and value in document order; 0 or 'MIPV' reported.
int32_t HeaderLines(const QELHostServices &host, QELString &lines) {
    const QELModuleNames &names = ModuleNames();
    const QELHashedName headerName(names.headerName, QELHashedName::kCaseInsensitive);
    const QELHashedName headerValue(names.headerValue, QELHashedName::kCaseInsensitive);
    QELString pending;
    QELHashedName name;
    QELString value;
    for (uint32_t index = 0; host.GetTagParameterAt(index, name, value); ++index) {
        if (name == headerName) {
            pending = value;
        } else if (name == headerValue) {
            if (!pending.isEmpty()) {
                if (BreaksALine(pending) || BreaksALine(value))
                    return Report(host, "A header name or value contains a line break or a zero byte.",
                                  "Write each header on one line.", Code(QEL_RESULT_INVALID_PARAMETER));
                if (!lines.isEmpty())
                    lines.append("\r\n");
                lines.append(pending);
                lines.append(": ");
                lines.append(value);
            }
            pending.clear();
        }
    }
    return 0;
}

// The tag's body with every line end made CR LF.
QELString Body(const QELHostServices &host) {
    QELString body = host.GetTagBody();
    body.replaceAll("\r\n", QELString("\r"));
    body.replaceAll("\n", QELString("\r"));
    body.replaceAll("\r", QELString("\r\n"));
    return body;
}

int32_t SendMail(const QELHostServices &host, const Common &common) {
    const QELModuleNames &names = ModuleNames();
    QELEmailMessage message(common.spoolFolder, common.statusURL);
    QELString server;
    if (int32_t result = ChooseServer(host, server))
        return result;
    message.SetSMTPServer(server);

    QELDecimal offset;
    if (int32_t result = ChooseGMTOffset(host, offset))
        return result;
    message.SetGMTOffset(offset);

    QELString from;
    if (!host.ReportMissingParameter(names.from.text(), 0, from))
        return Code(QEL_RESULT_MISSING_PARAMETER);
    if (int32_t result = CheckAddress(host, from, "The from address is not a valid email address."))
        return result;
    message.SetFrom(from);

    QELString replyTo;
    if (host.GetTagParameter(names.replyTo.text(), 0, replyTo) && !replyTo.isEmpty())
        if (int32_t result = CheckAddress(host, replyTo, "The replyTo address is not a valid email address."))
            return result;
    message.SetReplyTo(replyTo);

    QELString subject;
    if (host.GetTagParameter(names.subject.text(), 0, subject)) {
        if (BreaksALine(subject))
            return Report(host, "The subject contains a line break or a zero byte.", "Write the subject on one line.",
                          Code(QEL_RESULT_INVALID_PARAMETER));
        message.SetSubject(subject);
    }

    QELString headers;
    if (int32_t result = HeaderLines(host, headers))
        return result;
    if (headers.isEmpty()) {
        bool html = false;
        host.GetTagParameterFlag(names.sendAsHTML, 0, html, false);
        headers = html ? names.contentTypeHTML : names.contentTypePlain;
    }
    message.SetBodyHeaders(headers);
    message.SetBody(Body(host));

    QELString first;
    if (!host.ReportMissingParameter(names.to.text(), 0, first))
        return Code(QEL_RESULT_MISSING_PARAMETER);
    QELString to, cc, bcc;
    if (int32_t result = AddRecipients(host, names.to.text(), to))
        return result;
    if (to.isEmpty()) {
        // Only blanks: as good as no recipient at all.
        host.ReportMissing(names.to.text());
        return Code(QEL_RESULT_MISSING_PARAMETER);
    }
    if (int32_t result = AddRecipients(host, names.cc.text(), cc))
        return result;
    if (int32_t result = AddRecipients(host, names.bcc.text(), bcc))
        return result;
    message.AddTo(to);
    message.AddCC(cc);
    message.AddBCC(bcc);

    for (uint32_t index = 0;; ++index) {
        QELString data;
        if (!host.GetTagParameter(names.attachmentData.text(), index, data))
            break;
        QELStringInputStream stream(data);
        message.AddAttachment(stream, QELEmailMessage::kBase64, NameAfterLastSlash(data), -1);
    }
    int32_t result = AttachFiles(host, message);

    // The job finds the server's security and credentials in the settings as they are now.
    LoadMailServerSettings(host);
    if (common.statusURL.isEmpty() || !message.CreateDeliveryJob())
        return Report(host, "The message could not be queued for delivery.",
                      "Report this error to your System Administrator.", Code(QEL_RESULT_GENERAL_FAILURE));
    return result;
}

// The database modes: the log open from start to end, closed on every path (a failed
// allocation included).
int32_t WithLog(const QELHostServices &host, const QELHashedName &mode, const Common &common, QELString &output) {
    const QELModuleNames &names = ModuleNames();
    QELHostDatabase database(host.context());
    uint32_t handle = 0;
    int32_t result = QELFailedMailLog::OpenLog(host, database, handle);
    if (result != 0)
        return result;
    QELDatabaseGuard log(database, true);
    log.opened(handle);
    if (mode == names.modeAdmin) {
        result = QELFailedMailPages::Run(host, database, handle, common.spoolFolder, common.statusURL, output);
    } else if (mode == names.modeSendFailedMail) {
        bool started = false;
        result = QELFailedMailPages::Resend(host, database, handle, QELString(kFixedSpoolFile), common.spoolFolder,
                                            common.statusURL, &started);
        output.clear();
    }
    return result;
}

}  // namespace

int32_t QELSendMailTag::Run(const QELHostServices &host, QELString &output) {
    const QELModuleNames &names = ModuleNames();
    QELHashedName mode;
    host.GetTagParameter(names.mode.text(), 0, mode, names.modeSendMail);
    Common common;
    bool run = false;
    if (int32_t result = ReadCommon(host, common, run))
        return result;
    if (!run)
        return 0;
    if (mode != names.modeSendMail)
        return WithLog(host, mode, common, output);
    int32_t result = SendMail(host, common);
    output.clear();
    return result;
}
