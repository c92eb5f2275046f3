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

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

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
    };

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
    // Refuses pages and the administration area from now on (503) and waits until those
    // in progress are done. Files and actions are still served.
    void stopPages();
    // Stops pages when that was not done, then sends 'MTrm' on the calling thread while
    // actions are still served (the module's delivery jobs post to it while it waits for
    // them); afterwards refuses everything and waits for the actions in progress. Answers
    // the result of 'MTrm'.
    int32_t terminate();

    Registration registration() const;
    const RequestRouter &router() const { return router_; }
    const HostIdentity &identity() const { return identity_; }

    // The content type served for a file name.
    static std::string contentTypeOf(const std::string &file);

private:
    enum class State { Starting, Serving, PagesStopped, Terminated };
    enum class Work { Page, Action, File };
    class Admission;

    bool admit(Work work);
    void release(Work work);
    WebResponse dispatch(const WebRequest &request);
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

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::Starting;
    int pagesInProgress_ = 0;
    int actionsInProgress_ = 0;
};

} // namespace velquor::host

#endif
