// AdminArea.h: the host's administration area under its reserved prefix: the module's
// registration, the list of regions with the module's preference page for each ('MGPr',
// saved with 'MSPr'), the attachment folders served as downloads, and a read-only view
// of the module's record databases.
#ifndef VELQUOR_HOST_ADMIN_AREA_H
#define VELQUOR_HOST_ADMIN_AREA_H

#include "host/lib/LoginThrottle.h"
#include "host/lib/Registration.h"
#include "host/lib/WebExchange.h"
#include "module/HostInterface.h"

#include <memory>
#include <optional>
#include <string>

namespace velquor::host {

class DownloadFolders;
class Host;
class HostIdentity;
class RequestRouter;

// Access: a request must be addressed to this host (its Host header names it, so that a
// foreign name that resolves to this machine reaches nothing). Without a password only
// loopback clients get in; with one every client must give it with HTTP Basic as user
// "admin". Every failed login is logged and slows the next ones (LoginThrottle): while a
// wait lasts, credentials are not checked and the answer is 429 with Retry-After. A POST must come from a page of this host: its Origin (or, without one, its
// Referer) is this request's own origin (http or https); cross-site posts are refused.
// Behind a reverse proxy on this machine the client is the one the proxy names in
// X-Forwarded-For.
class AdminArea {
public:
    using EntryPoint = int32_t (*)(HostContext *);

    // The database view: records a page, and the bytes of a text shown before it is cut.
    static constexpr int64_t kRecordsPerPage = 20;
    static constexpr int64_t kShownTextBytes = 300;

    AdminArea(Host &host, const HostIdentity &identity, const RequestRouter &router, DownloadFolders &downloads,
              std::string password);

    // The module to ask for preference pages; set after 'MIni', before requests arrive.
    void setModule(EntryPoint entry, const Registration &registration);

    // The access rules above: nothing when the request may go on, otherwise its refusal
    // (401, 403 or 429). Pages and files of protected site folders follow them too.
    std::optional<WebResponse> admit(const WebRequest &request);

    // Serves a request whose path is the prefix followed by adminPath (as sent):
    // ""                      the overview (GET)
    // "region/" [name "/"]    the preference page of the root or of a top-level folder
    //                         (GET shows it, POST saves it with 'MSPr' and shows it again)
    // "downloads/forget"      POST with the field "folder": serve that folder's files as
    //                         ordinary site files again
    // "database?name=N&page=P" (GET) the records of database N, newest first, page P (from
    //                         1) of kRecordsPerPage; every value HTML-escaped, control bytes
    //                         shown as \xNN, texts cut after kShownTextBytes with their
    //                         whole length noted. An unknown database or page is 404, a
    //                         page that is no whole number from 1 is 400.
    WebResponse handle(const WebRequest &request, const std::string &adminPath);

    // The waits after failed logins (tests set their own clock through a new throttle).
    LoginThrottle &loginThrottle() { return *throttle_; }
    void useLoginThrottle(std::unique_ptr<LoginThrottle> throttle) { throttle_ = std::move(throttle); }

    static bool isSameOrigin(const WebRequest &request, const HostIdentity &identity);
    // The password of an "Authorization: Basic ..." header whose user is "admin".
    static std::optional<std::string> basicPassword(const std::string &authorization);

private:
    // Nothing when the request may go on; otherwise the refusal (401, 403 or 429).
    std::optional<WebResponse> checkLogin(const WebRequest &request);
    WebResponse overview(const WebRequest &request);
    WebResponse regionPage(const WebRequest &request, const std::string &region, bool save);
    WebResponse forgetFolder(const WebRequest &request);
    WebResponse databasePage(const WebRequest &request);
    std::string regionLink(const std::string &region) const;
    // The view of a database at a page (from 1), as a path with its query.
    std::string databaseLink(const std::string &name, int64_t page) const;
    std::string databaseList();

    Host &host_;
    const HostIdentity &identity_;
    const RequestRouter &router_;
    DownloadFolders &downloads_;
    std::string password_;
    std::unique_ptr<LoginThrottle> throttle_;
    EntryPoint entry_ = nullptr;
    Registration registration_;
};

} // namespace velquor::host

#endif
