// Base64Test.cpp: the three Base64 forms: test vectors, the line layout of each form at
// the lengths where it changes, short and long sized streams, and a cross-check of
// random inputs against a plain reference encoder.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "foundation/Base64.h"
#include "foundation/FileInputStream.h"
#include "foundation/StringInputStream.h"
#include "TemporaryFolder.h"

namespace {

QELString Q(const std::string &text) { return QELString(text.data(), static_cast<uint32_t>(text.size())); }
std::string S(const QELString &text) { return std::string(text.text(), text.length()); }

// A plain encoder, six bits at a time, without line breaks.
std::string Reference(const std::string &bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6)
            out += alphabet[(v >> shift) & 63];
    }
    if (bytes.size() - i == 1) {
        unsigned v = uint8_t(bytes[i]) << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += "==";
    } else if (bytes.size() - i == 2) {
        unsigned v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

// Lines of 76 characters joined by CR LF (string and sized forms).
std::string Joined(const std::string &payload) {
    std::string out;
    for (size_t i = 0; i < payload.size(); i += 76) {
        if (i != 0)
            out += "\r\n";
        out += payload.substr(i, 76);
    }
    return out;
}

// Every complete line of 76 characters followed by the separator (stream form).
std::string Terminated(const std::string &payload, const std::string &separator) {
    std::string out;
    for (size_t i = 0; i < payload.size(); i += 76) {
        out += payload.substr(i, 76);
        if (i + 76 <= payload.size())
            out += separator;
    }
    return out;
}

// A byte source that knows only ReadByte, so the bulk read falls back to it.
class VectorStream : public QELInputStream {
public:
    explicit VectorStream(std::string bytes) : bytes_(std::move(bytes)) {}
    bool ReadByte(uint8_t &byte) override {
        if (next_ == bytes_.size())
            return false;
        byte = static_cast<uint8_t>(bytes_[next_++]);
        return true;
    }
    size_t consumed() const { return next_; }

private:
    std::string bytes_;
    size_t next_ = 0;
};

std::string Encode(const std::string &bytes) { return S(Base64EncodeString(Q(bytes))); }
std::string EncodeStream(const std::string &bytes, const std::string &separator = "\r\n") {
    VectorStream stream(bytes);
    return S(Base64EncodeStream(stream, Q(separator)));
}
std::string EncodeSized(const std::string &bytes) {
    VectorStream stream(bytes);
    return S(Base64EncodeStreamSized(stream, static_cast<uint32_t>(bytes.size())));
}

std::string Bytes(size_t n, unsigned seed = 1) {
    std::mt19937 random(seed);
    std::string bytes(n, 0);
    for (char &c : bytes)
        c = static_cast<char>(random() & 0xFF);
    return bytes;
}

TEST(Base64Test, RFC4648Vectors) {
    struct Case {
        const char *in, *out;
    } cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Encode(c.in), c.out) << c.in;
        EXPECT_EQ(EncodeStream(c.in), c.out) << c.in;
        EXPECT_EQ(EncodeSized(c.in), c.out) << c.in;
    }
}

TEST(Base64Test, AllByteValuesIncludingZeroAndFF) {
    EXPECT_EQ(Encode(std::string("\x00\xFF\x00", 3)), "AP8A");
    EXPECT_EQ(Encode(std::string("\xFF\xFF\xFF", 3)), "////");
    EXPECT_EQ(Encode(std::string("\x00\x00\x00", 3)), "AAAA");
    EXPECT_EQ(Encode(std::string("\x00", 1)), "AA==");
    EXPECT_EQ(Encode(std::string("\xFF\xFF", 2)), "//8=");
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    EXPECT_EQ(Encode(all), Joined(Reference(all)));
    EXPECT_EQ(EncodeSized(all), Joined(Reference(all)));
    EXPECT_EQ(EncodeStream(all), Terminated(Reference(all), "\r\n"));
}

