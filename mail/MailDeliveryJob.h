// MailDeliveryJob.h: QELMailDeliveryJob, the background job that composes a message's
// text, delivers it over SMTP, spools it when undelivered and reports to the status URL.
#pragma once

#include <cstdint>

#include "foundation/Decimal.h"
#include "foundation/FileStream.h"
#include "foundation/FileSystemItem.h"
#include "foundation/String.h"
#include "mail/EmailMessage.h"
#include "mail/Thread.h"

// The form arguments of a status post, in the order a failure posts them.
struct QELStatusPostNames {
    QELString messageID, status, smtpServer, from, replyTo, to, cc, bcc, subject, info;
};

class QELMailDeliveryJob : public QELThread {
public:
    // The names of the status post's form arguments, built once.
    static const QELStatusPostNames &StatusPostNames();

    // The multipart boundary and its delimiter lines, built once.
    static const QELString &Boundary();
    static const QELString &OpeningDelimiter();
    static const QELString &ClosingDelimiter();

    // The job of a message: its own copies of every field, sharing no string buffer with
    // the message or anything else (the attachment parts move out of the message). For
    // a resend, the Message ID counts as being resent until the job ends.
    explicit QELMailDeliveryJob(QELEmailMessage &message);
    ~QELMailDeliveryJob() override;

    // Whether a job resending this spooled message ("msg" and digits, any letter case)
    // runs now.
    static bool IsBeingResent(const QELString &messageID);

    // A "." at the start of the text and after every CR LF is doubled.
    static QELString DotStuff(const QELString &text);

    // The text a resend sends (before dot-stuffing) from an open spool file: headers,
    // then the file's lines (CR LF, CR or LF ended) up to its "." line, each ended by
    // CR LF, without dot-stuffing and without the spooled Subject, Date, From, Reply-To,
    // To and CC lines of its header block. Reads from the stream's position to its end
    // line "."; false, with text empty, when that line is missing (the file is truncated)
    // or a read fails.
    static bool UnspoolText(QELFileStream &stream, const QELString &headers, QELString &text);

    // The message text as it goes out (before dot-stuffing), for a new message: header
    // lines, the multipart layout when there are attachments, the body (quoted-printable
    // when a line is longer than 998 bytes and the body headers name no transfer
    // encoding), the attachment parts and the closing delimiter.
    QELString ComposeText() const;

protected:
    // Composes, delivers, spools when undelivered, and posts the outcome. Returns 0.
    // A new message's text is written to a temporary spool file before it goes out: the
    // file is removed once delivered and named "msg..." when the delivery fails, so a
    // process that ends meanwhile leaves the temporary file, never a partial "msg" file.
    int32_t Run() override;

private:
    // The header lines Subject, Date, From, Reply-To, To and CC as they stand now.
    QELString headerLines() const;
    // The resend's text: the header lines now, then the spooled text without its own
    // address, subject and date headers and without its dot-stuffing. False when the spool
    // file exists but cannot be read in full, or lacks its end line "." (problem says why);
    // a missing file gives true and an empty text: the message was delivered before.
    bool readSpooledText(QELString &text, bool &missing, QELString &problem) const;
    // Writes the transmitted text and a closing CR LF to a new temporary file of the spool
    // folder ("spool.tmp", or the next free "spoolN.tmp"), which temporary then names.
    // Empty on success, else why it failed (a file written in part is removed).
    QELString writeTemporary(const QELString &text, QELFileSystemItem &temporary) const;
    // Gives the written temporary file its spool name without ever replacing another
    // message's file: a new message takes the next free "msg" name of the current Julian
    // date, a resend replaces its own file in one step. Empty on success, else why it
    // failed (the temporary file is then removed).
    QELString nameSpoolFile(const QELFileSystemItem &temporary, QELString &messageID) const;
    // Removes a file of the spool folder; false when it cannot.
    bool removeFromSpool(const QELFileSystemItem &file) const;
    // Posts the outcome to the status URL: MessageID and Status, and for a failure the
    // message's fields and the error text. Tried four times in all, 1 s, 2 s and 4 s
    // apart, while no connection is made or the answer is a 5xx; after the last try the
    // outcome is not recorded (a failed message's spool file stays, named by no record).
    void postStatus(const QELString &messageID, const char *status, const QELString &info) const;

    QELMailFields fields_;
};
