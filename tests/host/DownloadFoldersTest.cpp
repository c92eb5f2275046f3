// DownloadFoldersTest.cpp: the recorded attachment folders across a reopen, and memory
// that follows the SQLite file when the file refuses a change or cannot be read.
#include "host/lib/DownloadFolders.h"

#include "TempFolder.h"
#include "host/lib/PreferenceStore.h"
#include "host/lib/SqliteConnection.h"

#include <gtest/gtest.h>

#include <functional>

namespace velquor::host {
namespace {

// Runs SQL on the file through a connection of its own (the stores keep theirs open).
void execute(const std::string &file, const std::string &sql) {
    SqliteConnection connection;
    std::string error;
    ASSERT_TRUE(connection.open(file, 1000, &error)) << error;
    ASSERT_TRUE(connection.execute(sql, &error)) << error;
}

TEST(DownloadFolders, KeepsFoldersAcrossAReopenAndMatchesEveryDepth) {
    test::TempFolder folder;
    std::string file = folder / "store.sqlite";
    std::string error;
    {
        std::unique_ptr<DownloadFolders> folders = DownloadFolders::openFile(file, &error);
        ASSERT_NE(folders, nullptr) << error;
        EXPECT_TRUE(folders->add("/site/uploads"));
        EXPECT_TRUE(folders->add("/site/other/"));
        EXPECT_TRUE(folders->remove("/site/other"));
        EXPECT_FALSE(folders->remove("/site/never/"));
    }
    std::unique_ptr<DownloadFolders> folders = DownloadFolders::openFile(file, &error);
    ASSERT_NE(folders, nullptr) << error;
    EXPECT_EQ(folders->list(), (std::set<std::string>{"/site/uploads/"}));
    EXPECT_TRUE(folders->contains("/site/uploads/a.html"));
    EXPECT_TRUE(folders->contains("/site/uploads/deep/b.html"));
    EXPECT_FALSE(folders->contains("/site/uploads2/a.html"));
    EXPECT_FALSE(folders->contains("/site/a.html"));
    EXPECT_FALSE(folders->contains("/site/other/a.html"));
}

TEST(DownloadFolders, MemoryFollowsTheFileWhenItRefusesAChange) {
    test::TempFolder folder;
    std::string file = folder / "store.sqlite";
    std::string error;
    std::unique_ptr<DownloadFolders> folders = DownloadFolders::openFile(file, &error);
    ASSERT_NE(folders, nullptr) << error;
    ASSERT_TRUE(folders->add("/site/kept/"));
    // From now on the file refuses every change of the table.
    ASSERT_NO_FATAL_FAILURE(execute(file, "CREATE TRIGGER refuseAdd BEFORE INSERT ON velquor_download_folders "
                                          "BEGIN SELECT RAISE(ABORT, 'refused'); END;"
                                          "CREATE TRIGGER refuseRemove BEFORE DELETE ON velquor_download_folders "
                                          "BEGIN SELECT RAISE(ABORT, 'refused'); END;"));
    EXPECT_FALSE(folders->add("/site/new/"));
    EXPECT_FALSE(folders->contains("/site/new/a.html")) << "a folder the file refused is not served as downloads";
    EXPECT_FALSE(folders->remove("/site/kept"));
    EXPECT_TRUE(folders->contains("/site/kept/a.html")) << "a folder the file still holds stays recorded";
    EXPECT_EQ(folders->list(), (std::set<std::string>{"/site/kept/"}));
}

TEST(DownloadFolders, AFileThatCannotBeReadWholeIsNotTakenAsEmpty) {
    // A table in the file that fails on its second row: the stores must not start with the
    // first row only (or none), which would serve attachments as pages or forget choices.
    struct Case {
        const char *table;
        std::function<bool(const std::string &, std::string *)> open;
    };
    const Case cases[] = {
        {"velquor_download_folders",
         [](const std::string &file, std::string *error) { return DownloadFolders::openFile(file, error) != nullptr; }},
        {"velquor_preferences",
         [](const std::string &file, std::string *error) { return PreferenceStore::openFile(file, error) != nullptr; }},
    };
    for (const Case &test : cases) {
        test::TempFolder folder;
        std::string file = folder / "store.sqlite";
        ASSERT_NO_FATAL_FAILURE(execute(
            file, std::string("CREATE VIEW ") + test.table +
                      " AS SELECT '/a/' AS folder, 'r' AS region, 'f' AS folded, 'n' AS name, 'v' AS value "
                      "UNION ALL SELECT abs(-9223372036854775807 - 1), 'r', 'g', 'n', 'v'"));
        std::string error;
        EXPECT_FALSE(test.open(file, &error)) << test.table;
        EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
    }
}

} // namespace
} // namespace velquor::host
