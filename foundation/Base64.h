// Base64.h: Base64 encoding (RFC 2045 alphabet and padding) of strings and byte streams,
// in lines of 76 characters. There is no decoder.
#pragma once

#include <cstdint>

#include "foundation/InputStream.h"
#include "foundation/String.h"

// The encoding of every byte of source (zero bytes included). Lines of 76 characters
// are joined by CR LF; the text never ends with a line break. The output is allocated
// once. An input whose encoding a string cannot hold gives the empty string.
QELString Base64EncodeString(const QELString &source);

// The encoding of every byte the stream yields. Each complete line of 76 characters,
// the padding counted, is followed by separator, the last one too: so the result ends
// with the separator when the input is 55, 56 or 0 bytes past a positive multiple of
// 57 bytes. The result grows as the stream is read.
QELString Base64EncodeStream(QELInputStream &stream, const QELString &separator);

// Base64EncodeStream with the separator CR LF (a string built once, on first use).
QELString Base64EncodeStreamCRLF(QELInputStream &stream);

// The encoding of byteCount bytes of the stream, laid out like Base64EncodeString, in
// one buffer sized from byteCount. A stream that ends early gives the (padded)
// encoding of what it yielded; bytes beyond byteCount are left unread.
QELString Base64EncodeStreamSized(QELInputStream &stream, uint32_t byteCount);
