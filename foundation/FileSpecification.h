// FileSpecification.h: QELFileSpecification, a path known not to be a folder: removal
// and size.
#pragma once

#include <cstdint>

#include "foundation/FileSystemItem.h"

class QELFileSpecification : public QELFileSystemItem {
public:
    // These throw IsNotAFile when the path names an existing folder.
    explicit QELFileSpecification(const QELString &path);
    explicit QELFileSpecification(const QELFileSystemItem &item);
    QELFileSpecification(const QELFileSystemItem &folder, const QELString &name);
    // A copy of a file specification is not checked again.
    QELFileSpecification(const QELFileSpecification &other);
    ~QELFileSpecification() override;

    // Removes the file (a symbolic link itself, never its target).
    bool Delete() const override;
    // The size in bytes (links followed); 0 when it cannot be had, UINT32_MAX for a
    // file of 4 GiB or more.
    virtual uint32_t GetSize() const;
};
