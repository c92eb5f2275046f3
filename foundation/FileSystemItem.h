// FileSystemItem.h: QELFileSystemItem, a path on the disk with the queries and moves that
// every item has; folders and files (FolderSpecification.h, FileSpecification.h) refine it.
#pragma once

#include <cstdint>

#include "foundation/Exception.h"
#include "foundation/Object.h"
#include "foundation/Owned.h"
#include "foundation/String.h"
#include "platform/File.h"

class QELFileSpecification;
class QELFolderSpecification;

// Paths are used as given, never normalised, with the platform's separator
// (platform::kPathSeparator, "/"). A path holding a zero byte names nothing: every
// query on it is false and every operation fails. Queries that look at what a path is
// ignore trailing separators ("/tmp/" is the folder "/tmp").
class QELFileSystemItem : public QELObject {
public:
    // Thrown when a file specification is made for an existing folder.
    class IsNotAFile : public QELException {
    public:
        const char *what() const noexcept override;
    };
    // Thrown when a folder specification is made for an existing file.
    class IsNotAFolder : public QELException {
    public:
        const char *what() const noexcept override;
    };

    explicit QELFileSystemItem(const QELString &path);
    QELFileSystemItem(const QELFileSystemItem &other);
    QELFileSystemItem &operator=(const QELFileSystemItem &other) = default;
    // The item called name inside folder: the folder's GetPath and the name joined by
    // exactly one separator (none is added to an empty folder path).
    QELFileSystemItem(const QELFileSystemItem &folder, const QELString &name);
    ~QELFileSystemItem() override;

    // True when the path names a regular file (symbolic links followed).
    virtual bool IsFile() const;
    // The same answer as IsFile; the argument is not used.
    virtual bool IsFileAlt(uint32_t unused) const;
    // Always false.
    virtual bool IsSpecialItem() const;
    // True when the path names a folder (symbolic links followed).
    virtual bool IsFolder() const;
    // New specifications for the same path. They throw IsNotAFile or IsNotAFolder when
    // the path names the other kind.
    virtual QELOwned<QELFileSpecification> AsFile() const;
    virtual QELOwned<QELFolderSpecification> AsFolder() const;
    // Moves the item to the target's path. False when the target exists, this item does
    // not, or the target's folder does not; never replaces anything. The item keeps
    // its path text.
    virtual bool MoveTo(const QELFileSystemItem &target) const;
    // Moves the item to the target's path, replacing a file of that name in one step: the
    // target's name never stands empty or half written. False when this item does not
    // exist or the move fails (another file system, a folder in the way).
    bool MoveReplacing(const QELFileSystemItem &target) const;
    // Renames the item within its folder (same rules as MoveTo). The item keeps its
    // path text.
    virtual bool Rename(const QELString &newName) const;
    // A plain item deletes nothing: always false.
    virtual bool Delete() const;
    // The containing folder: the path before its last separator (trailing separators
    // ignored). The parent of "/x" is "/"; of a bare name, the current folder ".".
    // Throws IsNotAFolder when that path names a file.
    virtual QELFolderSpecification GetParent() const;

    // The path, with a separator appended when it names an existing folder and does
    // not end with one already.
    QELString GetPath() const;
    // The text after the last separator; a path without separator is its own name.
    QELString GetName() const;
    // True when the name exists on the disk in any form (a dangling link included).
    bool Exists() const;
    // The path exactly as given.
    const QELString &path() const { return path_; }
    // The absolute path with every link, "." and ".." followed; empty when the item is
    // missing or its path cannot be resolved.
    QELString GetRealPath() const;
    // Whether the real path of path lies within this item's real path (or is it).
    bool Contains(const QELString &realPath) const;

protected:
    // The path for a system call: null when it is empty or holds a zero byte.
    static const char *SystemPath(const QELString &path);
    // The path without trailing separators (a root "/" stays).
    static QELString StrippedPath(const QELString &path);
    // The containing folder's path as GetParent computes it, without any check.
    static QELString ParentPath(const QELString &path);
    // folder + name with exactly one separator between them.
    static QELString JoinPath(const QELString &folder, const QELString &name);

    QELString path_;

private:
    friend bool MakeUniqueName(QELFileSystemItem &item);
    friend bool CreateEmptyFile(const QELFileSystemItem &item);
    friend platform::CreateOutcome CreateNewFileForItem(QELFileSystemItem &item, bool takeNextFreeName,
                                                        platform::FileHandle *handle);
};

// While the item exists, gives it the name stem + counter + extension in its folder
// with the counter 1, 2, 3, ... ("report.pdf" -> "report1.pdf", "README" ->
// "README1", ".profile" -> "1.profile"). False only when the name is empty.
bool MakeUniqueName(QELFileSystemItem &item);

// Creates the item as a new empty file (its folder first, when missing). False when
// the name exists already or creation fails; never opens or truncates an existing
// file, and never follows a symbolic link.
bool CreateEmptyFile(const QELFileSystemItem &item);

// Creates a new empty file under the item's name or, while that name is taken, under
// the next unique one (as MakeUniqueName counts); the item takes the name created.
// Taking and creating a name is one step, so two creators never get the same file.
// False when the name is empty or creation fails for another reason.
bool CreateUniqueEmptyFile(QELFileSystemItem &item);

// The step under CreateUniqueEmptyFile and CreateFileStream: creates the item's file
// exclusively (its folder first, when missing), moving on to the next unique name
// while names are taken when takeNextFreeName is set. With handle, the new file stays
// open for reading and writing, kept to itself.
platform::CreateOutcome CreateNewFileForItem(QELFileSystemItem &item, bool takeNextFreeName,
                                             platform::FileHandle *handle);

// GetParent and AsFolder answer folder specifications; the two refinements are
// complete wherever an item is.
#include "foundation/FileSpecification.h"
#include "foundation/FolderSpecification.h"
