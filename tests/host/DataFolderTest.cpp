// DataFolderTest.cpp: the data folder made private and its files 0600 (its lock is shown
// by the end-to-end test with a second velquor-host).
#include "host/lib/DataFolder.h"

#include "TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace velquor::host {
namespace {

unsigned modeOf(const std::string &path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? static_cast<unsigned>(status.st_mode & 07777) : 0;
}

TEST(DataFolder, MakesTheFolderAndItsFilesPrivate) {
    test::TempFolder scratch;
    struct Case {
        std::string folder;
        bool exists;
    };
    const Case cases[] = {{scratch / "new/data", false}, {scratch / "open", true}};
    for (const Case &test : cases) {
        if (test.exists) {
            fs::create_directories(test.folder);
            fs::permissions(test.folder, fs::perms(0755));
            std::ofstream(test.folder + "/velquor.sqlite") << "";
            fs::permissions(test.folder + "/velquor.sqlite", fs::perms(0644));
        }
        std::string error;
        std::unique_ptr<DataFolder> data = DataFolder::open(test.folder + "/", &error);
        ASSERT_NE(data, nullptr) << error;
        EXPECT_EQ(data->path(), test.folder);
        EXPECT_EQ(modeOf(test.folder), 0700u) << test.folder;
        std::string file;
        ASSERT_TRUE(data->privateFile("velquor.sqlite", &file, &error)) << error;
        EXPECT_EQ(file, test.folder + "/velquor.sqlite");
        EXPECT_EQ(modeOf(file), 0600u) << file;
        EXPECT_EQ(modeOf(test.folder + "/" + DataFolder::kLockName), 0600u);
    }
}

TEST(DataFolder, RefusesWhatCannotBeAPrivateFolder) {
    test::TempFolder scratch;
    std::ofstream(scratch / "file") << "x";
    fs::create_directories(scratch / "shared");
    fs::permissions(scratch / "shared", fs::perms(01777));
    fs::create_directories(scratch / "data/velquor.log");
    struct Case {
        std::string folder;
        std::string error;
    };
    const Case cases[] = {
        {scratch / "file", "the data folder " + (scratch / "file") + " is not a folder that can be opened"},
        {scratch / "shared", "the data folder " + (scratch / "shared") + " is a shared folder (sticky bit)"},
    };
    for (const Case &test : cases) {
        std::string error;
        EXPECT_EQ(DataFolder::open(test.folder, &error), nullptr) << test.folder;
        EXPECT_EQ(error.find(test.error), 0u) << error;
    }
    std::string error;
    std::unique_ptr<DataFolder> data = DataFolder::open(scratch / "data", &error);
    ASSERT_NE(data, nullptr) << error;
    std::string file;
    EXPECT_FALSE(data->privateFile("velquor.log", &file, &error));
    EXPECT_NE(error.find("velquor.log"), std::string::npos) << error;
}

} // namespace
} // namespace velquor::host
