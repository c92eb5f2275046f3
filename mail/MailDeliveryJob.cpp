// MailDeliveryJob.cpp: composing the message text, delivery over SMTP, the spool file of
// an undelivered message, resends from it, and the status posts.
#include "mail/MailDeliveryJob.h"

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Date.h"
#include "foundation/FileSpecification.h"
#include "foundation/FileStream.h"
#include "foundation/JulianStamp.h"
#include "foundation/QuotedPrintable.h"
#include "foundation/StringSplitter.h"
#include "net/HTTPClient.h"
#include "net/SMTPClient.h"

namespace {

const char kCRLF[] = "\r\n";
// SMTP servers refuse longer lines.
constexpr uint32_t kLongestLine = 998;
// Names tried for a new spool file before the job gives up.
constexpr uint32_t kSpoolNameTries = 1000;
// The name a spool file is written under before it is complete; "spool1.tmp", "spool2.tmp"
// and so on while it is taken.
const char kTemporarySpoolName[] = "spool.tmp";
// A status post that reaches no server or meets a 5xx answer is tried again after these
// pauses: four tries in all, within 7 s of the first, well inside the minute that
// unloading the module waits for running jobs.
constexpr uint32_t kStatusPostPauses[] = {1000, 2000, 4000};
constexpr uint32_t kStatusPostTries = 1 + sizeof kStatusPostPauses / sizeof kStatusPostPauses[0];

// A copy that shares no buffer with its source, so that the job's thread never touches
// a buffer the request still uses.
QELString Own(const QELString &text) { return QELString(text.text(), text.length()); }

QELDecimal Own(const QELDecimal &number) {
    if (number.isEmpty())
        return QELDecimal();
    QELDecimal copy(number.precision(), number.scale());
    copy = Own(number.toText());
    return copy;
}

// The Message IDs being resent, as their lower-case text.
std::mutex gResendMutex;
std::vector<std::string> &Resending() {
    static std::vector<std::string> ids;
    return ids;
}

std::string Key(const QELString &messageID) {
    std::string key(messageID.text(), messageID.length());
    for (char &c : key)
        c = static_cast<char>(QELLowerCaseTable[static_cast<uint8_t>(c)]);
    return key;
}

void AppendHeader(QELString &text, const char *name, const QELString &value) {
    text.append(name);
    text.append(value);
    text.append(kCRLF);
}

bool IsAddressOrDateHeader(const QELString &line) {
    static const char *const kNames[] = {"Subject: ", "Date: ", "From: ", "Reply-To: ", "To: ", "CC: "};
    for (const char *name : kNames)
        if (line.startsWith(name, QELString::kIgnoreCase))
            return true;
    return false;
}

// Whether the body headers name a transfer encoding already.
bool NamesTransferEncoding(const QELString &headers) {
    uint32_t position;
    return headers.startsWith("Content-Transfer-Encoding:", QELString::kIgnoreCase) ||
           headers.find("\r\nContent-Transfer-Encoding:", &position, 0, QELString::kAll, QELString::kIgnoreCase);
}

// The status code of a response's header block ("HTTP/1.0 503 ..." gives 503); 0 when
// there is none.
int32_t StatusOf(const QELString &headers) {
    uint32_t space;
    if (!headers.startsWith("HTTP/", QELString::kIgnoreCase) || !headers.find(" ", &space))
        return 0;
    int32_t code = 0;
    for (uint32_t i = space + 1; i < headers.length() && i < space + 4; ++i) {
        if (headers[i] < '0' || headers[i] > '9')
            return 0;
        code = code * 10 + (headers[i] - '0');
    }
    return code;
}

}  // namespace

const QELStatusPostNames &QELMailDeliveryJob::StatusPostNames() {
    static const QELStatusPostNames names{"MessageID", "Status", "SMTPServer", "From", "ReplyTo",
                                          "To",        "CC",     "BCC",        "Subject", "Info"};
    return names;
}

const QELString &QELMailDeliveryJob::Boundary() {
    static const QELString boundary("Harnvale_MIME_Multipart_Delimiter");
    return boundary;
}

