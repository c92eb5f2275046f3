// Base64.cpp: the encoder: three bytes to four characters through a table of character
// pairs, a line of 57 input bytes at a time.
#include "foundation/Base64.h"

#include <cstring>

#include "foundation/ByteBuffer.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

// Input bytes per line and characters per line.
constexpr uint32_t kLineBytes = 57;
constexpr uint32_t kLineChars = 76;
constexpr uint32_t kLineGroups = kLineBytes / 3;

// The two characters of every 12-bit value: half a group in one lookup.
struct PairTable {
    char pairs[4096][2];
    constexpr PairTable() : pairs() {
        for (int i = 0; i < 4096; ++i) {
            pairs[i][0] = kAlphabet[i >> 6];
            pairs[i][1] = kAlphabet[i & 63];
        }
    }
};
constexpr PairTable kPairs;

inline char *EncodeGroup(const uint8_t *in, char *out) {
    uint32_t value = (uint32_t(in[0]) << 16) | (uint32_t(in[1]) << 8) | in[2];
    std::memcpy(out, kPairs.pairs[value >> 12], 2);
    std::memcpy(out + 2, kPairs.pairs[value & 0xFFF], 2);
    return out + 4;
}

inline char *EncodeLine(const uint8_t *in, char *out) {
    for (uint32_t i = 0; i < kLineGroups; ++i)
        out = EncodeGroup(in + 3 * i, out);
    return out;
}

// count bytes, the final one or two padded; count need not be a multiple of 3.
char *EncodeRun(const uint8_t *in, uint32_t count, char *out) {
    for (; count >= 3; count -= 3, in += 3)
        out = EncodeGroup(in, out);
    if (count != 0) {
        uint32_t value = uint32_t(in[0]) << 16;
        if (count == 2)
            value |= uint32_t(in[1]) << 8;
        out[0] = kAlphabet[(value >> 18) & 63];
        out[1] = kAlphabet[(value >> 12) & 63];
        out[2] = count == 2 ? kAlphabet[(value >> 6) & 63] : kPad;
        out[3] = kPad;
        out += 4;
    }
    return out;
}

// Encodes count bytes that begin at input offset `offset` (a multiple of 57), writing
// CR LF before every line that does not begin at offset 0.
char *EncodeLinesCRLF(const uint8_t *in, uint32_t count, uint64_t offset, char *out) {
    while (count != 0) {
        if (offset != 0) {
            out[0] = '\r';
            out[1] = '\n';
            out += 2;
        }
        if (count >= kLineBytes) {
            out = EncodeLine(in, out);
            in += kLineBytes;
            count -= kLineBytes;
            offset += kLineBytes;
        } else {
            out = EncodeRun(in, count, out);
            count = 0;
        }
    }
    return out;
}

// The output size that the string and sized forms allocate for count input bytes:
// four characters per group and two for each line break. 0 when a string cannot hold it.
uint32_t EncodedCapacity(uint32_t count) {
    uint64_t chars = (uint64_t(count) + 2) / 3 * 4;
    if (chars > kLineChars)
        chars += 2 * (chars / kLineChars);
    // The written length is handed back as a signed 32-bit count; leave room for the
    // string's own slack and terminating zero.
    if (chars > uint64_t(INT32_MAX) - 64)
        return 0;
    return static_cast<uint32_t>(chars);
}

// Input read per bulk read of a stream: whole lines.
constexpr uint32_t kChunkLines = 1024;

}  // namespace

QELString Base64EncodeString(const QELString &source) {
    QELString result;
    uint32_t capacity = EncodedCapacity(source.length());
    if (capacity == 0)
        return result;
    char *out = result.beginWrite(capacity);
    char *end = EncodeLinesCRLF(reinterpret_cast<const uint8_t *>(source.text()), source.length(), 0, out);
    result.endWrite(static_cast<int32_t>(end - out));
    return result;
}

QELString Base64EncodeStreamSized(QELInputStream &stream, uint32_t byteCount) {
    QELString result;
    uint32_t capacity = EncodedCapacity(byteCount);
    if (capacity == 0)
        return result;
    uint32_t chunkSize = kChunkLines * kLineBytes;
    if (byteCount < chunkSize)
        chunkSize = byteCount;
    QELByteBuffer chunk(chunkSize);
    char *out = result.beginWrite(capacity);
    char *end = out;
    uint64_t offset = 0;
    uint32_t left = byteCount;
    while (left != 0) {
        uint32_t want = left < chunkSize ? left : chunkSize;
        uint32_t got = stream.ReadBytes(chunk.data(), want);
        // Every chunk but the last is whole lines, so line breaks fall where the
        // offsets say; got <= left keeps the output within the capacity.
        end = EncodeLinesCRLF(chunk.data(), got, offset, end);
        offset += got;
        left -= got;
        if (got < want)
            break;  // the stream ended before the announced count
    }
    result.endWrite(static_cast<int32_t>(end - out));
    return result;
}

QELString Base64EncodeStream(QELInputStream &stream, const QELString &separator) {
    QELString result;
    const uint32_t separatorLength = separator.length();
    // Fewer lines per chunk for a long separator, so the output block stays moderate.
    uint64_t lines = (uint64_t(1) << 24) / (uint64_t(kLineChars) + separatorLength);
    if (lines > kChunkLines)
        lines = kChunkLines;
    if (lines == 0)
        lines = 1;
    const uint32_t chunkSize = static_cast<uint32_t>(lines) * kLineBytes;
    QELByteBuffer chunk(chunkSize);
    QELByteBuffer encoded(static_cast<uint32_t>(lines * (kLineChars + uint64_t(separatorLength))));
    for (;;) {
        uint32_t got = stream.ReadBytes(chunk.data(), chunkSize);
        char *out = reinterpret_cast<char *>(encoded.data());
        char *end = out;
        const uint8_t *in = chunk.data();
        uint32_t left = got;
        // A chunk is whole lines, so every line of output starts with a chunk's line.
        // A line of 76 characters, the padding included, is followed by the separator.
        while (left != 0) {
            uint32_t lineBytes = left < kLineBytes ? left : kLineBytes;
            if (lineBytes == kLineBytes)
                end = EncodeLine(in, end);
            else
                end = EncodeRun(in, lineBytes, end);
            if (lineBytes > kLineBytes - 3) {
                // 55, 56 or 57 bytes fill the line: 18 groups and a padded one, or 19.
                std::memcpy(end, separator.text(), separatorLength);
                end += separatorLength;
            }
            in += lineBytes;
            left -= lineBytes;
        }
        if (end != out)
            result.append(out, static_cast<uint32_t>(end - out));
        if (got < chunkSize)
            return result;
    }
}

QELString Base64EncodeStreamCRLF(QELInputStream &stream) {
    static const QELString lineEnd("\r\n");
    return Base64EncodeStream(stream, lineEnd);
}
