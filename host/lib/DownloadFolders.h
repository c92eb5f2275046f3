// DownloadFolders.h: the folders that the module had resolved with ResolveFolderPath
// (where mailed attachments are stored). Every file in them, or below them, is served as a
// download and never run as a page. Kept in memory or in an SQLite file across restarts.
#ifndef VELQUOR_HOST_DOWNLOAD_FOLDERS_H
#define VELQUOR_HOST_DOWNLOAD_FOLDERS_H

#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace velquor::host {

class SqliteConnection;

// Thread-safe.
class DownloadFolders {
public:
    DownloadFolders();
    ~DownloadFolders();
    DownloadFolders(const DownloadFolders &) = delete;
    DownloadFolders &operator=(const DownloadFolders &) = delete;

    // Folders kept in the table "velquor_download_folders" of an SQLite file (created when
    // missing); null with the reason in *error when the file cannot be used or read whole.
    static std::unique_ptr<DownloadFolders> openFile(const std::string &path, std::string *error);

    // Records an absolute folder path (with or without its trailing "/"): in the file
    // first, then in memory. False when the file refused it; the folder is then not
    // recorded at all, so that memory always holds what the file holds.
    bool add(const std::string &folder);
    // Forgets a folder (its files become ordinary site files again): in the file first,
    // then in memory. False when it was not recorded or the file refused the change (the
    // folder then stays recorded).
    bool remove(const std::string &folder);
    // Whether the absolute path lies in a recorded folder (at any depth).
    bool contains(const std::string &path) const;
    // Every recorded folder, sorted, each ending with "/".
    std::set<std::string> list() const;

private:
    mutable std::mutex mutex_;
    std::set<std::string> folders_;  // each ending with "/"
    std::unique_ptr<SqliteConnection> file_;
};

} // namespace velquor::host

#endif
