// HTMLEscapeFuzz.cpp: fuzzes HTML escaping: the result holds no markup byte, and reading
// its entities back gives the text.
#include <string>

#include "foundation/HTMLEscape.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::string escaped = fuzz::Text(HTMLEscape(fuzz::Qel(text)));
    FUZZ_CHECK(escaped.find_first_of("<>\"'") == std::string::npos);
    // Every "&" starts an entity; decoding them gives the text back byte for byte.
    std::string decoded;
    for (size_t i = 0; i < escaped.size();) {
        if (escaped[i] != '&') {
            decoded += escaped[i++];
            continue;
        }
        size_t semicolon = escaped.find(';', i);
        FUZZ_CHECK(semicolon != std::string::npos && semicolon - i <= 6);
        const std::string entity = escaped.substr(i, semicolon + 1 - i);
        if (entity == "&amp;")
            decoded += '&';
        else if (entity == "&lt;")
            decoded += '<';
        else if (entity == "&gt;")
            decoded += '>';
        else if (entity == "&quot;" || entity == "&#34;")
            decoded += '"';
        else if (entity == "&#39;" || entity == "&#x27;" || entity == "&apos;")
            decoded += '\'';
        else
            FUZZ_CHECK(!"an entity the escaping does not make");
        i = semicolon + 1;
    }
    FUZZ_CHECK(decoded == text);
    return 0;
}
