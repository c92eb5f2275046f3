// IncludeURLFuzz.cpp: fuzzes the include tag's making of an absolute URL against a
// reference written with plain string operations on the page's folder.
#include <string>

#include "fuzz/FuzzCheck.h"
#include "tags/IncludeHTTPTag.h"

namespace {

bool StartsWithIgnoringCase(const std::string &text, const std::string &prefix) {
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

// The page's folder is what stands between the first and the last "/" of the script
// name; each leading ".." of the URL takes its last component away.
std::string ReferenceAbsolute(const std::string &url, const std::string &host, const std::string &script) {
    if (StartsWithIgnoringCase(url, "http://") || StartsWithIgnoringCase(url, "https://"))
        return url;
    if (!url.empty() && url[0] == '/')
        return "http://" + host + url;
    const size_t first = script.find('/'), last = script.rfind('/');
    bool hasFolder = first != std::string::npos && last != first;
    std::string folder = hasFolder ? script.substr(first + 1, last - first - 1) : std::string();
    std::string rest = url;
    bool restHasFields = !url.empty();
    while (restHasFields && (rest == ".." || rest.compare(0, 3, "../") == 0)) {
        if (hasFolder) {
            const size_t cut = folder.rfind('/');
            if (cut == std::string::npos)
                hasFolder = false, folder.clear();
            else
                folder.erase(cut);
        }
        if (rest == "..")
            restHasFields = false;
        else
            rest.erase(0, 3);
    }
    std::string absolute = "http://" + host;
    if (hasFolder)
        absolute += "/" + folder;
    if (restHasFields)
        absolute += "/" + rest;
    return absolute;
}

}  // namespace

// Input: the URL, the virtual host and the script name, one per line.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    size_t at = 0;
    const std::string url = fuzz::NextLine(input, &at);
    const std::string host = fuzz::NextLine(input, &at);
    const std::string script = input.substr(at);
    const std::string absolute =
        fuzz::Text(QELIncludeHTTPTag::MakeAbsolute(fuzz::Qel(url), fuzz::Qel(host), fuzz::Qel(script)));
    FUZZ_CHECK(absolute == ReferenceAbsolute(url, host, script));
    // Whatever the URL, the result never climbs above the virtual host's root.
    if (!StartsWithIgnoringCase(url, "http://") && !StartsWithIgnoringCase(url, "https://"))
        FUZZ_CHECK(absolute.compare(0, 7 + host.size(), "http://" + host) == 0);
    return 0;
}
