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
    // that cannot be reached, or a redirection that is refused (back to the page, to a
    // loopback address from outside), is not an error of the page: the tag returns 0,
    // writes what it has and logs why.
    static int32_t Run(const QELHostServices &host, QELString &output);

    // The URL made absolute: "http://..." stays; "/path" goes to the virtual host;
    // anything else is taken relative to the folder of scriptName, leading ".." parts
    // climbing (never above the root).
    static QELString MakeAbsolute(const QELString &url, const QELString &virtualHost, const QELString &scriptName);

    // Whether the absolute URL names the page at the absolute page address, however it is
    // spelt: query and fragment aside, the paths compare equal ignoring case once
    // normalised (unreserved escapes decoded, "//" collapsed, dot segments resolved), on
    // the same port, with host names that are equal ignoring case or whose addresses are
    // equal or both this machine's (loopback, 0.0.0.0, the machine's own address).
    static bool NamesPage(const QELString &url, const QELString &page);

    // The operating system's four-character code ('Linx' on Linux; 0 when unknown) and
    // the name the User-Agent shows for a code ("Unknown" for 0).
    static uint32_t GetOSCode();
    static const char *OSDisplayName(uint32_t code);
    // "qelIncludeHTTP/2.1.10 (QEL 2.1; Linux)".
    static QELString UserAgent();
};
