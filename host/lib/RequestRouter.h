// RequestRouter.h: maps a request's method and target onto the site: a page, a static
// file, a download from an attachment folder, a folder's index, the module's action, the
// administration area, or a refusal. Nothing outside the site folder is ever routed to.
#ifndef VELQUOR_HOST_REQUEST_ROUTER_H
#define VELQUOR_HOST_REQUEST_ROUTER_H

#include <optional>
#include <string>
#include <vector>

namespace velquor::host {

class DownloadFolders;

struct Route {
    enum class Kind { Page, StaticFile, Download, RedirectToFolder, Action, Admin, NotFound, BadRequest, MethodNotAllowed };
    Kind kind = Kind::NotFound;
    std::string file;        // Page, StaticFile, Download: the file's canonical absolute path
    std::string folder;      // Page, Action: the folder's canonical absolute path ending with "/"
    std::string region;      // Page, Action: "/" for the site's root, "/name/" for a top-level folder
    std::string actionName;  // Action: the name as the target spelled it (decoded)
    std::string location;    // RedirectToFolder: where to go
    std::string adminPath;   // Admin: the path after the administration prefix, normalised, percent-encoded
    std::string allow;       // MethodNotAllowed: the methods that the target accepts
};

// A request path with its "." and ".." segments resolved: its decoded components (empty
// ones skipped) and whether it names a folder (it ended with "/", "." or "..").
struct RequestPath {
    std::vector<std::string> components;
    bool folder = false;

    // "/a/b" or "/a/b/" (decoded); "/" for the root.
    std::string text() const;
};

// A region is the site's root or one of its top-level folders; a file belongs to the
// top-level folder that contains it (at any depth), else to the root.
class RequestRouter {
public:
    // siteRoot need not be canonical; adminPrefix begins and ends with "/"; downloads may
    // be null (no attachment folders).
    RequestRouter(const std::string &siteRoot, std::string adminPrefix, const DownloadFolders *downloads);

    // The module's registered action; "" routes no action.
    void setActionName(const std::string &name) { actionName_ = name; }

    // Methods: pages take GET, HEAD and POST; files and downloads GET and HEAD; a POST to
    // <any folder of the site>/<action name> is the action. "." and ".." segments (also
    // percent-encoded) are resolved as web servers do; a ".." that climbs above the site's
    // root, NUL bytes and targets that are not paths are BadRequest; names beginning with
    // "." and anything whose real path leaves the site are NotFound.
    Route route(const std::string &method, const std::string &target) const;

    // The decoded path with its "." and ".." segments resolved; nothing when a ".." climbs
    // above the root or the path holds a NUL byte.
    static std::optional<RequestPath> splitPath(const std::string &rawPath);

    // The canonical site root ("" when it does not exist).
    const std::string &siteRoot() const { return siteRoot_; }
    // The region of a canonical absolute path inside the site.
    std::string regionOf(const std::string &canonicalPath) const;
    // "/" and "/name/" for every top-level folder of the site (hidden ones excepted), sorted.
    std::vector<std::string> regions() const;
    // The canonical folder of a region ("" when it is no region of the site).
    std::string regionFolder(const std::string &region) const;
    const std::string &adminPrefix() const { return adminPrefix_; }

private:
    std::string siteRoot_;
    std::string adminPrefix_;
    const DownloadFolders *downloads_;
    std::string actionName_;
};

} // namespace velquor::host

#endif
