// InputStream.h: QELInputStream, the abstract byte source that the Base64 encoder reads
// (files and strings implement it).
#pragma once

#include <cstdint>

#include "foundation/Object.h"

class QELInputStream : public QELObject {
public:
    ~QELInputStream() override;

    // Delivers the next byte into byte; false at the end of the data.
    virtual bool ReadByte(uint8_t &byte) = 0;

    // Delivers up to count bytes into buffer and returns how many; fewer than count
    // means the data has ended. The bytes are exactly those that as many ReadByte calls
    // would deliver. This form calls ReadByte; sources override it to copy in bulk.
    virtual uint32_t ReadBytes(uint8_t *buffer, uint32_t count);
};
