// EmailMessage.cpp: the mail composer: recipient lists, attachment parts, and the hand-over
// to a delivery job.
#include "mail/EmailMessage.h"

#include "foundation/Base64.h"
#include "foundation/Owned.h"
#include "mail/MailDeliveryJob.h"

namespace {

const char kBlanks[] = " \t\r\n";

// The file name as a header may carry it: no control bytes and no double quotes, at most
// the given number of bytes.
QELString SafeFileName(const QELString &name, uint32_t limit) {
    QELString safe;
    for (uint32_t i = 0; i < name.length() && safe.length() < limit; ++i) {
        auto c = static_cast<uint8_t>(name[i]);
        if (c < 0x20 || c == 0x7F || c == '"')
            continue;
        safe.append(static_cast<char>(c));
    }
    return safe;
}

}  // namespace

QELEmailMessage::QELEmailMessage(const QELString &spoolFolder, const QELString &statusURL)
{
    fields_.spoolFolder = spoolFolder;
    fields_.statusURL = statusURL;
}

QELEmailMessage::QELEmailMessage(const QELString &spoolFolder, const QELString &storedMessageID,
                                 const QELString &statusURL)
{
    fields_.spoolFolder = spoolFolder;
    fields_.storedMessageID = storedMessageID;
    fields_.statusURL = statusURL;
}

QELEmailMessage::~QELEmailMessage() = default;

void QELEmailMessage::AddRecipient(const QELString &address, QELString &list) {
    QELString trimmed(address);
    trimmed.trim(kBlanks);
    if (trimmed.isEmpty())
        return;
    if (!list.isEmpty())
        list.append(',');
    list.append(trimmed);
}

void QELEmailMessage::AddAttachment(QELInputStream &stream, uint32_t encoding, const QELString &fileName,
                                    int32_t length) {
    if (encoding == kNone) {
        uint8_t buffer[4096];
        for (uint32_t got; (got = stream.ReadBytes(buffer, sizeof buffer)) != 0;)
            fields_.attachmentParts.append(reinterpret_cast<const char *>(buffer), got);
        return;
    }
    if (encoding != kBase64)
        return;
    const QELString name = SafeFileName(fileName, kFileNameLimit);
    QELString encoded = length < 0 ? Base64EncodeStreamCRLF(stream)
                                   : Base64EncodeStreamSized(stream, static_cast<uint32_t>(length));
    // The line that follows the part supplies its break.
    encoded.trimTrailing("\r\n");
    fields_.attachmentParts.reserve(fields_.attachmentParts.length() + encoded.length() + 2 * name.length() + 256);
    fields_.attachmentParts.append("\r\n");
    fields_.attachmentParts.append(QELMailDeliveryJob::OpeningDelimiter());
    fields_.attachmentParts.append("Content-Type: application/octet-stream; name=\"");
    fields_.attachmentParts.append(name);
    fields_.attachmentParts.append("\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"");
    fields_.attachmentParts.append(name);
    fields_.attachmentParts.append("\"\r\n\r\n");
    fields_.attachmentParts.append(encoded);
}

bool QELEmailMessage::CreateDeliveryJob() {
    if (fields_.storedMessageID.isEmpty() && (fields_.smtpServer.isEmpty() || fields_.from.isEmpty() || fields_.to.isEmpty()))
        return false;
    QELOwned<QELMailDeliveryJob> job(new QELMailDeliveryJob(*this));
    if (!job->Start())
        return false;
    // The running job owns itself.
    job.release();
    return true;
}
