// PageServer.h: the page engine of velquor-host: serves the site's files, runs the
// module's tags in pages, turns posts to the module's action into 'MAct' requests, holds
// the administration area, and keeps the module's lifecycle ('MIni' first, 'MTrm' last).
// Independent of the HTTP library: it takes a WebRequest and answers a WebResponse.
#ifndef VELQUOR_HOST_PAGE_SERVER_H
#define VELQUOR_HOST_PAGE_SERVER_H

#include "host/lib/HostIdentity.h"
#include "host/lib/PageParser.h"
#include "host/lib/Registration.h"
#include "host/lib/RequestRouter.h"
#include "host/lib/WebExchange.h"
#include "module/HostInterface.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velquor::host {

class AdminArea;
class DownloadFolders;
class Host;

class PageServer {
public:
    using EntryPoint = int32_t (*)(HostContext *);

    struct Settings {
        std::string adminPrefix = "/_velquor/";
        // "" lets only loopback clients into the administration area; otherwise every
        // client must give it with HTTP Basic (user "admin").
        std::string adminPassword;
        // By default only clients on this machine may post the module's action (behind a
        // reverse proxy on this machine: the client it names in X-Forwarded-For).
        bool remoteActions = false;
        size_t maximumPageSize = 16u << 20;
        // Pages requested by the module's include tag (its User-Agent) that may be in
        // progress at once. Two pages that include each other would otherwise hold a thread
        // per round without end: beyond the cap such requests answer 503, and so does
        // every page include until none is in progress, so that a loop unwinds at once.
        size_t maximumIncludedPages = 8;
        // Site folders ("/admin/") whose pages and files follow the administration area's
        // access rules: addressed to this host, loopback clients only unless the
        // administrator's password is given, posts only from this host's own pages, and
        // never the include tag.
        std::vector<std::string> protectedPaths;
    };

    // Waits without a time limit.
    static constexpr std::chrono::milliseconds kNoLimit = std::chrono::milliseconds::max();

    // The host's folders must be set (the site root at least). Every folder that the
    // module resolves with ResolveFolderPath is recorded in `downloads`.
    PageServer(Host &host, EntryPoint entry, HostIdentity identity, std::shared_ptr<DownloadFolders> downloads,
               Settings settings);
    ~PageServer();
    PageServer(const PageServer &) = delete;
    PageServer &operator=(const PageServer &) = delete;

    // Sends 'MIni' on the calling thread and answers its result; requests are served from
    // then on, whatever the result. Until then every request answers 503.
    int32_t initialise();
    // Serves one request on the calling thread (the module runs on it).
    WebResponse handle(const WebRequest &request);
    // Looks at a request before its body is read: nothing when the body is wanted (a page,
    // the administration area or the action that takes it), otherwise the whole response
    // (404, 405, a refusal...), so that no body is read or decoded for a request that has
    // no use for it. Never runs the module.
    std::optional<WebResponse> screen(const WebRequest &request);
    // Refuses pages and the administration area from now on (503) and waits up to `grace`
    // until those in progress are done; whether they are. Files and actions are still
    // served.
    bool stopPages(std::chrono::milliseconds grace = kNoLimit);
    // Stops pages when that was not done (waiting up to `grace` for those in progress),
    // then sends 'MTrm' on the calling thread while actions are still served (the module's
    // delivery jobs post to it while it waits for them); afterwards refuses everything and
    // waits up to `grace` for the actions in progress. Answers the result of 'MTrm'.
    int32_t terminate(std::chrono::milliseconds grace = kNoLimit);
    // The pages and actions in progress now.
    size_t inProgress() const;

    Registration registration() const;
    const RequestRouter &router() const { return router_; }
    const HostIdentity &identity() const { return identity_; }

    // The content type served for a file name.
    static std::string contentTypeOf(const std::string &file);

private:
    enum class State { Starting, Serving, PagesStopped, Terminated };
    enum class Work { Page, IncludedPage, Action, File };
    enum class Admitted { Yes, NotNow, TooManyIncludes };
    class Admission;

    Admitted admit(Work work);
    void release(Work work);
    // Waits (mutex_ held) up to `limit` until `done`; whether it is.
    template <typename Done>
    bool waitFor(std::unique_lock<std::mutex> &lock, std::chrono::milliseconds limit, Done done);
    WebResponse dispatch(const WebRequest &request);
    // Why a request never reaches the administration area or the action: one made by the
    // module's include tag, or an action post from another machine. Nothing when it may.
    struct DoorRefusal {
        std::string logLine;
        std::string text;  // for the 403 page
    };
    std::optional<DoorRefusal> refusalAtTheDoor(const WebRequest &request, const Route &route) const;
    // Whether the route serves a page or file inside a protected folder.
    bool isProtected(const Route &route) const;
    // The refusal of a request for a protected page or file; nothing when it may go on.
    std::optional<WebResponse> protectedRefusal(const WebRequest &request, const Route &route);
    WebResponse servePage(const WebRequest &request, const Route &route);
    WebResponse runAction(const WebRequest &request, const Route &route);
    void logEvent(const std::string &text);

    Host &host_;
    EntryPoint entry_;
    HostIdentity identity_;
    std::shared_ptr<DownloadFolders> downloads_;
    Settings settings_;
    RequestRouter router_;
    std::unique_ptr<PageParser> parser_;  // from 'MIni' on
    Registration registration_;           // from 'MIni' on
    std::unique_ptr<AdminArea> admin_;
    // The canonical folders of settings_.protectedPaths.
    std::vector<std::string> protectedFolders_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::Starting;
    size_t pagesInProgress_ = 0;  // included pages too
    size_t includedPagesInProgress_ = 0;
    bool includesRefused_ = false;  // the include cap was reached; until none is in progress
    size_t actionsInProgress_ = 0;
};

} // namespace velquor::host

#endif
