// HashedName.cpp: a name and the CRC-32 of its text, lower-cased first when the name
// ignores case.
#include "foundation/HashedName.h"

#include "foundation/CRC32.h"

namespace {

uint32_t hashOf(const QELString &text, uint32_t flags) {
    QELCRC32 crc;
    if (flags & QELHashedName::kCaseInsensitive) {
        QELString lower(text);
        lower.toLower();
        return crc.update(lower.text(), lower.length());
    }
    return crc.update(text.text(), text.length());
}

}  // namespace

QELHashedName::QELHashedName() : hash_(QELCRC32().value()) {}

QELHashedName::QELHashedName(const char *text, uint32_t flags) : QELHashedName(QELString(text), flags) {}

QELHashedName::QELHashedName(const QELString &text, uint32_t flags) : text_(text), hash_(hashOf(text, flags)) {}
