// FolderSpecification.h: QELFolderSpecification, a path known not to be a file: creation
// of the whole folder chain, listing, and recursive deletion.
#pragma once

#include "foundation/FileSystemItem.h"
#include "foundation/FileSystemItemList.h"
#include "platform/File.h"

// Decides whether a folder entry is listed; context is the caller's.
typedef bool (*QELFolderEntryPredicate)(const platform::FolderEntry &entry, void *context);

class QELFolderSpecification : public QELFileSystemItem {
public:
    // These throw IsNotAFolder when the path names an existing file.
    explicit QELFolderSpecification(const QELString &path);
    explicit QELFolderSpecification(const QELFileSystemItem &item);
    QELFolderSpecification(const QELFileSystemItem &folder, const QELString &name);
    // A copy of a folder specification is not checked again.
    QELFolderSpecification(const QELFolderSpecification &other);
    ~QELFolderSpecification() override;

    // Deletes everything inside the folder, then the folder. Folders inside are deleted
    // the same way and stop the walk when that fails; anything else (files, symbolic
    // links, which are never followed) is removed. False when the folder itself
    // cannot be removed.
    bool Delete() const override;

    // Creates the folder and every missing folder on its path. The first component of
    // an absolute path is the root (the empty text before the leading "/") and is never
    // created; every component of a relative path is, from the current folder. True
    // when the folder itself was created (false when it existed already).
    bool CreateFolder() const;

    // Appends to list one item per entry of the folder, never "." or "..", in the
    // order the system returns them; each item's path is GetPath + the entry's name.
    // With a predicate, only entries it accepts. False when the folder cannot be read.
    bool ListItems(QELFileSystemItemList &list, QELFolderEntryPredicate predicate = nullptr,
                   void *context = nullptr) const;
};
