// DataFolder.cpp: making the data folder private and holding its lock (flock on a file
// in it, released by the system however the process ends).
#include "host/lib/DataFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace velquor::host {

namespace {

bool fail(std::string *error, const std::string &text) {
    if (error != nullptr) {
        *error = text;
    }
    return false;
}

std::string systemText(int number) { return std::strerror(number); }

// Narrows the mode of an open file or folder to `mode` when it grants more; the caller
// checked that this user owns it.
bool narrow(int fd, const struct stat &status, mode_t mode, const std::string &path, std::string *error) {
    if ((status.st_mode & 07777) != mode && ::fchmod(fd, mode) != 0) {
        return fail(error, "cannot make " + path + " private: " + systemText(errno));
    }
    return true;
}

// The process id recorded in the lock file ("" when none can be read).
std::string lockHolder(int fd) {
    char text[32] = {};
    ssize_t count = ::pread(fd, text, sizeof text - 1, 0);
    std::string holder = count > 0 ? std::string(text, static_cast<size_t>(count)) : "";
    size_t end = holder.find_first_not_of("0123456789");
    return holder.substr(0, end);
}

} // namespace

std::unique_ptr<DataFolder> DataFolder::open(const std::string &path, std::string *error) {
    std::error_code fsError;
    fs::path folder = fs::absolute(path, fsError).lexically_normal();
    if (folder.has_parent_path() && folder.filename().empty()) {
        folder = folder.parent_path();  // "/a/b/" names /a/b
    }
    fs::create_directories(folder.parent_path(), fsError);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        fail(error, "cannot create the data folder " + folder.string() + ": " + systemText(errno));
        return nullptr;
    }
    std::string canonical = fs::canonical(folder, fsError).string();
    int dirFd = fsError ? -1 : ::open(canonical.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        fail(error, "the data folder " + folder.string() + " is not a folder that can be opened");
        return nullptr;
    }
    struct stat status {};
    bool usable = ::fstat(dirFd, &status) == 0;
    if (usable && status.st_uid != ::geteuid()) {
        usable = fail(error, "the data folder " + canonical + " belongs to another user");
    } else if (usable && (status.st_mode & S_ISVTX) != 0) {
        usable = fail(error, "the data folder " + canonical + " is a shared folder (sticky bit); give one of its own");
    } else if (usable) {
        usable = narrow(dirFd, status, 0700, "the data folder " + canonical, error);
    } else {
        fail(error, "cannot examine the data folder " + canonical + ": " + systemText(errno));
    }
    ::close(dirFd);
    if (!usable) {
        return nullptr;
    }

    std::string lockPath = canonical + "/" + kLockName;
    int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd < 0) {
        fail(error, "cannot open the lock " + lockPath + ": " + systemText(errno));
        return nullptr;
    }
    if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        int number = errno;
        std::string holder = number == EWOULDBLOCK ? lockHolder(lockFd) : "";
        ::close(lockFd);
        if (number == EWOULDBLOCK) {
            fail(error, "the data folder " + canonical + " is in use by another velquor-host" +
                            (holder.empty() ? std::string() : " (process " + holder + ")") +
                            "; give each host its own --data");
        } else {
            fail(error, "cannot lock the data folder " + canonical + ": " + systemText(number));
        }
        return nullptr;
    }
    std::string pid = std::to_string(::getpid()) + "\n";
    bool noted = ::ftruncate(lockFd, 0) == 0 &&
                 ::pwrite(lockFd, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size());
    (void)noted;  // without the note of its holder the lock holds all the same
    return std::unique_ptr<DataFolder>(new DataFolder(canonical, lockFd));
}

DataFolder::~DataFolder() { ::close(lockFd_); }

bool DataFolder::privateFile(const std::string &name, std::string *pathOut, std::string *error) const {
    std::string file = path_ + "/" + name;
    int fd = ::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
    if (fd < 0) {
        return fail(error, "cannot create " + file + ": " + systemText(errno));
    }
    struct stat status {};
    bool usable = ::fstat(fd, &status) == 0;
    if (!usable || !S_ISREG(status.st_mode)) {
        usable = fail(error, file + " is not a regular file");
    } else {
        usable = narrow(fd, status, 0600, file, error);
    }
    ::close(fd);
    if (usable && pathOut != nullptr) {
        *pathOut = file;
    }
    return usable;
}

} // namespace velquor::host
