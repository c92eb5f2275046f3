// FileSystemItem.cpp: path arithmetic (names, parents, joins), the queries and moves of
// every item, unique names and exclusive creation of empty files.
#include "foundation/FileSystemItem.h"

#include <cstring>

#include "foundation/FileSpecification.h"
#include "foundation/FolderSpecification.h"

namespace {

constexpr char kSeparator = platform::kPathSeparator;

bool FindLastSeparator(const QELString &path, uint32_t end, uint32_t *position) {
    for (uint32_t i = end; i > 0; --i) {
        if (path.at(i - 1) == kSeparator) {
            *position = i - 1;
            return true;
        }
    }
    return false;
}

QELString DecimalText(uint32_t value) {
    char digits[10];
    uint32_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    QELString text;
    while (count != 0)
        text.append(digits[--count]);
    return text;
}

// The parts of a name for unique naming: the stem and the extension from the last ".".
void SplitName(const QELString &name, QELString *stem, QELString *extension) {
    uint32_t dot;
    if (name.find(".", &dot, QELString::kAll, QELString::kAll, QELString::kBackward)) {
        *stem = name.substring(0, dot);
        *extension = name.substring(dot);
    } else {
        *stem = name;
        extension->clear();
    }
}

// The path up to and including its last separator ("" for a bare name).
QELString FolderPart(const QELString &path) {
    uint32_t position;
    if (!FindLastSeparator(path, path.length(), &position))
        return QELString();
    return path.substring(0, position + 1);
}

// Makes sure a folder exists, creating it and the folders above it when missing. A
// folder that another creator made at the same moment counts as existing.
bool EnsureFolder(const QELString &path) {
    if (path.isEmpty() || std::memchr(path.text(), 0, path.length()) != nullptr)
        return false;
    if (platform::GetItemKind(path.text(), true) == platform::ItemKind::Folder)
        return true;
    bool created;
    try {
        created = QELFolderSpecification(path).CreateFolder();
    } catch (const QELFileSystemItem::IsNotAFolder &) {
        return false;  // a file holds the name
    }
    return created || platform::GetItemKind(path.text(), true) == platform::ItemKind::Folder;
}

}  // namespace

const char *QELFileSystemItem::IsNotAFile::what() const noexcept { return "the path names a folder, not a file"; }

const char *QELFileSystemItem::IsNotAFolder::what() const noexcept { return "the path names a file, not a folder"; }

QELFileSystemItem::QELFileSystemItem(const QELString &path) : path_(path) {}

QELFileSystemItem::QELFileSystemItem(const QELFileSystemItem &other) : QELObject(), path_(other.path_) {}

QELFileSystemItem::QELFileSystemItem(const QELFileSystemItem &folder, const QELString &name)
    : path_(JoinPath(folder.GetPath(), name)) {}

QELFileSystemItem::~QELFileSystemItem() = default;

const char *QELFileSystemItem::SystemPath(const QELString &path) {
    if (path.isEmpty() || std::memchr(path.text(), 0, path.length()) != nullptr)
        return nullptr;
    return path.text();
}

QELString QELFileSystemItem::StrippedPath(const QELString &path) {
    uint32_t end = path.length();
    while (end > 1 && path.at(end - 1) == kSeparator)
        --end;
    return end == path.length() ? path : path.substring(0, end);
}

QELString QELFileSystemItem::ParentPath(const QELString &path) {
    if (path.isEmpty())
        return path;
    QELString stripped = StrippedPath(path);
    uint32_t position;
    if (!FindLastSeparator(stripped, stripped.length(), &position))
        return QELString(".");
    if (position == 0)
        return QELString(kSeparator);
    return stripped.substring(0, position);
}

QELString QELFileSystemItem::JoinPath(const QELString &folder, const QELString &name) {
    if (folder.isEmpty())
        return name;
    bool folderEnds = folder.at(folder.length() - 1) == kSeparator;
    bool nameBegins = !name.isEmpty() && name.at(0) == kSeparator;
    if (folderEnds && nameBegins)
        return folder.substring(0, folder.length() - 1) + name;
    if (!folderEnds && !nameBegins) {
        QELString joined(folder);
        joined.append(kSeparator);
        joined.append(name);
        return joined;
    }
    return folder + name;
}

bool QELFileSystemItem::IsFile() const {
    return platform::GetItemKind(SystemPath(StrippedPath(path_)), true) == platform::ItemKind::File;
}

bool QELFileSystemItem::IsFileAlt(uint32_t) const { return IsFile(); }

bool QELFileSystemItem::IsSpecialItem() const { return false; }

bool QELFileSystemItem::IsFolder() const {
    return platform::GetItemKind(SystemPath(StrippedPath(path_)), true) == platform::ItemKind::Folder;
}

