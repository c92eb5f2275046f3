// IncludeHTTPTag.h: the qelIncludeHTTP tag handler: fetches a URL over HTTP (GET or
// POST, Basic credentials) and puts the response headers and/or content into the page.
#pragma once

#include <cstdint>

#include "foundation/String.h"
#include "module/HostServices.h"

class QELIncludeHTTPTag {
public:
    // Runs one occurrence of the tag; the chosen part of the response goes to output.
    // 'MMRP' when "url" is missing; 'MIPV' when the URL names the page itself or
    // cannot be used (another scheme than http, control bytes, a bad port). A server
    // that cannot be reached is not an error: the tag returns 0 and writes nothing.
    static int32_t Run(const QELHostServices &host, QELString &output);

    // The URL made absolute: "http://..." stays; "/path" goes to the virtual host;
    // anything else is taken relative to the folder of scriptName, leading ".." parts
    // climbing (never above the root).
    static QELString MakeAbsolute(const QELString &url, const QELString &virtualHost, const QELString &scriptName);

    // The operating system's four-character code ('Linx' on Linux; 0 when unknown) and
    // the name the User-Agent shows for a code ("Unknown" for 0).
    static uint32_t GetOSCode();
    static const char *OSDisplayName(uint32_t code);
    // "qelIncludeHTTP/2.1.10 (QEL 2.1; Linux)".
    static QELString UserAgent();
};