TEST(Base64Test, LineLayoutAtTheLengthsWhereItChanges) {
    // Characters of the result and whether it ends with CR LF, for each form.
    struct Case {
        size_t n;
        size_t joinedLength;  // string and sized forms
        size_t streamLength;  // stream form with CR LF
        bool streamEndsWithBreak;
    } cases[] = {
        {0, 0, 0, false},     {1, 4, 4, false},     {2, 4, 4, false},       {3, 4, 4, false},
        {4, 8, 8, false},     {54, 72, 72, false},  {55, 76, 78, true},     {56, 76, 78, true},
        {57, 76, 78, true},   {58, 82, 82, false},  {111, 150, 150, false}, {112, 154, 156, true},
        {113, 154, 156, true}, {114, 154, 156, true}, {115, 160, 160, false},
    };
    for (const Case &c : cases) {
        std::string bytes = Bytes(c.n, static_cast<unsigned>(c.n));
        std::string joined = Encode(bytes), sized = EncodeSized(bytes), streamed = EncodeStream(bytes);
        EXPECT_EQ(joined.size(), c.joinedLength) << c.n;
        EXPECT_EQ(sized, joined) << c.n;
        EXPECT_EQ(joined, Joined(Reference(bytes))) << c.n;
        EXPECT_EQ(streamed.size(), c.streamLength) << c.n;
        EXPECT_EQ(streamed, Terminated(Reference(bytes), "\r\n")) << c.n;
        bool endsWithBreak = streamed.size() >= 2 && streamed.compare(streamed.size() - 2, 2, "\r\n") == 0;
        EXPECT_EQ(endsWithBreak, c.streamEndsWithBreak) << c.n;
        EXPECT_FALSE(joined.size() >= 2 && joined.compare(joined.size() - 2, 2, "\r\n") == 0) << c.n;
    }
    // 58 bytes: a full line, CR LF, then two characters and "==".
    std::string bytes58 = Bytes(58, 58);
    std::string out = Encode(bytes58);
    EXPECT_EQ(out.substr(76, 2), "\r\n");
    EXPECT_EQ(out.substr(80), "==");
    // 55 bytes in the stream form: the padding completes the line, so the separator follows.
    std::string out55 = EncodeStream(Bytes(55, 55));
    EXPECT_EQ(out55.substr(72), out55.substr(72, 2) + "==\r\n");
}

TEST(Base64Test, StreamFormUsesTheGivenSeparator) {
    std::string bytes = Bytes(200, 9);
    EXPECT_EQ(EncodeStream(bytes, "|"), Terminated(Reference(bytes), "|"));
    EXPECT_EQ(EncodeStream(bytes, ""), Reference(bytes));
    std::string longSeparator(300, '#');
    EXPECT_EQ(EncodeStream(bytes, longSeparator), Terminated(Reference(bytes), longSeparator));
    VectorStream stream(bytes);
    EXPECT_EQ(S(Base64EncodeStreamCRLF(stream)), Terminated(Reference(bytes), "\r\n"));
}

TEST(Base64Test, SizedFormStopsAtTheStreamsEnd) {
    // The stream yields fewer bytes than announced: the encoding of what it yielded.
    for (size_t yielded : {0u, 1u, 2u, 10u, 57u, 58u, 200u}) {
        std::string bytes = Bytes(yielded, 3);
        VectorStream stream(bytes);
        EXPECT_EQ(S(Base64EncodeStreamSized(stream, static_cast<uint32_t>(yielded + 100))), Joined(Reference(bytes)))
            << yielded;
    }
}

TEST(Base64Test, SizedFormReadsNoMoreThanAnnounced) {
    std::string bytes = Bytes(1000, 4);
    for (uint32_t announced : {0u, 1u, 58u, 999u}) {
        VectorStream stream(bytes);
        EXPECT_EQ(S(Base64EncodeStreamSized(stream, announced)), Joined(Reference(bytes.substr(0, announced))))
            << announced;
        EXPECT_EQ(stream.consumed(), announced);
    }
}

TEST(Base64Test, StringStreamStopsAtAZeroByte) {
    QELString text("abc\0def", 7);
    QELStringInputStream sized(text);
    EXPECT_EQ(S(Base64EncodeStreamSized(sized, 7)), "YWJj");
    QELStringInputStream unsized(text);
    EXPECT_EQ(S(Base64EncodeStream(unsized, QELString("\r\n"))), "YWJj");
    EXPECT_EQ(S(Base64EncodeString(text)), Reference(std::string("abc\0def", 7)));
}

TEST(Base64Test, AllFormsAgreeWithTheReferenceOnRandomInputs) {
    std::mt19937 random(2024);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 400; ++n)
        lengths.push_back(n);
    for (int i = 0; i < 40; ++i)
        lengths.push_back(random() % 200000);
    // Around the encoder's internal chunk of 1024 lines (58,368 bytes).
    for (size_t n : {58367u, 58368u, 58369u, 116736u, 116737u})
        lengths.push_back(n);
    for (size_t n : lengths) {
        std::string bytes = Bytes(n, static_cast<unsigned>(n) + 17);
        std::string payload = Reference(bytes);
        ASSERT_EQ(Encode(bytes), Joined(payload)) << n;
        ASSERT_EQ(EncodeSized(bytes), Joined(payload)) << n;
        ASSERT_EQ(EncodeStream(bytes), Terminated(payload, "\r\n")) << n;
    }
}

TEST(Base64Test, FileStreamsFeedTheEncoder) {
    TemporaryFolder temp;
    std::string bytes = Bytes(70000, 5);
    WriteWholeFile(temp / "attachment", bytes);
    QELFileSystemItem file(Q(temp / "attachment"));
    QELFileInputStream sized(file, 2048);
    EXPECT_EQ(S(Base64EncodeStreamSized(sized, 70000)), Joined(Reference(bytes)));
    QELFileInputStream unsized(file, 2048);
    EXPECT_EQ(S(Base64EncodeStreamCRLF(unsized)), Terminated(Reference(bytes), "\r\n"));
}

}  // namespace
