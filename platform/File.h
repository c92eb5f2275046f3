// File.h: every operating-system call for files and folders, behind plain types:
// status queries, folder creation, listing and removal, moves that never replace, open files.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// The separator of path components on this platform. Paths are used as given (never
// normalised); an absolute path begins with the separator.
constexpr char kPathSeparator = '/';

// What a name on the disk is.
enum class ItemKind : uint8_t { None, File, Folder, Link, Other };

// The kind of the item a path names: with followLinks a symbolic link answers for its
// target (a dangling link is None); without, a link is Link. None when the query fails.
ItemKind GetItemKind(const char *path, bool followLinks);

// True when the name exists on the disk at all (a dangling symbolic link included).
bool ItemExists(const char *path);

// The size in bytes of the item a path names (links followed); false when the query fails.
bool GetItemSize(const char *path, uint64_t *size);

// Creates one folder (the parent must exist); false when it exists already or fails.
bool MakeFolder(const char *path);

// Removes an empty folder.
bool RemoveFolder(const char *path);

// Removes a name that is not a folder (a symbolic link itself, never its target).
bool RemoveFile(const char *path);

// Moves or renames an item. Never replaces: fails when the target name exists, also
// when it appears while the move runs. A regular file moves to another file system by
// copying (the copy is removed again when anything fails); a folder cannot.
bool MoveItem(const char *from, const char *to);

// Renames a file over an existing one in one step: the target name names either the old
// or the new file at every moment. Both must lie on one file system; false otherwise.
bool ReplaceItem(const char *from, const char *to);

// One entry of a folder listing. The name is valid during the visit only.
struct FolderEntry {
    const char *name;
    ItemKind kind;  // of the entry itself: a symbolic link is Link
};

typedef void (*FolderEntryVisitor)(const FolderEntry &entry, void *context);

// Calls visit for every entry of the folder except "." and "..", in the order the
// system returns them. False when the folder cannot be opened or read.
bool ListFolder(const char *path, FolderEntryVisitor visit, void *context);

// An open file.
typedef int FileHandle;
constexpr FileHandle kInvalidFileHandle = -1;

enum class FileAccess : uint8_t { None, Read, Write, ReadWrite, Maximum };

// How other openers may share an open file. The module's own opens honour it: a file
// open for Readers may be opened again only for Readers, an Exclusive one not at all.
enum class FileSharing : uint8_t { Readers, Exclusive };

// Opens an existing regular file (never creates one). Maximum asks for read and write
// and falls back to what the system grants. kInvalidFileHandle on failure: the file is
// missing or not a regular file, access is denied, or sharing forbids the open.
FileHandle OpenExistingFile(const char *path, FileAccess access, FileSharing sharing);

enum class CreateOutcome : uint8_t { Created, NameTaken, Failed };

// Creates a new empty regular file, exclusively: a name that exists in any form (a
// symbolic link included, which is never followed) answers NameTaken. When handle is
// given, the file stays open for reading and writing with Exclusive sharing.
CreateOutcome CreateNewFile(const char *path, FileHandle *handle);

// Reads up to count bytes at offset; stops early only at the end of the file or on an
// error. Returns the number of bytes read.
uint32_t ReadFileAt(FileHandle handle, uint64_t offset, void *buffer, uint32_t count);

// Writes count bytes at offset, continuing after short writes. Returns the number of
// bytes written (fewer than count only when the system reports an error).
uint32_t WriteFileAt(FileHandle handle, uint64_t offset, const void *buffer, uint32_t count);

// The absolute path of the item a path names, with every symbolic link and "." or ".."
// followed (NUL-terminated, cut to fit: false when it does not fit or the item is missing).
bool RealPath(const char *path, char *buffer, size_t capacity);

// The absolute path under which an open file was found, links followed: the file that is
// open, whatever has happened to its name since. False when the system cannot tell.
bool OpenFilePath(FileHandle handle, char *buffer, size_t capacity);

// The size of an open file; false for an invalid handle or a failed query.
bool GetFileSize(FileHandle handle, uint64_t *size);

// What tells one version of an open file from another, and whether users other than its
// owner have any access to it (group or other permission bits).
struct FileStamp {
    uint64_t size;
    int64_t modifiedNanoseconds;
    uint64_t device;
    uint64_t inode;
    bool othersHaveAccess;
};
// The stamp of an open file; false for an invalid handle or a failed query.
bool GetFileStamp(FileHandle handle, FileStamp *stamp);

void CloseFile(FileHandle handle);

}  // namespace platform
