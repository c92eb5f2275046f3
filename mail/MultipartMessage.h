// MultipartMessage.h: QELMultipartMessage, the parser of a multipart body held in memory:
// it picks out the message text, lists named parts and stores uploaded files in a folder.
#pragma once

#include <cstdint>

#include "foundation/Array.h"
#include "foundation/String.h"
#include "foundation/StringSplitter.h"
#include "mail/NameValueList.h"

// The parser works on offsets into the body: nothing is copied but a part's header lines
// and, where it is used, its content. Content is taken byte for byte as it lies between
// the delimiters; no transfer encoding is decoded.
//
// Every parse walks its stretch of the body only and reads no byte outside it. What a
// parse does with each part:
// - a part without the disposition "form-data", "attachment" or "inline" becomes the text
//   result; the last such part in document order wins, nested ones included (a nested
//   multipart part first counts with its whole text, then its own parts follow);
// - a part whose content type begins with "multipart/" is walked with its own boundary,
//   at most kNestingLimit bodies deep (a deeper one gives false and is not looked at);
// - "form-data" with a file name is stored as a file in the folder when a list is given,
//   the folder is not empty, the first pattern that compiles and matches the name accepts
//   it, and it is no longer than the size limit; the list receives (name, final file
//   name) and, when that differs from the name received, (name + "_Original", the name
//   received). "form-data" without a file name adds (name, content) to the list;
// - "attachment" is neither stored nor listed;
// - any other part with a name adds (name, content) to the list.
//
// A received file name is cut after its last "\", "/" or ":" and loses its control bytes
// (0x00-0x1F, 0x7F); ".", ".." and a name left empty count as no file name. A name longer
// than kFileNameLimit bytes is stored under a shorter stem, its extension kept. Files are
// created exclusively under the next free name ("r.txt", "r1.txt", ...), so parses that
// run at the same time never share a file, and are written in pieces of at most
// kWritePiece bytes; a file whose write fails is removed again.
class QELMultipartMessage : public QELObject {
public:
    // The largest piece of a file written at once.
    static constexpr uint32_t kWritePiece = 131072;
    // The deepest nesting of multipart bodies that is walked; the top level is 1.
    static constexpr uint32_t kNestingLimit = 32;
    // The longest file name stored, in bytes, before a counter for a unique name.
    static constexpr uint32_t kFileNameLimit = 200;

    // A parser with an empty report.
    QELMultipartMessage();
    ~QELMultipartMessage() override;
    // The report names files on the disk: a parser is never copied.
    QELMultipartMessage(const QELMultipartMessage &) = delete;
    QELMultipartMessage &operator=(const QELMultipartMessage &) = delete;

    // Walks the multipart text in body[contentStart, contentStart + contentLength) (cut to
    // the body) whose parts are separated by "--" + boundary and which ends with
    // "--" + boundary + "--" (the last one counts); text before the first delimiter and
    // after the closing one is ignored. Each part is handed to ParsePart with its header
    // lines and its content (the CR LF before the next delimiter excluded); a part
    // without a blank line after its header ends the walk. Returns the result of the
    // last part (true when there was none); false, leaving the text result unchanged,
    // when the boundary is empty, the closing or the first delimiter is missing, or the
    // body lies deeper than kNestingLimit. sizeLimit is in kilobytes (0: no limit);
    // patterns holds regular-expression texts, one per field; list may be null. The
    // text result may be the body itself: it changes only when the parse has ended.
    // Starts the report afresh. Throws only QELObject::MemoryAllocationFailure.
    bool ParseMultipart(const QELString &body, const QELString &boundary, uint32_t contentStart,
                        uint32_t contentLength, const QELString &folder, const QELStringSplitter &patterns,
                        uint32_t sizeLimit, QELString &textResult, QELNameValueList *list);
    // Handles one part whose header lines are partHeader and whose content is
    // body[contentStart, contentStart + contentLength) (cut to the body), as the class
    // comment says. Header lines are split at CR LF (never unfolded) and at ";", and their
    // tokens are recognised by prefix, ignoring case: "Content-Disposition:", "name=",
    // "filename=", "boundary=", "Content-Type:", "Content-Transfer-Encoding:" (a later
    // token of a kind replaces an earlier one; double quotes at both ends are removed).
    // Returns true, or the result of the nested walk of a multipart part. Storage
    // problems only skip the file (the report tells). Starts the report afresh; throws
    // only QELObject::MemoryAllocationFailure.
    bool ParsePart(const QELString &body, const QELString &partHeader, uint32_t contentStart,
                   uint32_t contentLength, const QELString &folder, const QELStringSplitter &patterns,
                   uint32_t sizeLimit, QELString &textResult, QELNameValueList *list);

    // The report of the last parse. The files it stored, in the order stored: their
    // paths (the folder joined with the final name) and their final names; the empty
    // string when index is at or beyond storedFileCount().
    uint32_t storedFileCount() const { return storedFiles_.count(); }
    QELString storedFilePath(uint32_t index) const;
    QELString storedFileName(uint32_t index) const;
    // True when a file that the patterns and the size limit accepted could not be
    // created or written in full (none of it is left on the disk).
    bool storeFailed() const { return storeFailed_; }
    // Removes every file of the report from the disk and empties the list of stored files
    // (the failure flag stays); returns how many were removed.
    uint32_t RemoveStoredFiles();

private:
    // The inputs that stay the same for the whole of one parse, and the text result's
    // stretch while it is pending.
    struct Parse;

    bool Walk(Parse &parse, const QELString &boundary, uint32_t start, uint32_t length, uint32_t depth);
    bool Part(Parse &parse, const QELString &header, uint32_t start, uint32_t length, uint32_t depth);
    // Stores body[start, start + length) under fileName when the patterns and the limit
    // accept it, and lists it.
    void Store(Parse &parse, const QELString &name, const QELString &fileName, uint32_t start, uint32_t length);
    // Sets the text result from the pending stretch, if any.
    static void Finish(const Parse &parse, QELString &textResult);
    void ResetReport();

    // Slots point to the owned paths of the files stored.
    QELArray storedFiles_;
    bool storeFailed_ = false;
};
