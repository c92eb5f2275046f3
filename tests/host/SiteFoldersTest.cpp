// SiteFoldersTest.cpp: ResolveFolderPath confined to the site root, page and data folders.
// Each test builds a site with links that stay inside, lead out and lead nowhere.
#include "ServiceCaller.h"
#include "TempFolder.h"

#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <set>

namespace velquor::host {
namespace {

namespace fs = std::filesystem;
using test::ServiceCaller;

const int32_t kRefused = static_cast<int32_t>(QEL_RESULT_NOT_AUTHORISED);
const int32_t kTooSmall = static_cast<int32_t>(QEL_ANSWER_BUFFER_TOO_SMALL);

class SiteFoldersTest : public ::testing::Test {
protected:
    SiteFoldersTest() : request(host, QEL_REQUEST_TAG), caller(request.context()) {
        site = scratch / "site";
        pages = site + "/pages";
        fs::create_directories(pages + "/inside");
        fs::create_directories(scratch / "outside");
        std::ofstream(pages + "/file.txt") << "x";
        fs::create_directory_symlink(scratch / "outside", pages + "/out");
        fs::create_directory_symlink(pages + "/inside", pages + "/alias");
        fs::create_directory_symlink(scratch / "missing", pages + "/dangling");
        host.folders().setSiteRoot(site);
        host.folders().setDataRoot(scratch / "data");
        request.setPageFolder(pages);
    }

