// FileSystemItemTest.cpp: items, folder and file specifications on a real disk, in a
// temporary folder: paths and names, kinds, moves, unique names, creation, deletion.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/FileSpecification.h"
#include "foundation/FileSystemItem.h"
#include "foundation/FolderSpecification.h"
#include "TemporaryFolder.h"

namespace {

QELString Q(const std::string &text) { return QELString(text.data(), static_cast<uint32_t>(text.size())); }
std::string S(const QELString &text) { return std::string(text.text(), text.length()); }

class FileSystemItemTest : public ::testing::Test {
protected:
    TemporaryFolder temp_;
    std::string At(const std::string &name) const { return temp_ / name; }
    void MakeFolder(const std::string &name) const { ASSERT_EQ(::mkdir(At(name).c_str(), 0700), 0) << name; }
    void MakeFile(const std::string &name, const std::string &bytes = "x") const { WriteWholeFile(At(name), bytes); }
};

// Changes the current folder for one test and restores it afterwards.
class CurrentFolder {
public:
    explicit CurrentFolder(const std::string &path) {
        char buffer[4096];
        saved_ = ::getcwd(buffer, sizeof buffer) != nullptr ? buffer : "/";
        if (::chdir(path.c_str()) != 0)
            throw std::runtime_error("chdir failed");
    }
    ~CurrentFolder() { (void)::chdir(saved_.c_str()); }

private:
    std::string saved_;
};

TEST_F(FileSystemItemTest, GetPathAddsTheSeparatorOnlyForAnExistingFolder) {
    MakeFolder("mail");
    MakeFile("note.txt");
    struct Case {
        std::string path, expected;
    } cases[] = {
        {At("mail"), At("mail") + "/"},
        {At("mail") + "/", At("mail") + "/"},
        {At("missing"), At("missing")},
        {At("note.txt"), At("note.txt")},
        {"", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(S(QELFileSystemItem(Q(c.path)).GetPath()), c.expected) << c.path;
}

TEST_F(FileSystemItemTest, GetNameIsTheTextAfterTheLastSeparator) {
    struct Case {
        const char *path, *name;
    } cases[] = {
        {"/var/mail/report.pdf", "report.pdf"}, {"/var/mail/", ""}, {"/x", "x"},
        {"report.pdf", "report.pdf"},           {"", ""},           {"a/b", "b"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(S(QELFileSystemItem(QELString(c.path)).GetName()), c.name) << c.path;
}

TEST_F(FileSystemItemTest, KindsAndExistence) {
    MakeFolder("dir");
    MakeFile("file");
    ASSERT_EQ(::symlink(At("nowhere").c_str(), At("dangling").c_str()), 0);
    struct Case {
        std::string path;
        bool file, folder, exists;
    } cases[] = {
        {At("dir"), false, true, true},
        {At("dir") + "//", false, true, true},
        {At("file"), true, false, true},
        {At("file") + "/", true, false, false},  // trailing separators are ignored by the kind tests only
        {At("missing"), false, false, false},
        {At("dangling"), false, false, true},    // the name is taken although it leads nowhere
        {"", false, false, false},
        {"/", false, true, true},
        {At("file") + std::string(1, '\0') + "x", false, false, false},  // a zero byte names nothing
    };
    for (const Case &c : cases) {
        QELFileSystemItem item(Q(c.path));
        EXPECT_EQ(item.IsFile(), c.file) << c.path;
        EXPECT_EQ(item.IsFileAlt(7), c.file) << c.path;
        EXPECT_EQ(item.IsFolder(), c.folder) << c.path;
        EXPECT_EQ(item.Exists(), c.exists) << c.path;
        EXPECT_FALSE(item.IsSpecialItem());
    }
}

TEST_F(FileSystemItemTest, ConstructionRefusesThePathOfTheOtherKind) {
    MakeFolder("dir");
    MakeFile("file");
    QELString dir = Q(At("dir")), file = Q(At("file"));
    QELFolderSpecification root(Q(temp_.path()));

    EXPECT_THROW(QELFileSpecification{dir}, QELFileSystemItem::IsNotAFile);
    EXPECT_THROW(QELFileSpecification(root, QELString("dir")), QELFileSystemItem::IsNotAFile);
    EXPECT_THROW(QELFileSpecification{QELFileSystemItem(dir)}, QELFileSystemItem::IsNotAFile);
    EXPECT_THROW(QELFileSystemItem(dir).AsFile(), QELFileSystemItem::IsNotAFile);
    EXPECT_THROW(QELFolderSpecification{file}, QELFileSystemItem::IsNotAFolder);
    EXPECT_THROW(QELFolderSpecification(root, QELString("file")), QELFileSystemItem::IsNotAFolder);
    EXPECT_THROW(QELFileSystemItem(file).AsFolder(), QELFileSystemItem::IsNotAFolder);
    // Both are module exceptions.
    EXPECT_THROW(QELFileSpecification{dir}, QELException);
    EXPECT_THROW(QELFolderSpecification{file}, QELException);

    // Paths of the right kind, and paths that do not exist yet, are accepted.
    EXPECT_NO_THROW(QELFileSpecification{file});
    EXPECT_NO_THROW(QELFolderSpecification{dir});
    EXPECT_NO_THROW(QELFileSpecification{Q(At("new"))});
    EXPECT_NO_THROW(QELFolderSpecification{Q(At("new"))});
    QELOwned<QELFileSpecification> asFile = QELFileSystemItem(file).AsFile();
    ASSERT_TRUE(asFile);
    EXPECT_EQ(S(asFile->path()), At("file"));
}

TEST_F(FileSystemItemTest, FolderAndNameAreJoinedByOneSeparator) {
    MakeFolder("mail");
    struct Case {
        std::string folder, name, expected;
    } cases[] = {
        {At("mail"), "a.txt", At("mail") + "/a.txt"},   // existing: GetPath ends with "/"
        {At("mail"), "/a.txt", At("mail") + "/a.txt"},  // the name's separator replaces the folder's
        {At("spool"), "a.txt", At("spool") + "/a.txt"}, // a folder that does not exist yet
        {At("spool"), "/a.txt", At("spool") + "/a.txt"},
        {"", "a.txt", "a.txt"},
    };
    for (const Case &c : cases) {
        QELFileSystemItem folder(Q(c.folder));
        EXPECT_EQ(S(QELFileSystemItem(folder, Q(c.name)).path()), c.expected) << c.folder << " + " << c.name;
    }
}

TEST_F(FileSystemItemTest, GetParentIsTheTextBeforeTheLastSeparator) {
    MakeFolder("a");
    MakeFolder("a/b");
    MakeFile("f");
    struct Case {
        std::string path, parent;
    } cases[] = {
        {At("a/b/c.txt"), At("a/b")},
        {At("a/b/"), At("a")},
        {"/x", "/"},
        {"report.pdf", "."},
    };
    for (const Case &c : cases)
        EXPECT_EQ(S(QELFileSystemItem(Q(c.path)).GetParent().path()), c.parent) << c.path;
    // The parent of an item inside a file is no folder.
    EXPECT_THROW(QELFileSystemItem(Q(At("f/inner"))).GetParent(), QELFileSystemItem::IsNotAFolder);
}

TEST_F(FileSystemItemTest, MakeUniqueNameCountsWithTheReceivedStem) {
    struct Case {
        std::vector<std::string> present;
        std::string name, expected;
    } cases[] = {
        {{}, "report.pdf", "report.pdf"},
        {{"report.pdf"}, "report.pdf", "report1.pdf"},
        {{"report.pdf", "report1.pdf"}, "report.pdf", "report2.pdf"},
        {{"a.txt", "a1.txt"}, "a.txt", "a2.txt"},
        {{"README"}, "README", "README1"},
        {{".profile"}, ".profile", "1.profile"},
        {{"x.tar.gz"}, "x.tar.gz", "x.tar1.gz"},
        {{"f", "f1", "f2", "f3", "f4", "f5", "f6", "f7", "f8", "f9"}, "f", "f10"},
    };
    int round = 0;
    for (const Case &c : cases) {
        std::string folder = "round" + std::to_string(round++);
        MakeFolder(folder);
        for (const std::string &name : c.present)
            MakeFile(folder + "/" + name);
        QELFileSystemItem item(Q(At(folder + "/" + c.name)));
        EXPECT_TRUE(MakeUniqueName(item)) << c.name;
        EXPECT_EQ(S(item.path()), At(folder + "/" + c.expected)) << c.name;
    }
    // A taken folder name counts like a file; an empty name cannot be made unique.
    MakeFolder("taken");
    QELFileSystemItem folderItem(Q(At("taken")));
    EXPECT_TRUE(MakeUniqueName(folderItem));
    EXPECT_EQ(S(folderItem.path()), At("taken1"));
    QELFileSystemItem unnamed(Q(temp_.path() + "/"));
    EXPECT_FALSE(MakeUniqueName(unnamed));
    EXPECT_EQ(S(unnamed.path()), temp_.path() + "/");
}

TEST_F(FileSystemItemTest, MakeUniqueNameWorksForABareNameInTheCurrentFolder) {
    MakeFile("report.pdf");
    CurrentFolder here(temp_.path());
    QELFileSystemItem item(QELString("report.pdf"));
    EXPECT_TRUE(MakeUniqueName(item));
    EXPECT_EQ(S(item.path()), "report1.pdf");
}

TEST_F(FileSystemItemTest, CreateEmptyFileCreatesFoldersAndNeverTouchesAnExistingName) {
    QELFileSystemItem nested(Q(At("x/y/z.txt")));
    EXPECT_TRUE(CreateEmptyFile(nested));
    EXPECT_TRUE(IsDirectory(At("x/y")));
    EXPECT_EQ(ReadWholeFile(At("x/y/z.txt")), "");

    MakeFile("kept.txt", "contents");
    EXPECT_FALSE(CreateEmptyFile(QELFileSystemItem(Q(At("kept.txt")))));
    EXPECT_EQ(ReadWholeFile(At("kept.txt")), "contents");

    // A symbolic link is never followed: its target is not created.
    ASSERT_EQ(::symlink(At("target").c_str(), At("link").c_str()), 0);
    EXPECT_FALSE(CreateEmptyFile(QELFileSystemItem(Q(At("link")))));
    EXPECT_FALSE(PathExists(At("target")));

    // A file where the folder should be.
    MakeFile("plain");
    EXPECT_FALSE(CreateEmptyFile(QELFileSystemItem(Q(At("plain/inner.txt")))));
}

TEST_F(FileSystemItemTest, CreateUniqueEmptyFileTakesTheNextFreeName) {
    MakeFile("a.txt", "first");
    MakeFile("a1.txt", "second");
    QELFileSystemItem item(Q(At("a.txt")));
    EXPECT_TRUE(CreateUniqueEmptyFile(item));
    EXPECT_EQ(S(item.path()), At("a2.txt"));
    EXPECT_EQ(ReadWholeFile(At("a2.txt")), "");
    EXPECT_EQ(ReadWholeFile(At("a.txt")), "first");
    EXPECT_EQ(ReadWholeFile(At("a1.txt")), "second");

    QELFileSystemItem fresh(Q(At("new/b.txt")));
    EXPECT_TRUE(CreateUniqueEmptyFile(fresh));
    EXPECT_EQ(S(fresh.path()), At("new/b.txt"));
    EXPECT_TRUE(PathExists(At("new/b.txt")));
}

TEST_F(FileSystemItemTest, MoveToNeverReplacesAndMovesNothingOnFailure) {
    MakeFile("source", "S");
    MakeFile("target", "T");
    QELFileSystemItem source(Q(At("source")));
    EXPECT_FALSE(source.MoveTo(QELFileSystemItem(Q(At("target")))));
    EXPECT_EQ(ReadWholeFile(At("source")), "S");
    EXPECT_EQ(ReadWholeFile(At("target")), "T");

    // The target's folder must exist; the source must exist.
    EXPECT_FALSE(source.MoveTo(QELFileSystemItem(Q(At("nofolder/target")))));
    EXPECT_TRUE(PathExists(At("source")));
    EXPECT_FALSE(QELFileSystemItem(Q(At("missing"))).MoveTo(QELFileSystemItem(Q(At("elsewhere")))));

    MakeFolder("sub");
    EXPECT_TRUE(source.MoveTo(QELFileSystemItem(Q(At("sub/moved")))));
    EXPECT_FALSE(PathExists(At("source")));
    EXPECT_EQ(ReadWholeFile(At("sub/moved")), "S");
    EXPECT_EQ(S(source.path()), At("source"));  // the item keeps its text

    // Folders move too.
    MakeFolder("tree");
    MakeFile("tree/leaf", "L");
    EXPECT_TRUE(QELFolderSpecification(Q(At("tree"))).MoveTo(QELFileSystemItem(Q(At("sub/tree")))));
    EXPECT_EQ(ReadWholeFile(At("sub/tree/leaf")), "L");
}

TEST_F(FileSystemItemTest, MoveToAnotherFileSystemCopiesAFile) {
    struct stat tmp, shm;
    if (::stat("/dev/shm", &shm) != 0 || ::stat(temp_.path().c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    TemporaryFolder other("/dev/shm");
    std::string bytes(100000, 'q');
    WriteWholeFile(other / "file", bytes);
    EXPECT_TRUE(QELFileSystemItem(Q(other / "file")).MoveTo(QELFileSystemItem(Q(At("moved")))));
    EXPECT_EQ(ReadWholeFile(At("moved")), bytes);
    EXPECT_FALSE(PathExists(other / "file"));

    // Onto an existing name: nothing moves. A folder cannot change file systems.
    WriteWholeFile(other / "file2", "new");
    EXPECT_FALSE(QELFileSystemItem(Q(other / "file2")).MoveTo(QELFileSystemItem(Q(At("moved")))));
    EXPECT_EQ(ReadWholeFile(At("moved")), bytes);
    ASSERT_EQ(::mkdir((other / "dir").c_str(), 0700), 0);
    EXPECT_FALSE(QELFolderSpecification(Q(other / "dir")).MoveTo(QELFileSystemItem(Q(At("dir")))));
    EXPECT_TRUE(IsDirectory(other / "dir"));
    EXPECT_FALSE(PathExists(At("dir")));
}

TEST_F(FileSystemItemTest, RenameStaysInTheFolderAndNeverReplaces) {
    MakeFolder("dir");
    MakeFile("dir/old", "O");
    MakeFile("dir/busy", "B");
    QELFileSystemItem item(Q(At("dir/old")));
    EXPECT_FALSE(item.Rename(QELString("busy")));
    EXPECT_EQ(ReadWholeFile(At("dir/busy")), "B");
    EXPECT_TRUE(item.Rename(QELString("new")));
    EXPECT_EQ(ReadWholeFile(At("dir/new")), "O");
    EXPECT_FALSE(PathExists(At("dir/old")));
    EXPECT_FALSE(item.Rename(QELString("again")));  // the old name is gone
    // A folder given with a trailing separator is renamed, not moved into itself.
    EXPECT_TRUE(QELFolderSpecification(Q(At("dir/"))).Rename(QELString("dir2")));
    EXPECT_TRUE(IsDirectory(At("dir2")));
}

TEST_F(FileSystemItemTest, DeleteDependsOnTheKind) {
    MakeFile("file");
    EXPECT_FALSE(QELFileSystemItem(Q(At("file"))).Delete());
    EXPECT_TRUE(PathExists(At("file")));
    EXPECT_TRUE(QELFileSpecification(Q(At("file"))).Delete());
    EXPECT_FALSE(PathExists(At("file")));
    EXPECT_FALSE(QELFileSpecification(Q(At("file"))).Delete());
}

TEST_F(FileSystemItemTest, FolderDeleteRemovesEverythingInsideButNeverFollowsLinks) {
    MakeFolder("outside");
    MakeFile("outside/precious", "P");
    MakeFolder("tree");
    MakeFile("tree/a", "1");
    MakeFile("tree/b", "2");
    MakeFolder("tree/sub");
    MakeFile("tree/sub/c", "3");
    MakeFolder("tree/sub/deeper");
    MakeFolder("tree/empty");
    ASSERT_EQ(::symlink(At("outside").c_str(), At("tree/sub/link").c_str()), 0);
    ASSERT_EQ(::symlink(At("nowhere").c_str(), At("tree/dangling").c_str()), 0);

    EXPECT_TRUE(QELFolderSpecification(Q(At("tree"))).Delete());
    EXPECT_FALSE(PathExists(At("tree")));
    EXPECT_EQ(ReadWholeFile(At("outside/precious")), "P");
    EXPECT_FALSE(QELFolderSpecification(Q(At("tree"))).Delete());
}

TEST_F(FileSystemItemTest, CreateFolderBuildsTheWholeChain) {
    QELFolderSpecification deep(Q(At("a/b/c")));
    EXPECT_TRUE(deep.CreateFolder());
    EXPECT_TRUE(IsDirectory(At("a/b/c")));
    EXPECT_FALSE(deep.CreateFolder());  // exists already

    EXPECT_TRUE(QELFolderSpecification(Q(At("d//e/"))).CreateFolder());
    EXPECT_TRUE(IsDirectory(At("d/e")));

    MakeFile("file");
    EXPECT_FALSE(QELFolderSpecification(Q(At("file/x/y"))).CreateFolder());
    EXPECT_FALSE(QELFolderSpecification(QELString("")).CreateFolder());
}

TEST_F(FileSystemItemTest, CreateFolderCreatesEveryComponentOfARelativePath) {
    CurrentFolder here(temp_.path());
    EXPECT_TRUE(QELFolderSpecification(QELString("r1/r2/r3")).CreateFolder());
    EXPECT_TRUE(IsDirectory(At("r1/r2/r3")));
    EXPECT_TRUE(QELFolderSpecification(QELString("single")).CreateFolder());
    EXPECT_TRUE(IsDirectory(At("single")));
}

std::vector<std::string> Names(const QELFileSystemItemList &list) {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < list.count(); ++i)
        names.push_back(S(list.item(i)->path()));
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(FileSystemItemTest, ListItemsYieldsEveryEntryButTheDotEntries) {
    MakeFolder("dir");
    MakeFile("dir/one");
    MakeFile("dir/.hidden");
    MakeFolder("dir/sub");
    QELFileSystemItemList list;
    EXPECT_TRUE(QELFolderSpecification(Q(At("dir"))).ListItems(list));
    std::vector<std::string> expected = {At("dir/.hidden"), At("dir/one"), At("dir/sub")};
    EXPECT_EQ(Names(list), expected);

    // A predicate sees the entry's name and kind.
    QELFileSystemItemList folders;
    auto onlyFolders = [](const platform::FolderEntry &entry, void *context) {
        ++*static_cast<int *>(context);
        return entry.kind == platform::ItemKind::Folder;
    };
    int asked = 0;
    EXPECT_TRUE(QELFolderSpecification(Q(At("dir/"))).ListItems(folders, onlyFolders, &asked));
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(Names(folders), std::vector<std::string>{At("dir/sub")});

    QELFileSystemItemList none;
    EXPECT_FALSE(QELFolderSpecification(Q(At("missing"))).ListItems(none));
    EXPECT_EQ(none.count(), 0u);
    QELFileSystemItemList empty;
    MakeFolder("empty");
    EXPECT_TRUE(QELFolderSpecification(Q(At("empty"))).ListItems(empty));
    EXPECT_EQ(empty.count(), 0u);
}

TEST_F(FileSystemItemTest, FileSizeComesFromTheDisk) {
    MakeFile("five", "12345");
    EXPECT_EQ(QELFileSpecification(Q(At("five"))).GetSize(), 5u);
    EXPECT_EQ(QELFileSpecification(Q(At("missing"))).GetSize(), 0u);
}

}  // namespace
