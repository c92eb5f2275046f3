// CRC32.h: the reflected ISO 3309 CRC-32 with its register starting at 0, so results
// are not those of the standard CRC-32 (no bytes give 0xFFFFFFFF).
#pragma once

#include <cstdint>

#include "foundation/Object.h"

class QELCRC32 : public QELObject {
public:
    // Feeds count bytes; a null pointer or a count of 0 changes nothing. Returns value().
    uint32_t update(const void *bytes, uint32_t count);
    // The complement of the register.
    uint32_t value() const { return ~register_; }

private:
    uint32_t register_ = 0;
};
