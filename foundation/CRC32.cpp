// CRC32.cpp: the table-driven reflected CRC-32 (polynomial of ISO 3309) whose register
// starts at 0; the value is the register's complement.
#include "foundation/CRC32.h"

namespace {

struct CRCTable {
    constexpr CRCTable() : entries() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int bit = 0; bit < 8; ++bit)
                c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[i] = c;
        }
    }
    uint32_t entries[256];
};

constexpr CRCTable kTable;

}  // namespace

uint32_t QELCRC32::update(const void *bytes, uint32_t count) {
    if (bytes != nullptr && count != 0) {
        const auto *p = static_cast<const uint8_t *>(bytes);
        uint32_t r = register_;
        for (uint32_t i = 0; i < count; ++i)
            r = kTable.entries[(r ^ p[i]) & 0xFFu] ^ (r >> 8);
        register_ = r;
    }
    return value();
}
