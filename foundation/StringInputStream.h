// StringInputStream.h: QELStringInputStream, a byte source over the text of a string; it
// ends at the first zero byte of the text.
#pragma once

#include "foundation/InputStream.h"
#include "foundation/String.h"

class QELStringInputStream : public QELInputStream {
public:
    // Keeps a copy of the text; reading starts at its first byte.
    explicit QELStringInputStream(const QELString &text);
    ~QELStringInputStream() override;

    // The byte at the read position. A zero byte is delivered into byte but ends the
    // stream: the answer is false and the position stays on it.
    bool ReadByte(uint8_t &byte) override;
    uint32_t ReadBytes(uint8_t *buffer, uint32_t count) override;

private:
    QELString text_;
    uint32_t next_ = 0;
};
