// PageRequest.h: what every module request of the page server shares: the request values
// handed to the module (form arguments, CGI variables, virtual host, folder, region), the
// filling of placeholders, and the error box shown for a failed tag.
#ifndef VELQUOR_HOST_PAGE_REQUEST_H
#define VELQUOR_HOST_PAGE_REQUEST_H

#include "host/lib/HostRequest.h"
#include "host/lib/PageParser.h"

#include <cstdint>
#include <optional>
#include <string>

namespace velquor::host {

class HostIdentity;
struct WebRequest;

class PageRequest {
public:
    // Gives the module's request the values of the web request: the form arguments of the
    // query, then those of the body, in order; the CGI variables SCRIPT_NAME (the path as
    // sent), REQUEST_METHOD, QUERY_STRING, REMOTE_ADDR, SERVER_NAME, SERVER_PORT,
    // SERVER_SOFTWARE and, when the request has the header, HTTP_HOST, HTTP_USER_AGENT,
    // HTTP_REFERER and CONTENT_TYPE; the virtual host; the folder and the region.
    static void prepare(HostRequest &request, const WebRequest &web, const HostIdentity &identity,
                        const std::string &folder, const std::string &region);

    // The template with its placeholders filled from the request (a form argument's first
    // occurrence, a page variable, a CGI variable; "" for a missing one), the values
    // HTML-escaped when `escape` is set.
    static std::string fill(const PageTemplate &text, const HostRequest &request, bool escape);

    // The visible box for a module request that answered `code`: what failed (plain
    // text, "The <qelPOP> tag"), the code as four characters, and the module's message and
    // explanation (HTML already) or a plain message when it gave none.
    static std::string errorBox(const std::string &what, int32_t code,
                                const std::optional<HostRequest::ErrorInfo> &info);
    // The box for a malformed tag of the page (plain text, escaped here).
    static std::string pageErrorBox(const std::string &text);

    // The time stamp of log lines: UTC, "2024-05-01T12:00:00Z".
    static std::string timeStamp();
};

} // namespace velquor::host

#endif
