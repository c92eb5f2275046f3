// FolderSpecification.cpp: folder creation along a path, listing, recursive deletion.
#include "foundation/FolderSpecification.h"

namespace {

constexpr char kSeparator = platform::kPathSeparator;

bool IsFolderPath(const QELString &path) {
    return platform::GetItemKind(path.text(), true) == platform::ItemKind::Folder;
}

}  // namespace

QELFolderSpecification::QELFolderSpecification(const QELString &path) : QELFileSystemItem(path) {
    if (IsFile())
        throw IsNotAFolder();
}

QELFolderSpecification::QELFolderSpecification(const QELFileSystemItem &item) : QELFileSystemItem(item) {
    if (IsFile())
        throw IsNotAFolder();
}

QELFolderSpecification::QELFolderSpecification(const QELFileSystemItem &folder, const QELString &name)
    : QELFileSystemItem(folder, name) {
    if (IsFile())
        throw IsNotAFolder();
}

QELFolderSpecification::QELFolderSpecification(const QELFolderSpecification &other) : QELFileSystemItem(other) {}

QELFolderSpecification::~QELFolderSpecification() = default;

bool QELFolderSpecification::Delete() const {
    QELFileSystemItemList items;
    ListItems(items);
    bool result = true;
    for (uint32_t i = 0; i < items.count(); ++i) {
        const QELString &path = items.item(i)->path();
        // The entry itself, not what a symbolic link points to: a link is removed,
        // never walked into.
        platform::ItemKind kind = platform::GetItemKind(SystemPath(path), false);
        if (kind == platform::ItemKind::None)
            continue;  // gone already
        if (kind != platform::ItemKind::Folder) {
            result = platform::RemoveFile(SystemPath(path));
            continue;
        }
        bool deleted;
        try {
            deleted = QELFolderSpecification(path).Delete();
        } catch (const IsNotAFolder &) {
            deleted = false;  // replaced by a file while the walk ran
        }
        if (!deleted) {
            result = false;
            break;
        }
    }
    if (!platform::RemoveFolder(SystemPath(GetPath())))
        return false;
    return result;
}

bool QELFolderSpecification::CreateFolder() const {
    QELString full = StrippedPath(GetPath());
    const char *path = SystemPath(full);
    if (path == nullptr)
        return false;
    // Every folder above the last one, component by component. Index 0 is skipped:
    // a separator there is the root of an absolute path, which always exists.
    for (uint32_t i = 1; i < full.length(); ++i) {
        if (full.at(i) != kSeparator || full.at(i - 1) == kSeparator)
            continue;
        QELString above = full.substring(0, i + 1);
        if (IsFolderPath(above))
            continue;
        if (!platform::MakeFolder(above.text()) && !IsFolderPath(above))
            break;  // the last creation below reports the failure
    }
    return platform::MakeFolder(path);
}

bool QELFolderSpecification::ListItems(QELFileSystemItemList &list, QELFolderEntryPredicate predicate,
                                       void *context) const {
    struct Listing {
        QELFileSystemItemList *list;
        QELString folder;
        QELFolderEntryPredicate predicate;
        void *context;
    } listing{&list, GetPath(), predicate, context};
    const char *path = SystemPath(listing.folder);
    if (path == nullptr)
        return false;
    auto visit = [](const platform::FolderEntry &entry, void *data) {
        auto *listing = static_cast<Listing *>(data);
        if (listing->predicate != nullptr && !listing->predicate(entry, listing->context))
            return;
        listing->list->add(MakeOwned<QELFileSystemItem>(JoinPath(listing->folder, QELString(entry.name))));
    };
    return platform::ListFolder(path, visit, &listing);
}