const QELString &QELMailDeliveryJob::OpeningDelimiter() {
    static const QELString line = QELString("--") + Boundary() + kCRLF;
    return line;
}

const QELString &QELMailDeliveryJob::ClosingDelimiter() {
    static const QELString line = QELString("--") + Boundary() + "--\r\n";
    return line;
}

QELMailDeliveryJob::QELMailDeliveryJob(QELEmailMessage &message) {
    const QELMailFields &from = message.fields_;
    static QELString QELMailFields::*const kTexts[] = {
        &QELMailFields::smtpServer, &QELMailFields::subject,     &QELMailFields::from,
        &QELMailFields::replyTo,    &QELMailFields::to,          &QELMailFields::cc,
        &QELMailFields::bcc,        &QELMailFields::body,        &QELMailFields::bodyHeaders,
        &QELMailFields::spoolFolder, &QELMailFields::storedMessageID, &QELMailFields::statusURL};
    for (QELString QELMailFields::*text : kTexts)
        fields_.*text = Own(from.*text);
    fields_.gmtOffset = Own(from.gmtOffset);
    // The parts the message built itself move over whole; parts shared with anything
    // else are copied.
    if (from.attachmentParts.referenceCount() == 1)
        fields_.attachmentParts = std::move(message.fields_.attachmentParts);
    else
        fields_.attachmentParts = Own(from.attachmentParts);
    if (!fields_.storedMessageID.isEmpty()) {
        std::lock_guard<std::mutex> lock(gResendMutex);
        Resending().push_back(Key(fields_.storedMessageID));
    }
}

