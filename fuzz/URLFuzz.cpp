// URLFuzz.cpp: fuzzes the split of a URL into host and path: an accepted URL gives a
// host without "/", "?" or "#" and a path that begins with "/"; a refused one says why.
#include <string>

#include "fuzz/FuzzCheck.h"
#include "net/HTTPClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string url(reinterpret_cast<const char *>(data), size);
    QELString host, path, error;
    bool secure = false;
    bool accepted = QELHTTPClient::ParseURL(fuzz::Qel(url), &host, &path, &error, &secure);
    if (!accepted) {
        FUZZ_CHECK(!error.isEmpty());
        return 0;
    }
    const std::string h = fuzz::Text(host), p = fuzz::Text(path);
    FUZZ_CHECK(!h.empty() && h[0] != ':');
    FUZZ_CHECK(h.find_first_of("/?#") == std::string::npos);
    FUZZ_CHECK(!p.empty() && p[0] == '/');
    FUZZ_CHECK(p.find('#') == std::string::npos);
    for (char c : url)
        FUZZ_CHECK(static_cast<unsigned char>(c) > 0x20 && c != 0x7F);
    std::string lower;
    for (char c : url.substr(0, 8))
        lower += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    FUZZ_CHECK(secure == (lower.compare(0, 8, "https://") == 0));
    // The host and the path are taken from the URL in order, after the scheme.
    size_t at = url.find(h);
    FUZZ_CHECK(at != std::string::npos);
    // Parsing what the split gives again gives the same split.
    QELString host2, path2, error2;
    bool secure2 = true;
    FUZZ_CHECK(QELHTTPClient::ParseURL(QELString("http://") + host + path, &host2, &path2, &error2, &secure2));
    FUZZ_CHECK(host2 == host && path2 == path && !secure2);
    return 0;
}