QELOwned<QELFileSpecification> QELFileSystemItem::AsFile() const {
    return MakeOwned<QELFileSpecification>(path_);
}

QELOwned<QELFolderSpecification> QELFileSystemItem::AsFolder() const {
    return MakeOwned<QELFolderSpecification>(path_);
}

bool QELFileSystemItem::MoveTo(const QELFileSystemItem &target) const {
    if (target.Exists() || !Exists())
        return false;
    QELString targetFolder = ParentPath(target.path_);
    if (!platform::ItemExists(SystemPath(targetFolder)))
        return false;
    return platform::MoveItem(SystemPath(path_), SystemPath(target.path_));
}

QELString QELFileSystemItem::GetRealPath() const {
    char buffer[4096];
    const char *path = SystemPath(path_);
    if (path == nullptr || !platform::RealPath(path, buffer, sizeof buffer))
        return QELString();
    return QELString(buffer);
}

bool QELFileSystemItem::Contains(const QELString &realPath) const {
    QELString root = GetRealPath();
    if (root.isEmpty() || realPath.isEmpty())
        return false;
    if (realPath.equals(root))
        return true;
    if (!root.endsWith("/"))
        root.append('/');
    return realPath.startsWith(root);
}

bool QELFileSystemItem::MoveReplacing(const QELFileSystemItem &target) const {
    if (!Exists())
        return false;
    return platform::ReplaceItem(SystemPath(path_), SystemPath(target.path_));
}

bool QELFileSystemItem::Rename(const QELString &newName) const {
    if (!Exists())
        return false;
    QELString target = JoinPath(ParentPath(path_), newName);
    return platform::MoveItem(SystemPath(path_), SystemPath(target));
}

bool QELFileSystemItem::Delete() const { return false; }

QELFolderSpecification QELFileSystemItem::GetParent() const { return QELFolderSpecification(ParentPath(path_)); }

QELString QELFileSystemItem::GetPath() const {
    if (!path_.isEmpty() && path_.at(path_.length() - 1) != kSeparator && IsFolder()) {
        QELString path(path_);
        path.append(kSeparator);
        return path;
    }
    return path_;
}

QELString QELFileSystemItem::GetName() const {
    uint32_t position;
    if (!FindLastSeparator(path_, path_.length(), &position))
        return path_;
    return path_.substring(position + 1);
}

bool QELFileSystemItem::Exists() const { return platform::ItemExists(SystemPath(path_)); }

bool MakeUniqueName(QELFileSystemItem &item) {
    QELString name = item.GetName();
    if (name.isEmpty())
        return false;
    QELString stem, extension;
    SplitName(name, &stem, &extension);
    QELString folder = FolderPart(item.path_);
    for (uint32_t counter = 1; item.Exists(); ++counter) {
        if (counter == 0)
            return false;  // every counter taken
        item.path_ = folder + stem + DecimalText(counter) + extension;
    }
    return true;
}

bool CreateEmptyFile(const QELFileSystemItem &item) {
    if (item.Exists())
        return false;
    const char *path = QELFileSystemItem::SystemPath(item.path_);
    if (path == nullptr || !EnsureFolder(QELFileSystemItem::ParentPath(item.path_)))
        return false;
    // Exclusive: a name that appeared in the meantime is never opened or truncated.
    return platform::CreateNewFile(path, nullptr) == platform::CreateOutcome::Created;
}

bool CreateUniqueEmptyFile(QELFileSystemItem &item) {
    return CreateNewFileForItem(item, true, nullptr) == platform::CreateOutcome::Created;
}

platform::CreateOutcome CreateNewFileForItem(QELFileSystemItem &item, bool takeNextFreeName,
                                             platform::FileHandle *handle) {
    if (handle != nullptr)
        *handle = platform::kInvalidFileHandle;
    QELString name = item.GetName();
    if (name.isEmpty() || !EnsureFolder(QELFileSystemItem::ParentPath(item.path_)))
        return platform::CreateOutcome::Failed;
    QELString stem, extension;
    SplitName(name, &stem, &extension);
    QELString folder = FolderPart(item.path_);
    QELString candidate = item.path_;
    for (uint32_t counter = 0;;) {
        const char *path = QELFileSystemItem::SystemPath(candidate);
        if (path == nullptr)
            return platform::CreateOutcome::Failed;
        platform::CreateOutcome outcome = platform::CreateNewFile(path, handle);
        if (outcome == platform::CreateOutcome::Created)
            item.path_ = candidate;
        if (outcome != platform::CreateOutcome::NameTaken || !takeNextFreeName)
            return outcome;
        if (++counter == 0)
            return platform::CreateOutcome::Failed;  // every counter taken
        candidate = folder + stem + DecimalText(counter) + extension;
    }
}
