// FileSpecification.cpp: a file's removal and size.
#include "foundation/FileSpecification.h"

QELFileSpecification::QELFileSpecification(const QELString &path) : QELFileSystemItem(path) {
    if (IsFolder())
        throw IsNotAFile();
}

QELFileSpecification::QELFileSpecification(const QELFileSystemItem &item) : QELFileSystemItem(item) {
    if (IsFolder())
        throw IsNotAFile();
}

QELFileSpecification::QELFileSpecification(const QELFileSystemItem &folder, const QELString &name)
    : QELFileSystemItem(folder, name) {
    if (IsFolder())
        throw IsNotAFile();
}

QELFileSpecification::QELFileSpecification(const QELFileSpecification &other) : QELFileSystemItem(other) {}

QELFileSpecification::~QELFileSpecification() = default;

bool QELFileSpecification::Delete() const { return platform::RemoveFile(SystemPath(path_)); }

uint32_t QELFileSpecification::GetSize() const {
    uint64_t size;
    if (!platform::GetItemSize(SystemPath(path_), &size))
        return 0;
    return size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
}
