// FileInputStream.h: QELFileInputStream, a buffered byte source over a whole file; each
// refill of the buffer is one positioned read.
#pragma once

#include <cstdint>

#include "foundation/ByteBuffer.h"
#include "foundation/FileStream.h"
#include "foundation/InputStream.h"

class QELFileInputStream : public QELInputStream {
public:
    // Opens the item's file read-only and reads it through a buffer of bufferSize bytes
    // (at least 1). A file that cannot be opened yields no byte.
    QELFileInputStream(const QELFileSystemItem &file, uint32_t bufferSize);
    // Reads the whole of a stream that is open already (from its start); an empty holder
    // yields no byte.
    QELFileInputStream(QELOwned<QELFileStream> stream, uint32_t bufferSize);
    // Closes the file.
    ~QELFileInputStream() override;
    QELFileInputStream(const QELFileInputStream &) = delete;
    QELFileInputStream &operator=(const QELFileInputStream &) = delete;

    bool ReadByte(uint8_t &byte) override;
    uint32_t ReadBytes(uint8_t *buffer, uint32_t count) override;

    bool isOpen() const { return static_cast<bool>(stream_); }
    // The file offset of the next refill (how much of the file has been read).
    uint32_t total() const { return total_; }

private:
    // Reads min(buffer size, remaining) bytes at total into the buffer; false at the end
    // of the file or when the read fails.
    bool refill();

    QELOwned<QELFileStream> stream_;
    uint32_t remaining_ = 0;
    QELByteBuffer buffer_;
    const uint8_t *current_ = nullptr;
    uint32_t available_ = 0;
    uint32_t total_ = 0;
};
