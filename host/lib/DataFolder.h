// DataFolder.h: the host's data folder held for one host at a time: private to its user
// (0700, its files 0600) and locked while the host runs.
#ifndef VELQUOR_HOST_DATA_FOLDER_H
#define VELQUOR_HOST_DATA_FOLDER_H

#include <memory>
#include <string>

namespace velquor::host {

class DataFolder {
public:
    // The file in the folder that holds the lock and the process id of its holder.
    static constexpr const char *kLockName = "velquor.lock";

    // Makes the folder when missing (0700; its parents as usual), narrows an existing one
    // to 0700, and locks it for this process until destruction. Null with a one-line
    // reason in *error when the folder cannot be made, is not a folder, belongs to another
    // user, is a shared folder (sticky bit, as /tmp), or another process holds its lock
    // (the reason then names that process).
    static std::unique_ptr<DataFolder> open(const std::string &path, std::string *error);
    ~DataFolder();
    DataFolder(const DataFolder &) = delete;
    DataFolder &operator=(const DataFolder &) = delete;

    // The folder's canonical path.
    const std::string &path() const { return path_; }
    // The absolute path of `name` in the folder; that file made private to its user
    // (0600), created empty when missing. False with a one-line reason in *error when it
    // cannot be created or is not a regular file.
    bool privateFile(const std::string &name, std::string *pathOut, std::string *error) const;

private:
    DataFolder(std::string path, int lockFd) : path_(std::move(path)), lockFd_(lockFd) {}

    std::string path_;
    int lockFd_;
};

} // namespace velquor::host

#endif
