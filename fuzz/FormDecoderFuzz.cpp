// FormDecoderFuzz.cpp: fuzzes the host's form and URL decoding: percent-decoding and
// URL-encoded forms against plain references, path encoding read back, multipart bodies
// written from fuzzer-chosen fields read back as those fields, and any body decoded
// without harm (nothing appended unless decoded, never more fields than allowed).
#include <algorithm>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "host/lib/FormDecoder.h"
#include "host/lib/WebExchange.h"

using velquor::host::FormDecoder;
using velquor::host::NameValueList;
using velquor::host::URLText;

namespace {

int Hex(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string ReferenceDecode(const std::string &text, bool plusIsSpace) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && Hex(text[i + 1]) >= 0 && Hex(text[i + 2]) >= 0) {
            out += static_cast<char>(Hex(text[i + 1]) * 16 + Hex(text[i + 2]));
            i += 2;
        } else {
            out += plusIsSpace && text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

// The fields of "a=1&b=2": empty fields skipped, a field without "=" has the value "".
NameValueList ReferenceForm(const std::string &text) {
    NameValueList fields;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('&', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string field = text.substr(start, end - start);
        if (!field.empty()) {
            const size_t equals = field.find('=');
            fields.emplace_back(ReferenceDecode(field.substr(0, equals), true),
                                equals == std::string::npos ? std::string() : ReferenceDecode(field.substr(equals + 1), true));
        }
        start = end + 1;
    }
    return fields;
}

const char kBoundary[] = "-=-velquor-7f3a";

}  // namespace

// Input: a flags byte (the maximum number of fields), then the body; its first line is
// also taken as a Content-Type for the body after it.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const size_t maximum = data[0] % 16;
    const std::string input(reinterpret_cast<const char *>(data) + 1, size - 1);

    FUZZ_CHECK(URLText::decode(input, false) == ReferenceDecode(input, false));
    FUZZ_CHECK(URLText::decode(input, true) == ReferenceDecode(input, true));
    FUZZ_CHECK(URLText::decode(URLText::encodePath(input), false) == input);

    // URL-encoded forms, cut at the maximum.
    const NameValueList all = ReferenceForm(input);
    NameValueList fields{{"before", "1"}};
    const bool whole = URLText::parseForm(input, fields, maximum);
    FUZZ_CHECK(whole == (all.size() <= maximum));
    FUZZ_CHECK(fields.size() == 1 + std::min(all.size(), maximum));
    for (size_t i = 1; i < fields.size(); ++i)
        FUZZ_CHECK(fields[i] == all[i - 1]);
    fields.resize(1);
    const auto result = FormDecoder::decode("Application/X-WWW-Form-Urlencoded; charset=utf-8", input, maximum, fields);
    FUZZ_CHECK((result == FormDecoder::Result::Decoded) == whole);
    FUZZ_CHECK(fields.size() == (whole ? 1 + all.size() : 1));

    // A multipart body written from the input's lines: a line "name=value" is a field, one
    // without "=" a file upload (which is no form value).
    NameValueList parts;
    std::string body = "preamble\r\n";
    size_t at = 0, count = 0;
    bool writable = input.find(kBoundary) == std::string::npos;
    while (at < input.size()) {
        const std::string line = fuzz::NextLine(input, &at);
        const size_t equals = line.find('=');
        std::string name = line.substr(0, equals);
        for (char &c : name)
            if (c == '"' || c == '\\' || c == '\r' || c == ';')
                c = '_';
        const std::string value = equals == std::string::npos ? "upload" : line.substr(equals + 1);
        body += std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"" +
                (equals == std::string::npos ? "; filename=\"f.txt\"" : "") + "\r\n\r\n" + value + "\r\n";
        if (equals != std::string::npos)
            parts.emplace_back(name, value);
        ++count;
    }
    body += std::string("--") + kBoundary + "--\r\n";
    if (writable) {
        fields.resize(1);
        const std::string type = std::string("multipart/form-data; boundary=\"") + kBoundary + "\"";
        const auto decoded = FormDecoder::decode(type, body, maximum, fields);
        if (count <= maximum) {
            FUZZ_CHECK(decoded == FormDecoder::Result::Decoded);
            FUZZ_CHECK(fields.size() == 1 + parts.size());
            for (size_t i = 0; i < parts.size(); ++i)
                FUZZ_CHECK(fields[i + 1] == parts[i]);
        } else {
            FUZZ_CHECK(decoded == FormDecoder::Result::TooManyFields && fields.size() == 1);
        }
    }

    // Any body under the input's first line as its type.
    at = 0;
    const std::string contentType = fuzz::NextLine(input, &at);
    const std::string rest = input.substr(at);
    fields.resize(1);
    const auto any = FormDecoder::decode(contentType, rest, maximum, fields);
    if (any != FormDecoder::Result::Decoded)
        FUZZ_CHECK(fields.size() == 1);
    FUZZ_CHECK(fields.size() <= 1 + maximum);
    for (size_t i = 1; i < fields.size(); ++i)
        FUZZ_CHECK(fields[i].second.size() <= rest.size());
    return 0;
}