QELMailDeliveryJob::~QELMailDeliveryJob() {
    if (fields_.storedMessageID.isEmpty())
        return;
    std::lock_guard<std::mutex> lock(gResendMutex);
    std::vector<std::string> &ids = Resending();
    std::string key = Key(fields_.storedMessageID);
    for (size_t i = 0; i < ids.size(); ++i) {
        if (ids[i] == key) {
            ids.erase(ids.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
}

bool QELMailDeliveryJob::IsBeingResent(const QELString &messageID) {
    std::string key = Key(messageID);
    std::lock_guard<std::mutex> lock(gResendMutex);
    for (const std::string &id : Resending())
        if (id == key)
            return true;
    return false;
}

QELString QELMailDeliveryJob::DotStuff(const QELString &text) {
    QELString stuffed(text);
    if (stuffed.startsWith("."))
        stuffed.insert(".", 0);
    stuffed.replaceAll("\r\n.", QELString("\r\n.."));
    return stuffed;
}

QELString QELMailDeliveryJob::headerLines() const {
    QELString text;
    if (!fields_.subject.isEmpty())
        AppendHeader(text, "Subject: ", fields_.subject);
    AppendHeader(text, "Date: ", QELDate::now().Format(MailDateFormat(), !fields_.gmtOffset.isEmpty(), fields_.gmtOffset));
    AppendHeader(text, "From: ", fields_.from);
    if (!fields_.replyTo.isEmpty())
        AppendHeader(text, "Reply-To: ", fields_.replyTo);
    AppendHeader(text, "To: ", fields_.to);
    if (!fields_.cc.isEmpty())
        AppendHeader(text, "CC: ", fields_.cc);
    return text;
}

QELString QELMailDeliveryJob::ComposeText() const {
    QELString bodyHeaders = fields_.bodyHeaders;
    QELString body = fields_.body;
    if (HasLineLongerThan(body, kLongestLine) && !NamesTransferEncoding(bodyHeaders)) {
        if (!bodyHeaders.isEmpty())
            bodyHeaders.append(kCRLF);
        bodyHeaders.append("Content-Transfer-Encoding: quoted-printable");
        body = QuotedPrintableEncode(body);
    }
    const bool withAttachments = !fields_.attachmentParts.isEmpty();
    QELString text = headerLines();
    text.reserve(text.length() + bodyHeaders.length() + body.length() + fields_.attachmentParts.length() + 256);
    if (withAttachments) {
        text.append("MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"");
        text.append(Boundary());
        text.append("\"\r\n\r\n");
        text.append(OpeningDelimiter());
    }
    text.append(bodyHeaders);
    text.append("\r\n\r\n");
    text.append(body);
    text.append(kCRLF);
    if (withAttachments) {
        text.append(fields_.attachmentParts);
        text.append(kCRLF);
        text.append(ClosingDelimiter());
    }
    return text;
}

bool QELMailDeliveryJob::readSpooledText(QELString &text, bool &missing, QELString &problem) const {
    QELFileSystemItem item(QELFileSystemItem(fields_.spoolFolder), fields_.storedMessageID);
    QELOwned<QELFileStream> stream = OpenFileStream(item, FileOpenMode::ReadOnly);
    missing = false;
    if (!stream) {
        missing = !item.Exists();
        if (missing)
            return true;
        problem = QELString("the spool file ") + fields_.storedMessageID + " could not be read";
        return false;
    }
    if (!UnspoolText(*stream, headerLines(), text)) {
        problem =
            QELString("the spool file ") + fields_.storedMessageID + " is truncated: its end line \".\" is missing";
        return false;
    }
    return true;
}

bool QELMailDeliveryJob::UnspoolText(QELFileStream &stream, const QELString &headers, QELString &text) {
    text = headers;
    bool inHeaders = true;
    bool ended = false;
    const uint32_t size = stream.GetSize();
    while (stream.position() < size) {
        const uint32_t before = stream.position();
        QELString line = stream.ReadLine();
        if (stream.position() == before)
            break;  // a read that failed: the rest cannot be had
        // The end line is known before anything is unstuffed.
        if (line.equals(".")) {
            ended = true;
            break;
        }
        if (line.startsWith(".."))
            line.dropFirst(1);
        if (inHeaders) {
            if (line.isEmpty())
                inHeaders = false;
            else if (IsAddressOrDateHeader(line))
                continue;
        }
        text.append(line);
        text.append(kCRLF);
    }
    if (!ended) {
        // Every spool file ends with the line "."; without it the text is cut short (a
        // write that stopped, or a read that failed) and must not go out as it is.
        text.clear();
        return false;
    }
    return true;
}

QELString QELMailDeliveryJob::writeTemporary(const QELString &text, QELFileSystemItem &temporary) const {
    QELFileSystemItem folder(fields_.spoolFolder);
    temporary = QELFileSystemItem(folder, QELString(kTemporarySpoolName));
    QELOwned<QELFileStream> stream = CreateFileStream(temporary, true);
    if (!stream)
        return QELString("no spool file could be created in ") + fields_.spoolFolder;
    bool written = stream->Write(text.length(), text.text()) == text.length() &&
                   stream->Write(2, kCRLF) == 2;
    stream.reset();
    if (written)
        return QELString();
    removeFromSpool(temporary);
    return QELString("the spool file in ") + fields_.spoolFolder + " could not be written";
}

QELString QELMailDeliveryJob::nameSpoolFile(const QELFileSystemItem &temporary, QELString &messageID) const {
    QELFileSystemItem folder(fields_.spoolFolder);
    if (!fields_.storedMessageID.isEmpty()) {
        messageID = fields_.storedMessageID;
        if (temporary.MoveReplacing(QELFileSystemItem(folder, fields_.storedMessageID)))
            return QELString();
        removeFromSpool(temporary);
        return QELString("the spool file ") + fields_.storedMessageID + " could not be replaced";
    }
    // The next free name of the current Julian date, 0.0000007 day further each time a
    // name is taken. A move never replaces, so a name taken meanwhile is skipped.
    QELDecimal stamp = QELJulianStamp().julianDate();
    const QELDecimal step("0.0000007");
    for (uint32_t attempt = 0; attempt < kSpoolNameTries; ++attempt) {
        QELString name("msg");
        QELString digits = stamp.toText();
        digits.replaceAll(".", QELString());
        digits.trim(" \t\r\n");
        name.append(digits);
        QELFileSystemItem target(folder, name);
        if (temporary.MoveTo(target)) {
            messageID = name;
            return QELString();
        }
        if (!target.Exists())
            break;
        stamp += step;
    }
    removeFromSpool(temporary);
    return QELString("the spool file could not be given a name in ") + fields_.spoolFolder;
}

bool QELMailDeliveryJob::removeFromSpool(const QELFileSystemItem &file) const {
    try {
        return QELFileSpecification(file).Delete();
    } catch (const QELFileSystemItem::IsNotAFile &) {
        return false;
    }
}

void QELMailDeliveryJob::postStatus(const QELString &messageID, const char *status, const QELString &info) const {
    const QELStatusPostNames &names = StatusPostNames();
    const bool failure = QELString(status).equals("F");
    for (uint32_t attempt = 0; attempt < kStatusPostTries; ++attempt) {
        if (attempt != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(kStatusPostPauses[attempt - 1]));
        QELHTTPClient client;
        if (!client.SetURL(fields_.statusURL))
            return;
        client.SetMethod(QELHTTPClient::kPost);
        client.AddPostArgument(names.messageID, messageID);
        client.AddPostArgument(names.status, QELString(status));
        if (failure) {
            client.AddPostArgument(names.smtpServer, fields_.smtpServer);
            client.AddPostArgument(names.from, fields_.from);
            client.AddPostArgument(names.replyTo, fields_.replyTo);
            client.AddPostArgument(names.to, fields_.to);
            client.AddPostArgument(names.cc, fields_.cc);
            client.AddPostArgument(names.bcc, fields_.bcc);
            client.AddPostArgument(names.subject, fields_.subject);
            client.AddPostArgument(names.info, info);
        }
        bool reached = client.SendRequest(true);
        if (reached && StatusOf(client.ResponseHeaders()) / 100 != 5)
            return;
    }
}

int32_t QELMailDeliveryJob::Run() {
    const bool resend = !fields_.storedMessageID.isEmpty();
    QELString text;
    if (resend) {
        bool missing = false;
        QELString problem;
        if (!readSpooledText(text, missing, problem)) {
            postStatus(fields_.storedMessageID, "F", problem);
            return 0;
        }
        if (missing) {
            // Delivered before: nothing is left to send.
            postStatus(fields_.storedMessageID, "S", QELString());
            return 0;
        }
    } else {
        text = ComposeText();
        fields_.attachmentParts.clear();
    }
    text = DotStuff(text);
    text.append(".");
    QELString recipients(fields_.to);
    recipients.append(',');
    recipients.append(fields_.cc);
    recipients.append(',');
    recipients.append(fields_.bcc);
    QELStringSplitter recipientList(recipients, QELString(","));
    const bool spooling = !fields_.spoolFolder.isEmpty() && !fields_.statusURL.isEmpty();
    // A new message is on the disk before it goes out: should the process end while it is
    // being delivered, its temporary file tells of it.
    QELFileSystemItem temporary{QELString()};
    QELString spoolError;
    if (spooling && !resend)
        spoolError = writeTemporary(text, temporary);
    QELStringSplitter lines(text, QELString(kCRLF));
    QELString error = QELSMTPClient().SMTPSend(fields_.smtpServer, fields_.from, recipientList, lines);

    if (error.isEmpty()) {
        if (resend) {
            // Gone only once delivered, before the log hears of it.
            removeFromSpool(QELFileSystemItem(QELFileSystemItem(fields_.spoolFolder), fields_.storedMessageID));
            postStatus(fields_.storedMessageID, "S", QELString());
        } else if (spooling && spoolError.isEmpty()) {
            removeFromSpool(temporary);
        }
        return 0;
    }
    if (!spooling)
        return 0;
    if (resend)
        spoolError = writeTemporary(text, temporary);
    QELString messageID;
    if (spoolError.isEmpty())
        spoolError = nameSpoolFile(temporary, messageID);
    if (!spoolError.isEmpty()) {
        error.append("; the message was not kept: ");
        error.append(spoolError);
    }
    postStatus(messageID, "F", error);
    return 0;
}
