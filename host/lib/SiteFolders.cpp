// SiteFolders.cpp: folder resolution confined to the site root, and data folders.
// Symbolic links are followed only while they stay inside the site root.
#include "host/lib/SiteFolders.h"

#include "host/lib/HostText.h"

#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace velquor::host {

namespace {

// A folder with more entries than this (at every depth together) is not checked for pages:
// resolving it is refused.
constexpr size_t kMaximumCheckedEntries = 10000;

bool fail(std::string *reason, const std::string &text) {
    if (reason != nullptr) {
        *reason = text;
    }
    return false;
}

// Whether the existing folder holds a page at any depth; nothing (reason in *reason) when
// that cannot be told. Links are not followed: a page reached through one is served from
// its real place, which is not in this folder.
std::optional<bool> holdsPages(const fs::path &folder, std::string *reason) {
    std::error_code error;
    size_t entries = 0;
    fs::recursive_directory_iterator item(folder, error);
    for (; !error && item != fs::recursive_directory_iterator(); item.increment(error)) {
        if (++entries > kMaximumCheckedEntries) {
            fail(reason, "the folder holds more than " + std::to_string(kMaximumCheckedEntries) +
                             " entries; it cannot be checked for pages");
            return std::nullopt;
        }
        std::error_code kindError;
        if (!item->is_symlink(kindError) && item->is_regular_file(kindError) &&
            SiteFolders::isPageName(item->path().filename().string())) {
            fail(reason, "the folder holds pages (" + item->path().string() +
                             "); attachments need a folder of their own");
            return true;
        }
    }
    if (error) {
        fail(reason, "cannot look through " + folder.string() + ": " + error.message());
        return std::nullopt;
    }
    return false;
}

} // namespace

std::string SiteFolders::withTrailingSlash(const std::string &path) {
    std::string result = path;
    while (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    if (result.empty() || result.back() != '/') {
        result += '/';
    }
    return result;
}

bool SiteFolders::isWithin(const std::string &root, const std::string &path) {
    if (root.empty()) {
        return false;
    }
    std::string folder = withTrailingSlash(root);
    return path.compare(0, folder.size(), folder) == 0 || path + "/" == folder;
}

std::optional<std::string> SiteFolders::canonicalWithin(const std::string &root, const std::string &path) {
    std::error_code error;
    fs::path real = fs::canonical(path, error);
    if (error || root.empty() || !isWithin(root, real.string())) {
        return std::nullopt;
    }
    return real.string();
}

bool SiteFolders::isPageName(const std::string &name) {
    static const std::string suffix = ".html";
    return name.size() >= suffix.size() &&
           HostText::equalsIgnoringCase(name.substr(name.size() - suffix.size()), suffix);
}

std::optional<std::string> SiteFolders::resolve(const std::string &pageFolder, const std::string &path,
                                                std::string *reason) const {
    if (siteRoot_.empty()) {
        fail(reason, "the host has no site root");
        return std::nullopt;
    }
    if (!path.empty() && path[0] == '/') {
        fail(reason, "an absolute path is not page-relative");
        return std::nullopt;
    }
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::string part = path.substr(start, end - start);
        if (part == "..") {
            fail(reason, "\"..\" leaves the page folder");
            return std::nullopt;
        }
        if (!part.empty() && part != ".") {
            components.push_back(part);
        }
        start = end + 1;
    }
    if (components.empty()) {
        // The page folder itself: its pages would be served as downloads from then on.
        fail(reason, "the path names the page folder itself; attachments need a folder of their own");
        return std::nullopt;
    }

    std::error_code error;
    fs::path root = fs::canonical(siteRoot_, error);
    if (error) {
        fail(reason, "the site root does not exist");
        return std::nullopt;
    }
    std::optional<std::string> pageReal = canonicalWithin(root.string(), pageFolder.empty() ? siteRoot_ : pageFolder);
    if (!pageReal) {
        fail(reason, "the page folder lies outside the site root");
        return std::nullopt;
    }
    fs::path current = *pageReal;
    fs::path remainder;
    for (const std::string &part : components) {
        if (!remainder.empty()) {
            remainder /= part;
            continue;
        }
        fs::path next = current / part;
        fs::file_status status = fs::symlink_status(next, error);
        if (status.type() == fs::file_type::not_found) {
            // Nothing of that name: the rest of the path names folders still to be made.
            error.clear();
            remainder /= part;
            continue;
        }
        if (error) {
            fail(reason, "cannot examine " + next.string() + ": " + error.message());
            return std::nullopt;
        }
        if (fs::is_symlink(status)) {
            std::optional<std::string> target = canonicalWithin(root.string(), next.string());
            if (!target) {
                fail(reason, fs::exists(next, error) ? "a symbolic link in the path leads out of the site root"
                                                     : "a symbolic link in the path leads nowhere");
                return std::nullopt;
            }
            next = *target;
        }
        if (!fs::is_directory(next, error)) {
            fail(reason, "a component of the path is not a folder");
            return std::nullopt;
        }
        current = next;
    }
    if (!isWithin(root.string(), current.string())) {
        fail(reason, "the path leads out of the site root");
        return std::nullopt;
    }
    if (remainder.empty()) {
        if (current == root) {
            fail(reason, "the site root cannot hold attachments: every page would become a download");
            return std::nullopt;
        }
        std::optional<bool> pages = holdsPages(current, reason);
        if (!pages || *pages) {
            return std::nullopt;
        }
    }
    fs::path answer = remainder.empty() ? current : current / remainder;
    std::string folder = withTrailingSlash(answer.string());
    if (resolveObserver_ && !resolveObserver_(folder)) {
        fail(reason, "the folder " + folder + " could not be recorded as an attachment folder");
        return std::nullopt;
    }
    return folder;
}

std::optional<std::string> SiteFolders::dataFolder(const std::string &name, std::string *reason) const {
    if (dataRoot_.empty()) {
        fail(reason, "the host has no data root");
        return std::nullopt;
    }
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        fail(reason, "a data folder name is one plain path component");
        return std::nullopt;
    }
    fs::path folder = fs::absolute(fs::path(dataRoot_)) / name;
    std::error_code error;
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder, error)) {
        fail(reason, "cannot create " + folder.string());
        return std::nullopt;
    }
    return withTrailingSlash(folder.lexically_normal().string());
}

} // namespace velquor::host
