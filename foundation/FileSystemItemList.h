// FileSystemItemList.h: QELFileSystemItemList, an ordered array of file-system items
// that owns them (what a folder listing fills).
#pragma once

#include <cstdint>

#include "foundation/Array.h"
#include "foundation/Owned.h"

class QELFileSystemItem;

class QELFileSystemItemList : public QELArray {
public:
    // An empty list; clearing or destroying it deletes every item.
    QELFileSystemItemList();
    ~QELFileSystemItemList() override;

    // Appends the item; the list owns it from then on.
    void add(QELOwned<QELFileSystemItem> item);
    // The item at index, owned by the list; null beyond the end.
    QELFileSystemItem *item(uint32_t index) const {
        return reinterpret_cast<QELFileSystemItem *>(value(index));
    }
};
