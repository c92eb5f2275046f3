// SiteFolders.cpp: folder resolution confined to the site root, and data folders.
// Symbolic links are followed only while they stay inside the site root.
#include "host/lib/SiteFolders.h"

#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace velquor::host {

namespace {

bool fail(std::string *reason, const std::string &text) {
    if (reason != nullptr) {
        *reason = text;
    }
    return false;
}

bool isWithin(const fs::path &root, const fs::path &path) {
    std::string r = root.string();
    std::string p = path.string();
    if (r == "/") {
        return !p.empty() && p[0] == '/';
    }
    return p == r || (p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/');
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

    std::error_code error;
    fs::path root = fs::canonical(siteRoot_, error);
    if (error) {
        fail(reason, "the site root does not exist");
        return std::nullopt;
    }
    fs::path current = fs::canonical(pageFolder.empty() ? siteRoot_ : pageFolder, error);
    if (error || !isWithin(root, current)) {
        fail(reason, "the page folder lies outside the site root");
        return std::nullopt;
    }
    fs::path remainder;
    bool missing = false;
    for (const std::string &part : components) {
        if (missing) {
            remainder /= part;
            continue;
        }
        fs::path next = current / part;
        fs::file_status status = fs::symlink_status(next, error);
        if (error || !fs::exists(status)) {
            // Nothing of that name: the rest of the path names folders still to be made.
            error.clear();
            missing = true;
            remainder /= part;
            continue;
        }
        if (fs::is_symlink(status)) {
            next = fs::canonical(next, error);
            if (error) {
                fail(reason, "a symbolic link in the path leads nowhere");
                return std::nullopt;
            }
            if (!isWithin(root, next)) {
                fail(reason, "a symbolic link in the path leads out of the site root");
                return std::nullopt;
            }
        }
        if (!fs::is_directory(next, error)) {
            fail(reason, "a component of the path is not a folder");
            return std::nullopt;
        }
        current = next;
    }
    if (!isWithin(root, current)) {
        fail(reason, "the path leads out of the site root");
        return std::nullopt;
    }
    fs::path answer = remainder.empty() ? current : current / remainder;
    std::string folder = withTrailingSlash(answer.string());
    if (resolveObserver_) {
        resolveObserver_(folder);
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
