// DownloadFolders.cpp: the recorded attachment folders, in memory and in SQLite.
#include "host/lib/DownloadFolders.h"

#include "host/lib/SiteFolders.h"
#include "host/lib/SqliteConnection.h"

#include <sqlite3.h>

namespace velquor::host {

DownloadFolders::DownloadFolders() = default;

DownloadFolders::~DownloadFolders() = default;

std::unique_ptr<DownloadFolders> DownloadFolders::openFile(const std::string &path, std::string *error) {
    std::unique_ptr<DownloadFolders> folders(new DownloadFolders());
    auto file = std::make_unique<SqliteConnection>();
    if (!file->open(path, 5000, error)) {
        return nullptr;
    }
    if (!file->execute("CREATE TABLE IF NOT EXISTS velquor_download_folders (folder TEXT PRIMARY KEY)", error)) {
        return nullptr;
    }
    SqliteStatement rows = file->prepare("SELECT folder FROM velquor_download_folders");
    if (!rows.valid()) {
        if (error != nullptr) {
            *error = file->lastError();
        }
        return nullptr;
    }
    int step = SQLITE_ROW;
    while ((step = rows.step()) == SQLITE_ROW) {
        folders->folders_.insert(SiteFolders::withTrailingSlash(rows.text(0)));
    }
    if (step != SQLITE_DONE) {
        // Folders left out would serve their attachments as pages.
        if (error != nullptr) {
            *error = "cannot read the attachment folders: " + file->lastError();
        }
        return nullptr;
    }
    folders->file_ = std::move(file);
    return folders;
}

bool DownloadFolders::add(const std::string &folder) {
    std::string key = SiteFolders::withTrailingSlash(folder);
    std::lock_guard<std::mutex> lock(mutex_);
    if (folders_.count(key) != 0) {
        return true;
    }
    if (file_ != nullptr) {
        SqliteStatement write = file_->prepare("INSERT OR IGNORE INTO velquor_download_folders (folder) VALUES (?)");
        if (!write.valid()) {
            return false;
        }
        write.bind(1, key);
        if (write.step() != SQLITE_DONE) {
            return false;
        }
    }
    folders_.insert(key);
    return true;
}

bool DownloadFolders::remove(const std::string &folder) {
    std::string key = SiteFolders::withTrailingSlash(folder);
    std::lock_guard<std::mutex> lock(mutex_);
    if (folders_.count(key) == 0) {
        return false;
    }
    if (file_ != nullptr) {
        SqliteStatement erase = file_->prepare("DELETE FROM velquor_download_folders WHERE folder = ?");
        if (!erase.valid()) {
            return false;
        }
        erase.bind(1, key);
        if (erase.step() != SQLITE_DONE) {
            return false;
        }
    }
    folders_.erase(key);
    return true;
}

std::set<std::string> DownloadFolders::list() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return folders_;
}

bool DownloadFolders::contains(const std::string &path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    // Every prefix of the path that ends at a "/" is a folder it lies in.
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        if (folders_.count(path.substr(0, slash + 1)) != 0) {
            return true;
        }
    }
    return false;
}

} // namespace velquor::host
