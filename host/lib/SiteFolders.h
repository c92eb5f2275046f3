// SiteFolders.h: the host's folders as the module sees them: page-relative folders that
// never leave the site root, and per-name data folders created on demand.
#ifndef VELQUOR_HOST_SITE_FOLDERS_H
#define VELQUOR_HOST_SITE_FOLDERS_H

#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace velquor::host {

class SiteFolders {
public:
    // Absolute folders; "" leaves the service that needs one refusing.
    void setSiteRoot(const std::string &path) { siteRoot_ = path; }
    void setDataRoot(const std::string &path) { dataRoot_ = path; }
    const std::string &siteRoot() const { return siteRoot_; }
    const std::string &dataRoot() const { return dataRoot_; }

    // The folder path with exactly one "/" at its end.
    static std::string withTrailingSlash(const std::string &path);
    // Whether `path` is `root` or lies below it. Both are absolute and normalised (no "."
    // or ".." components, no doubled "/"); either may end with "/". Compares text only.
    static bool isWithin(const std::string &root, const std::string &path);
    // The canonical form of `path` when it exists and its real location is `root` or lies
    // below it (`root` canonical already); nothing otherwise.
    static std::optional<std::string> canonicalWithin(const std::string &root, const std::string &path);
    // Whether a file of this name is a page: its name ends with ".html" in any letter case.
    static bool isPageName(const std::string &name);

    // Resolves a page-relative folder path against the page folder and answers the absolute
    // path ending with "/"; the folder becomes an attachment folder (see the observer).
    // Refused (nullopt, reason in *reason): no site root, an empty path or one that names
    // the page folder itself ("", "."), an absolute path, a ".." component, a page folder
    // outside the site root, a component that is a file or cannot be examined, a symbolic
    // link whose target lies outside the site root or does not exist, the site root itself,
    // a folder that holds a page at any depth (or more entries than can be checked), and a
    // folder that the observer could not record. The folder itself need not exist.
    std::optional<std::string> resolve(const std::string &pageFolder, const std::string &path,
                                       std::string *reason = nullptr) const;

    // The data folder of `name` (one path component: no "/", not "." or ".."), created with
    // its parents when missing; the absolute path ending with "/".
    std::optional<std::string> dataFolder(const std::string &name, std::string *reason = nullptr) const;

    // Called with every folder that resolve() is about to answer (the page server records
    // it: the files of those folders are served as downloads only); when it answers false
    // the folder was not recorded and resolve() refuses it. Set before requests start.
    using ResolveObserver = std::function<bool(const std::string &folder)>;
    void setResolveObserver(ResolveObserver observer) { resolveObserver_ = std::move(observer); }

private:
    std::string siteRoot_;
    std::string dataRoot_;
    ResolveObserver resolveObserver_;
};

} // namespace velquor::host

#endif
