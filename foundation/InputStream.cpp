// InputStream.cpp: the byte-by-byte form of the bulk read that every byte source has.
#include "foundation/InputStream.h"

QELInputStream::~QELInputStream() = default;

uint32_t QELInputStream::ReadBytes(uint8_t *buffer, uint32_t count) {
    uint32_t done = 0;
    while (done < count && ReadByte(buffer[done]))
        ++done;
    return done;
}
