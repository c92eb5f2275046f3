// RequestRouter.cpp: target decoding and its mapping onto the files of the site.
#include "host/lib/RequestRouter.h"

#include "host/lib/DownloadFolders.h"
#include "host/lib/HostText.h"
#include "host/lib/SiteFolders.h"
#include "host/lib/WebExchange.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace velquor::host {

namespace {

Route refusal(Route::Kind kind) {
    Route route;
    route.kind = kind;
    return route;
}

std::string parentFolder(const std::string &file) {
    return SiteFolders::withTrailingSlash(fs::path(file).parent_path().string());
}

} // namespace

RequestRouter::RequestRouter(const std::string &siteRoot, std::string adminPrefix, const DownloadFolders *downloads)
    : adminPrefix_(std::move(adminPrefix)), downloads_(downloads) {
    std::error_code error;
    fs::path root = fs::canonical(siteRoot, error);
    if (!error && fs::is_directory(root, error)) {
        siteRoot_ = root.string();
    }
}

std::string RequestPath::text() const {
    std::string text;
    for (const std::string &part : components) {
        text += "/" + part;
    }
    return folder || text.empty() ? text + "/" : text;
}

std::optional<RequestPath> RequestRouter::splitPath(const std::string &rawPath) {
    std::string decoded = URLText::decode(rawPath, false);
    if (decoded.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    RequestPath path;
    size_t start = 0;
    while (start <= decoded.size()) {
        size_t end = decoded.find('/', start);
        if (end == std::string::npos) {
            end = decoded.size();
        }
        std::string part = decoded.substr(start, end - start);
        if (part == "..") {
            if (path.components.empty()) {
                return std::nullopt;  // above the root
            }
            path.components.pop_back();
            path.folder = true;
        } else if (part == "." || part.empty()) {
            path.folder = true;
        } else {
            path.components.push_back(part);
            path.folder = false;
        }
        start = end + 1;
    }
    return path;
}

std::string RequestRouter::regionOf(const std::string &canonicalPath) const {
    // The path below the root: "top/..." for something in a top-level folder.
    std::string root = SiteFolders::withTrailingSlash(siteRoot_);
    std::string rest = canonicalPath.size() > root.size() ? canonicalPath.substr(root.size()) : "";
    size_t slash = rest.find('/');
    return slash == std::string::npos ? "/" : "/" + rest.substr(0, slash + 1);
}

std::vector<std::string> RequestRouter::regions() const {
    std::vector<std::string> result;
    if (siteRoot_.empty()) {
        return result;
    }
    result.emplace_back("/");
    std::error_code error;
    std::vector<std::string> folders;
    for (fs::directory_iterator item(siteRoot_, error), end; !error && item != end; item.increment(error)) {
        std::string name = item->path().filename().string();
        std::error_code kindError;
        // A linked folder is no region of its own: its pages belong to the folder it names.
        if (name.empty() || name[0] == '.' || item->is_symlink(kindError) || !item->is_directory(kindError) ||
            kindError) {
            continue;
        }
        if (SiteFolders::canonicalWithin(siteRoot_, item->path().string())) {
            folders.push_back("/" + name + "/");
        }
    }
    std::sort(folders.begin(), folders.end());
    result.insert(result.end(), folders.begin(), folders.end());
    return result;
}

std::string RequestRouter::regionFolder(const std::string &region) const {
    std::vector<std::string> all = regions();
    if (std::find(all.begin(), all.end(), region) == all.end()) {
        return "";
    }
    if (region == "/") {
        return SiteFolders::withTrailingSlash(siteRoot_);
    }
    std::optional<std::string> folder = SiteFolders::canonicalWithin(siteRoot_, siteRoot_ + region);
    return folder ? SiteFolders::withTrailingSlash(*folder) : "";
}

Route RequestRouter::route(const std::string &method, const std::string &target) const {
    size_t query = target.find('?');
    std::string path = target.substr(0, query);
    if (path.empty() || path[0] != '/') {
        return refusal(Route::Kind::BadRequest);
    }
    std::optional<RequestPath> parsed = splitPath(path);
    if (!parsed) {
        return refusal(Route::Kind::BadRequest);
    }
    std::string normal = parsed->text();
    if (normal + "/" == adminPrefix_) {
        Route route = refusal(Route::Kind::RedirectToFolder);
        route.location = adminPrefix_;
        return route;
    }
    if (normal.compare(0, adminPrefix_.size(), adminPrefix_) == 0) {
        Route route = refusal(Route::Kind::Admin);
        route.adminPath = URLText::encodePath(normal.substr(adminPrefix_.size()));
        return route;
    }
    const std::vector<std::string> &components = parsed->components;
    if (siteRoot_.empty()) {
        return refusal(Route::Kind::NotFound);
    }
    for (const std::string &part : components) {
        if (part[0] == '.') {
            return refusal(Route::Kind::NotFound);
        }
    }
    std::string relative = components.empty() ? "" : normal.substr(0, normal.size() - (parsed->folder ? 1 : 0));

    if (method == "POST" && !actionName_.empty() && !components.empty() &&
        HostText::equalsIgnoringCase(components.back(), actionName_)) {
        std::string folderPath = siteRoot_ + relative.substr(0, relative.size() - components.back().size());
        std::optional<std::string> folder = SiteFolders::canonicalWithin(siteRoot_, folderPath);
        std::error_code error;
        if (!folder || !fs::is_directory(*folder, error)) {
            return refusal(Route::Kind::NotFound);
        }
        Route route = refusal(Route::Kind::Action);
        route.folder = SiteFolders::withTrailingSlash(*folder);
        route.region = regionOf(route.folder);
        route.actionName = components.back();
        return route;
    }

    std::optional<std::string> real = SiteFolders::canonicalWithin(siteRoot_, siteRoot_ + relative);
    if (!real) {
        return refusal(Route::Kind::NotFound);
    }
    std::error_code error;
    if (fs::is_directory(*real, error)) {
        if (!parsed->folder) {
            // Relative links of the folder's index need the trailing "/"; the location is
            // built from the decoded components, never from the target as sent.
            Route route = refusal(Route::Kind::RedirectToFolder);
            route.location = URLText::encodePath(relative + "/");
            if (query != std::string::npos) {
                route.location += target.substr(query);
            }
            return route;
        }
        real = SiteFolders::canonicalWithin(siteRoot_, *real + "/index.html");
        if (!real) {
            return refusal(Route::Kind::NotFound);
        }
    }
    if (!fs::is_regular_file(*real, error)) {
        return refusal(Route::Kind::NotFound);
    }

    Route route;
    route.file = *real;
    route.folder = parentFolder(*real);
    route.region = regionOf(*real);
    if (downloads_ != nullptr && downloads_->contains(*real)) {
        route.kind = Route::Kind::Download;
    } else if (SiteFolders::isPageName(*real)) {
        route.kind = Route::Kind::Page;
    } else {
        route.kind = Route::Kind::StaticFile;
    }
    bool read = method == "GET" || method == "HEAD";
    if (!read && !(route.kind == Route::Kind::Page && method == "POST")) {
        Route refused = refusal(Route::Kind::MethodNotAllowed);
        refused.allow = route.kind == Route::Kind::Page ? "GET, HEAD, POST" : "GET, HEAD";
        return refused;
    }
    return route;
}

} // namespace velquor::host
