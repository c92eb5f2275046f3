// HTTPResponseFuzz.cpp: fuzzes the HTTP client's response handling without a socket: the
// split at the first blank line, the Location line of the header block, and the
// resolution of a Location value against the current URL, each against a reference.
#include <string>

#include "fuzz/FuzzCheck.h"
#include "net/HTTPClient.h"

namespace {

std::string Lower(std::string text) {
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Trimmed(const std::string &text) {
    const char *set = " \t\r\n";
    size_t first = text.find_first_not_of(set);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(set) - first + 1);
}

// The first "Location:" line of the text before the first blank line, trimmed.
std::string ReferenceLocation(const std::string &response) {
    std::string block = response.substr(0, response.find("\r\n\r\n"));
    size_t start = 0;
    for (;;) {
        size_t end = block.find("\r\n", start);
        std::string line = block.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (Lower(line.substr(0, 9)) == "location:")
            return Trimmed(line.substr(9));
        if (end == std::string::npos)
            return std::string();
        start = end + 2;
    }
}

}  // namespace

// Input: a flags byte (bit 0: the current URL is https), then the response text, whose
// Location value (when any) is also resolved.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const bool secure = (data[0] & 1) != 0;
    const std::string response(reinterpret_cast<const char *>(data) + 1, size - 1);

    QELString headers("unchanged"), content("unchanged");
    const size_t blank = response.find("\r\n\r\n");
    const bool split = QELHTTPClient::SplitHeaderBlock(fuzz::Qel(response), &headers, &content);
    FUZZ_CHECK(split == (blank != std::string::npos));
    if (split) {
        FUZZ_CHECK(fuzz::Text(headers) == response.substr(0, blank));
        FUZZ_CHECK(fuzz::Text(content) == response.substr(blank + 4));
    } else {
        FUZZ_CHECK(fuzz::Text(headers) == "unchanged" && fuzz::Text(content) == "unchanged");
    }

    const std::string location = fuzz::Text(QELHTTPClient::LocationOf(fuzz::Qel(response)));
    FUZZ_CHECK(location == ReferenceLocation(response));

    const std::string host = "h.test:8", path = "/a/b?q=1";
    const std::string scheme = secure ? "https:" : "http:";
    const std::string origin = scheme + "//" + host;
    const std::string resolved =
        fuzz::Text(QELHTTPClient::ResolveLocation(fuzz::Qel(location), secure, fuzz::Qel(host), fuzz::Qel(path)));
    if (Lower(location.substr(0, 7)) == "http://" || location.find("://") != std::string::npos) {
        // A URL with a scheme stays as it is (other schemes are refused later, by the parse).
        if (Lower(location.substr(0, 7)) == "http://")
            FUZZ_CHECK(resolved == location);
    } else if (location.compare(0, 2, "//") == 0) {
        FUZZ_CHECK(resolved == scheme + location);
    } else if (location.compare(0, 1, "/") == 0) {
        FUZZ_CHECK(resolved == origin + location);
    } else if (location.compare(0, 1, "?") == 0) {
        FUZZ_CHECK(resolved == origin + "/a/b" + location);
    } else if (location.find(':') == std::string::npos) {
        // A relative path: under the origin, without dot segments before its query.
        FUZZ_CHECK(resolved.compare(0, origin.size() + 1, origin + "/") == 0);
        const std::string merged = resolved.substr(origin.size(), resolved.find('?') - origin.size());
        FUZZ_CHECK(merged.find("/./") == std::string::npos && merged.find("/../") == std::string::npos);
        FUZZ_CHECK(merged != "/." && merged != "/..");
    }
    return 0;
}
