// FileSystemItemList.cpp: the owning array of file-system items.
#include "foundation/FileSystemItemList.h"

#include "foundation/FileSystemItem.h"

namespace {

void DeleteItem(uintptr_t *slot) {
    delete reinterpret_cast<QELFileSystemItem *>(*slot);
    *slot = 0;
}

}  // namespace

QELFileSystemItemList::QELFileSystemItemList() : QELArray(DeleteItem) {}

QELFileSystemItemList::~QELFileSystemItemList() = default;

void QELFileSystemItemList::add(QELOwned<QELFileSystemItem> item) {
    append(reinterpret_cast<uintptr_t>(item.get()));
    item.release();
}
