// EmailMessage.h: QELEmailMessage, the composer of an outgoing mail: addresses, subject,
// body, body headers and attachment parts, handed to a delivery job that sends it.
#pragma once

#include <cstdint>

#include "foundation/Decimal.h"
#include "foundation/InputStream.h"
#include "foundation/String.h"

// The fields of a message: the composer fills them, and a delivery job keeps copies of its
// own of them.
struct QELMailFields {
    QELString smtpServer;       // handed to the SMTP client unchanged ("name" or "name:port")
    QELString subject;
    QELString from;             // the From header and the SMTP sender
    QELString replyTo;
    QELString to, cc, bcc;      // comma-separated lists
    QELDecimal gmtOffset;       // hours east of GMT for the Date header; empty: the server's zone
    QELString body;             // lines ending in CR LF
    QELString bodyHeaders;      // the body part's header lines, joined by CR LF
    QELString attachmentParts;  // the MIME parts of every attachment, one after another
    QELString spoolFolder;      // where an undelivered message is kept
    QELString storedMessageID;  // the spool file a resend reads; empty for a new message
    QELString statusURL;        // where outcomes are posted
};

class QELEmailMessage : public QELObject {
public:
    // Encodings of AddAttachment.
    static constexpr uint32_t kBase64 = 0x42733634u;  // 'Bs64'
    static constexpr uint32_t kNone = 0x4E6F6E65u;    // 'None'
    // The longest attachment file name kept, in bytes.
    static constexpr uint32_t kFileNameLimit = 255;

    // A new message: undelivered, it is spooled in spoolFolder and reported to statusURL.
    QELEmailMessage(const QELString &spoolFolder, const QELString &statusURL);
    // The resend of the message spooled as storedMessageID ("msg" and digits).
    QELEmailMessage(const QELString &spoolFolder, const QELString &storedMessageID, const QELString &statusURL);
    ~QELEmailMessage() override;

    void SetSMTPServer(const QELString &server) { fields_.smtpServer = server; }
    void SetSubject(const QELString &subject) { fields_.subject = subject; }
    void SetFrom(const QELString &from) { fields_.from = from; }
    void SetReplyTo(const QELString &replyTo) { fields_.replyTo = replyTo; }
    // Each adds one address (trimmed of blanks, tabs, CR and LF; nothing when that leaves
    // it empty) to its comma-separated list.
    void AddTo(const QELString &address) { AddRecipient(address, fields_.to); }
    void AddCC(const QELString &address) { AddRecipient(address, fields_.cc); }
    void AddBCC(const QELString &address) { AddRecipient(address, fields_.bcc); }
    // Hours east of GMT for the Date header; empty for the server's own zone.
    void SetGMTOffset(const QELDecimal &offset) { fields_.gmtOffset = offset; }
    // The body part's header lines, joined by CR LF, without a final CR LF.
    void SetBodyHeaders(const QELString &headers) { fields_.bodyHeaders = headers; }
    void AppendBodyHeaders(const QELString &headers) { fields_.bodyHeaders.append(headers); }
    // The text, its lines ending in CR LF.
    void SetBody(const QELString &body) { fields_.body = body; }

    // Appends one attachment part. kBase64: a MIME part named fileName whose content is the
    // Base64 of the stream's bytes: length of them, or all of them when length is negative.
    // kNone: the stream's bytes unchanged, without headers. Any other encoding adds
    // nothing. The file name loses CR, LF, double quotes and every other control byte and
    // is cut to 255 bytes. No part ends with CR LF.
    void AddAttachment(QELInputStream &stream, uint32_t encoding, const QELString &fileName, int32_t length);

    // Checks the message, then hands it to a delivery job on a thread of its own, which
    // sends it, spools and reports it when undelivered, and deletes itself. A new
    // message needs a server, a sender and a To address; a resend is never refused. The
    // job shares no string with anything the caller keeps (the attachment parts move to
    // it). False when the message is refused or the job cannot start (then nothing runs).
    bool CreateDeliveryJob();

    // Adds a trimmed address to a comma-separated list.
    static void AddRecipient(const QELString &address, QELString &list);

    const QELString &to() const { return fields_.to; }
    const QELString &cc() const { return fields_.cc; }
    const QELString &bcc() const { return fields_.bcc; }
    const QELString &attachmentParts() const { return fields_.attachmentParts; }

private:
    friend class QELMailDeliveryJob;

    QELMailFields fields_;
};
