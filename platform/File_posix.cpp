// File_posix.cpp: files and folders on POSIX systems (Linux first): stat, mkdir, rmdir,
// unlink, renameat2, readdir, open with flock-based sharing, pread and pwrite.
#include "platform/File.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

ItemKind KindOfMode(mode_t mode) {
    if (S_ISREG(mode))
        return ItemKind::File;
    if (S_ISDIR(mode))
        return ItemKind::Folder;
    if (S_ISLNK(mode))
        return ItemKind::Link;
    return ItemKind::Other;
}

int CloseRetaining(int fd) {
    // close() must not be retried on EINTR on Linux: the descriptor is gone either way.
    int savedErrno = errno;
    int result = ::close(fd);
    errno = savedErrno;
    return result;
}

// Takes the advisory lock that stands for the sharing mode. A lock held by another
// open of the same file is a sharing violation.
bool LockForSharing(int fd, FileSharing sharing) {
    int operation = (sharing == FileSharing::Readers ? LOCK_SH : LOCK_EX) | LOCK_NB;
    for (;;) {
        if (::flock(fd, operation) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

int OpenRetrying(const char *path, int flags, mode_t mode = 0) {
    for (;;) {
        int fd = ::open(path, flags, mode);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
}

// Copies a regular file to a new name on another file system, then removes the source.
bool CopyThenRemove(const char *from, const char *to) {
    struct stat sourceStatus;
    if (::lstat(from, &sourceStatus) != 0 || !S_ISREG(sourceStatus.st_mode))
        return false;
    int source = OpenRetrying(from, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (source < 0)
        return false;
    int target = OpenRetrying(to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              sourceStatus.st_mode & 07777);
    if (target < 0) {
        CloseRetaining(source);
        return false;
    }
    // A small block: this may run on a thread with a small stack.
    char block[4096];
    uint64_t offset = 0;
    bool ok = true;
    for (;;) {
        uint32_t got = ReadFileAt(source, offset, block, sizeof block);
        if (got == 0)
            break;
        if (WriteFileAt(target, offset, block, got) != got) {
            ok = false;
            break;
        }
        offset += got;
    }
    struct stat copied;
    if (ok && (::fstat(source, &copied) != 0 || static_cast<uint64_t>(copied.st_size) != offset))
        ok = false;  // a short read that was an error, not the end
    CloseRetaining(source);
    if (::close(target) != 0)
        ok = false;
    if (ok && ::unlink(from) != 0)
        ok = false;
    if (!ok)
        ::unlink(to);
    return ok;
}

}  // namespace

ItemKind GetItemKind(const char *path, bool followLinks) {
    if (path == nullptr || *path == 0)
        return ItemKind::None;
    struct stat status;
    int result = followLinks ? ::stat(path, &status) : ::lstat(path, &status);
    if (result != 0)
        return ItemKind::None;
    return KindOfMode(status.st_mode);
}

bool ItemExists(const char *path) {
    if (path == nullptr || *path == 0)
        return false;
    struct stat status;
    return ::lstat(path, &status) == 0;
}

bool GetItemSize(const char *path, uint64_t *size) {
    if (path == nullptr || *path == 0)
        return false;
    struct stat status;
    if (::stat(path, &status) != 0)
        return false;
    *size = static_cast<uint64_t>(status.st_size);
    return true;
}

bool GetFileStamp(FileHandle handle, FileStamp *stamp) {
    struct stat status;
    if (handle == kInvalidFileHandle || ::fstat(handle, &status) != 0)
        return false;
    stamp->size = static_cast<uint64_t>(status.st_size);
    stamp->modifiedNanoseconds =
        static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + static_cast<int64_t>(status.st_mtim.tv_nsec);
    stamp->device = static_cast<uint64_t>(status.st_dev);
    stamp->inode = static_cast<uint64_t>(status.st_ino);
    stamp->othersHaveAccess = (status.st_mode & (S_IRWXG | S_IRWXO)) != 0;
    return true;
}

bool MakeFolder(const char *path) {
    if (path == nullptr || *path == 0)
        return false;
    return ::mkdir(path, 0777) == 0;
}

bool RemoveFolder(const char *path) {
    if (path == nullptr || *path == 0)
        return false;
    return ::rmdir(path) == 0;
}

bool RemoveFile(const char *path) {
    if (path == nullptr || *path == 0)
        return false;
    return ::unlink(path) == 0;
}

bool RealPath(const char *path, char *buffer, size_t capacity) {
    if (path == nullptr || *path == 0 || buffer == nullptr || capacity == 0)
        return false;
    char *resolved = ::realpath(path, nullptr);
    if (resolved == nullptr)
        return false;
    size_t length = strlen(resolved);
    bool fits = length < capacity;
    if (fits)
        memcpy(buffer, resolved, length + 1);
    free(resolved);
    return fits;
}

bool OpenFilePath(FileHandle handle, char *buffer, size_t capacity) {
    if (handle == kInvalidFileHandle || buffer == nullptr || capacity == 0)
        return false;
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", handle);
    ssize_t length = ::readlink(link, buffer, capacity);
    if (length <= 0 || static_cast<size_t>(length) >= capacity)
        return false;
    buffer[length] = 0;
    return buffer[0] == '/';
}

bool ReplaceItem(const char *from, const char *to) {
    if (from == nullptr || to == nullptr || *from == 0 || *to == 0)
        return false;
    return ::rename(from, to) == 0;
}

bool MoveItem(const char *from, const char *to) {
    if (from == nullptr || to == nullptr || *from == 0 || *to == 0)
        return false;
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return true;
    int error = errno;
    if (error == EXDEV)
        return CopyThenRemove(from, to);
    if (error != EINVAL && error != ENOSYS && error != ENOTSUP)
        return false;
    // The file system cannot rename without replacing. A file moves by a second link
    // (which fails when the target exists) and the removal of the old one.
    struct stat status;
    if (::lstat(from, &status) != 0)
        return false;
    if (!S_ISDIR(status.st_mode)) {
        if (::link(from, to) == 0) {
            if (::unlink(from) == 0)
                return true;
            ::unlink(to);
            return false;
        }
        if (errno == EEXIST)
            return false;
    }
    // No link either (folders, file systems without hard links): check, then rename.
    // Another process could take the name in between; nothing better is available.
    if (::lstat(to, &status) == 0)
        return false;
    return ::rename(from, to) == 0;
}

bool ListFolder(const char *path, FolderEntryVisitor visit, void *context) {
    if (path == nullptr || *path == 0)
        return false;
    int folder = OpenRetrying(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return false;
    DIR *stream = ::fdopendir(folder);
    if (stream == nullptr) {
        CloseRetaining(folder);
        return false;
    }
    // Closes the listing also when a visit throws.
    struct Closer {
        DIR *stream;
        ~Closer() { ::closedir(stream); }
    } closer{stream};
    bool ok = true;
    for (;;) {
        errno = 0;
        struct dirent *entry = ::readdir(stream);
        if (entry == nullptr) {
            ok = errno == 0;
            break;
        }
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        ItemKind kind;
        switch (entry->d_type) {
        case DT_REG: kind = ItemKind::File; break;
        case DT_DIR: kind = ItemKind::Folder; break;
        case DT_LNK: kind = ItemKind::Link; break;
        case DT_UNKNOWN: {
            struct stat status;
            kind = ::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) == 0 ? KindOfMode(status.st_mode)
                                                                             : ItemKind::None;
            break;
        }
        default: kind = ItemKind::Other; break;
        }
        visit(FolderEntry{name, kind}, context);
    }
    return ok;
}

FileHandle OpenExistingFile(const char *path, FileAccess access, FileSharing sharing) {
    if (path == nullptr || *path == 0 || access == FileAccess::None)
        return kInvalidFileHandle;
    // O_NONBLOCK keeps a FIFO from blocking the open; only regular files are accepted.
    const int common = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    int fd = -1;
    switch (access) {
    case FileAccess::Read: fd = OpenRetrying(path, O_RDONLY | common); break;
    case FileAccess::Write: fd = OpenRetrying(path, O_WRONLY | common); break;
    case FileAccess::ReadWrite: fd = OpenRetrying(path, O_RDWR | common); break;
    case FileAccess::Maximum:
        fd = OpenRetrying(path, O_RDWR | common);
        if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
            fd = OpenRetrying(path, O_RDONLY | common);
        if (fd < 0 && errno == EACCES)
            fd = OpenRetrying(path, O_WRONLY | common);
        break;
    case FileAccess::None: break;
    }
    if (fd < 0)
        return kInvalidFileHandle;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || !LockForSharing(fd, sharing)) {
        CloseRetaining(fd);
        return kInvalidFileHandle;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

CreateOutcome CreateNewFile(const char *path, FileHandle *handle) {
    if (handle != nullptr)
        *handle = kInvalidFileHandle;
    if (path == nullptr || *path == 0)
        return CreateOutcome::Failed;
    int fd = OpenRetrying(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0)
        return errno == EEXIST ? CreateOutcome::NameTaken : CreateOutcome::Failed;
    if (handle == nullptr) {
        if (::close(fd) != 0) {
            ::unlink(path);
            return CreateOutcome::Failed;
        }
        return CreateOutcome::Created;
    }
    if (!LockForSharing(fd, FileSharing::Exclusive)) {
        // Someone opened the brand-new file already; it is not ours alone.
        CloseRetaining(fd);
        ::unlink(path);
        return CreateOutcome::Failed;
    }
    *handle = fd;
    return CreateOutcome::Created;
}

uint32_t ReadFileAt(FileHandle handle, uint64_t offset, void *buffer, uint32_t count) {
    if (handle < 0 || buffer == nullptr || offset > static_cast<uint64_t>(INT64_MAX))
        return 0;
    uint32_t done = 0;
    while (done < count) {
        ssize_t got = ::pread(handle, static_cast<char *>(buffer) + done, count - done,
                              static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (got == 0)
            break;
        done += static_cast<uint32_t>(got);
    }
    return done;
}

uint32_t WriteFileAt(FileHandle handle, uint64_t offset, const void *buffer, uint32_t count) {
    if (handle < 0 || buffer == nullptr || offset > static_cast<uint64_t>(INT64_MAX))
        return 0;
    uint32_t done = 0;
    while (done < count) {
        ssize_t put = ::pwrite(handle, static_cast<const char *>(buffer) + done, count - done,
                               static_cast<off_t>(offset + done));
        if (put < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (put == 0)
            break;
        done += static_cast<uint32_t>(put);
    }
    return done;
}

bool GetFileSize(FileHandle handle, uint64_t *size) {
    if (handle < 0)
        return false;
    struct stat status;
    if (::fstat(handle, &status) != 0)
        return false;
    *size = static_cast<uint64_t>(status.st_size);
    return true;
}

void CloseFile(FileHandle handle) {
    if (handle >= 0)
        CloseRetaining(handle);
}

}  // namespace platform
