// FileStream.h: QELFileStream, an open file with positioned reads and writes and text
// lines, and OpenFileStream, which opens one.
#pragma once

#include <cstdint>

#include "foundation/FileSpecification.h"
#include "foundation/String.h"
#include "platform/File.h"

// How a stream opens its file. Read-only opens let others read at the same time; the
// other modes keep the file to themselves.
enum class FileOpenMode : uint32_t {
    ReadOnly,
    WriteOnly,
    ReadWrite,
    AnyAccess,  // as much access as the system grants
};

class QELFileStream : public QELObject {
public:
    // A stream for the file, not open yet, at position 0.
    explicit QELFileStream(const QELFileSpecification &file);
    // Closes the file when open.
    ~QELFileStream() override;
    // A stream owns its open file: it is never copied.
    QELFileStream(const QELFileStream &) = delete;
    QELFileStream &operator=(const QELFileStream &) = delete;

    // Opens the existing file (never creates one); false when it is missing, a folder,
    // not accessible, or open elsewhere in a way the mode cannot share. A mode outside
    // the enumeration asks for no access and fails.
    bool open(FileOpenMode mode);
    void close();
    bool isOpen() const { return handle_ != platform::kInvalidFileHandle; }

    // Moves to offset and reads up to count bytes there; returns the number read (0 at
    // or past the end and on any failure) and advances the position by it.
    uint32_t ReadAt(uint32_t offset, uint32_t count, void *buffer);
    // ReadAt at the position.
    uint32_t Read(uint32_t count, void *buffer);
    // Moves to offset and writes count bytes there; returns the number written (less
    // than count only on failure) and advances the position by it.
    uint32_t WriteAt(uint32_t offset, uint32_t count, const void *buffer);
    // WriteAt at the position.
    uint32_t Write(uint32_t count, const void *buffer);
    // The file's size; 0 when it cannot be had (a stream that is not open), UINT32_MAX
    // for a file of 4 GiB or more.
    uint32_t GetSize() const;

    // The next line from the position, without its line end (CR LF, a lone CR or a lone
    // LF); the position moves just behind the line end. At the end of the file the
    // answer is empty and the position stays (compare it with GetSize).
    QELString ReadLine();
    // Writes text at the end of the file as one line ending in CR LF: a text that ends
    // with CR LF is written unchanged, any other loses its trailing CRs and LFs and
    // gets CR LF. True when everything was written.
    bool AppendLine(const QELString &text);

    uint32_t position() const { return position_; }
    // The real path of the file that is open (links followed), whatever became of its name
    // since; empty when the stream is not open or the system cannot tell.
    QELString GetOpenPath() const;
    void setPosition(uint32_t position) { position_ = position; }
    const QELFileSpecification &file() const { return file_; }

private:
    friend QELOwned<QELFileStream> CreateFileStream(QELFileSystemItem &file, bool takeNextFreeName);

    QELFileSpecification file_;
    uint32_t position_ = 0;
    platform::FileHandle handle_ = platform::kInvalidFileHandle;
};

// A new stream over the item's file, opened in mode; empty when the file cannot be
// opened (or the item is a folder).
QELOwned<QELFileStream> OpenFileStream(const QELFileSystemItem &file, FileOpenMode mode);

// Creates the item's file exclusively and opens it for reading and writing, kept to
// itself: a new stream owned by the caller. The file's folder is created when missing.
// A name that exists in any form is never opened: the answer is empty, or with
// takeNextFreeName the item moves on to the next unique name (as MakeUniqueName
// counts) until one is free. Empty when creation fails; the item then keeps its path.
QELOwned<QELFileStream> CreateFileStream(QELFileSystemItem &file, bool takeNextFreeName);