    test::TempFolder scratch;
    std::string site;
    std::string pages;
    Host host;
    HostRequest request;
    ServiceCaller caller;
};

TEST_F(SiteFoldersTest, ResolvesPageRelativePaths) {
    struct Case {
        const char *path;
        std::string answer;
    } cases[] = {
        {"Attachments", "/pages/Attachments/"},
        {"Attachments/", "/pages/Attachments/"},
        {"./a//b/", "/pages/a/b/"},
        {"inside", "/pages/inside/"},
        {"alias/new", "/pages/inside/new/"},  // a link that stays inside, answered as its target
    };
    for (const Case &c : cases) {
        ServiceCaller::Output out = caller.inOut(QEL_SERVICE_RESOLVE_FOLDER_PATH, c.path, 0);
        EXPECT_EQ(out.answer, 0) << c.path;
        EXPECT_EQ(out.text, site + c.answer) << c.path;
    }
    EXPECT_FALSE(fs::exists(pages + "/Attachments")) << "resolving creates nothing";
}

TEST_F(SiteFoldersTest, RefusesPathsThatLeaveTheSite) {
    const char *escapes[] = {"..", "../pages", "a/../../x", "inside/../..", "/etc", "/tmp/x", "out", "out/deeper",
                             "dangling", "file.txt"};
    for (const char *path : escapes) {
        ServiceCaller::Output out = caller.inOut(QEL_SERVICE_RESOLVE_FOLDER_PATH, path, 0);
        EXPECT_EQ(out.answer, kRefused) << path;
    }
    // A page folder outside the site root resolves nothing.
    request.setPageFolder(scratch / "outside");
    EXPECT_EQ(caller.inOut(QEL_SERVICE_RESOLVE_FOLDER_PATH, "x", 0).answer, kRefused);
    Host bare;
    HostRequest unconfigured(bare, QEL_REQUEST_TAG);
    EXPECT_EQ(ServiceCaller(unconfigured.context()).inOut(QEL_SERVICE_RESOLVE_FOLDER_PATH, "x", 0).answer, kRefused);
}

TEST_F(SiteFoldersTest, RefusesFoldersWhosePagesWouldBecomeDownloads) {
    std::set<std::string> recorded;
    host.folders().setResolveObserver([&](const std::string &folder) {
        recorded.insert(folder);
        return true;
    });
    std::ofstream(pages + "/page.html") << "page";
    fs::create_directories(pages + "/shop/deep");
    std::ofstream(pages + "/shop/deep/offer.HTML") << "page";
    fs::create_directory_symlink(site, pages + "/root");
    fs::create_directory_symlink(pages, pages + "/self");
    const char *refused[] = {
        "", ".", "./", ".//.",  // the page folder itself
        "root",                 // the site root through a link
        "self",                 // the page folder through a link
        "shop",                 // a page below, at any depth
    };
    for (const char *path : refused) {
        EXPECT_EQ(caller.inOut(QEL_SERVICE_RESOLVE_FOLDER_PATH, path, 0).answer, kRefused) << '"' << path << '"';
    }
    // A root page's folder is the whole site.
    request.setPageFolder(site);
    EXPECT_EQ(caller.inOut(QEL_SERVICE_RESOLVE_FOLDER_PATH, ".", 0).answer, kRefused);
    EXPECT_EQ(caller.inOut(QEL_SERVICE_RESOLVE_FOLDER_PATH, "pages/inside", 0).answer, 0);
    EXPECT_EQ(recorded, std::set<std::string>{pages + "/inside/"}) << "only the answered folder is recorded";

    // A folder the observer could not record is refused.
    host.folders().setResolveObserver([](const std::string &) { return false; });
    EXPECT_EQ(caller.inOut(QEL_SERVICE_RESOLVE_FOLDER_PATH, "pages/inside", 0).answer, kRefused);
}

TEST_F(SiteFoldersTest, AFolderThatCannotBeExaminedOrCheckedIsRefused) {
    // A name too long for the system is an error, not a missing folder.
    EXPECT_EQ(caller.inOut(QEL_SERVICE_RESOLVE_FOLDER_PATH, std::string(300, 'x') + "/a", 0).answer, kRefused);
    // A folder with more entries than are checked for pages.
    fs::create_directories(pages + "/crowded");
    for (int i = 0; i <= 10000; ++i) {
        std::ofstream(pages + "/crowded/" + std::to_string(i) + ".txt");
    }
    EXPECT_EQ(caller.inOut(QEL_SERVICE_RESOLVE_FOLDER_PATH, "crowded", 0).answer, kRefused);
    fs::remove(pages + "/crowded/0.txt");
    EXPECT_EQ(caller.inOut(QEL_SERVICE_RESOLVE_FOLDER_PATH, "crowded", 0).answer, 0) << "10,000 entries are checked";
}

TEST(SiteFoldersPath, TellsWhetherAPathLiesWithinARoot) {
    struct Case {
        const char *root;
        const char *path;
        bool within;
    } cases[] = {
        {"/site", "/site", true},        {"/site", "/site/", true},      {"/site/", "/site", true},
        {"/site", "/site/a/b", true},    {"/site/", "/site/a", true},    {"/", "/anything", true},
        {"/", "/", true},                {"/site", "/sitex", false},     {"/site", "/sit", false},
        {"/site", "/", false},           {"/site/a", "/site", false},    {"", "/site", false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(SiteFolders::isWithin(c.root, c.path), c.within) << c.root << " " << c.path;
    }
    for (const char *name : {"a.html", "A.HTML", "x.Html"}) {
        EXPECT_TRUE(SiteFolders::isPageName(name)) << name;
    }
    for (const char *name : {"a.htm", "html", "a.html.txt", ".htm"}) {
        EXPECT_FALSE(SiteFolders::isPageName(name)) << name;
    }
}

TEST_F(SiteFoldersTest, SmallBufferGetsTheNeededSizeAndKeepsTheInput) {
    char buffer[12];
    std::strcpy(buffer, "Attachments");
    uint32_t size = sizeof buffer;
    std::string expected = site + "/pages/Attachments/";
    EXPECT_EQ(caller.page(QEL_SERVICE_RESOLVE_FOLDER_PATH, buffer, &size), kTooSmall);
    EXPECT_EQ(size, expected.size() + 1);
    EXPECT_STREQ(buffer, "Attachments");

    ServiceCaller::Output out = caller.inOut(QEL_SERVICE_RESOLVE_FOLDER_PATH, "Attachments", 0);
    EXPECT_EQ(out.calls, 2);
    EXPECT_EQ(out.text, expected);
}

TEST_F(SiteFoldersTest, PageFolderAndDataFolders) {
    EXPECT_EQ(caller.output(QEL_SERVICE_GET_PAGE_FOLDER_PATH, 256).text, pages + "/");

    ServiceCaller::Output out = caller.inOut(QEL_SERVICE_GET_DATA_FOLDER_PATH, "FM", 256);
    EXPECT_EQ(out.answer, 0);
    EXPECT_EQ(out.calls, 1);
    EXPECT_EQ(out.text, scratch / "data/FM/");
    EXPECT_TRUE(fs::is_directory(scratch / "data/FM"));
    EXPECT_EQ(caller.inOut(QEL_SERVICE_GET_DATA_FOLDER_PATH, "FM", 256).text, out.text) << "an existing folder";

    for (const char *bad : {"", "..", ".", "a/b", "../FM"}) {
        EXPECT_EQ(caller.inOut(QEL_SERVICE_GET_DATA_FOLDER_PATH, bad, 256).answer, kRefused) << bad;
    }
    EXPECT_FALSE(fs::exists(scratch / "FM"));
}

} // namespace
} // namespace velquor::host
