// RequestRouterTest.cpp: how targets map onto a real site folder: pages, files, folders,
// downloads, the action, the administration area, regions, and every way out of the site.
#include "host/lib/RequestRouter.h"

#include "TempFolder.h"
#include "host/lib/DownloadFolders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace velquor::host {
namespace {

class RequestRouterTest : public ::testing::Test {
protected:
    void SetUp() override {
        site_ = folder_ / "site";
        for (const char *file : {"index.html", "page.HTML", "style.css", "shop/index.html", "shop/deep/p.html",
                                 ".git/config", "uploads/x.html", "uploads/sub/y.txt", "evil.example/index.html"}) {
            write(site_ + "/" + file);
        }
        fs::create_directories(site_ + "/empty");
        write(folder_ / "outside/secret.txt");
        fs::create_symlink(folder_ / "outside", site_ + "/link-out");
        fs::create_symlink(site_ + "/shop", site_ + "/link-in");
        fs::create_symlink(folder_ / "outside/secret.txt", site_ + "/secret.html");
        downloads_.add(site_ + "/uploads");
        router_ = std::make_unique<RequestRouter>(site_, "/_velquor/", &downloads_);
        router_->setActionName("TestAction");
    }

    static void write(const std::string &path) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << "x";
    }

    test::TempFolder folder_;
    std::string site_;
    DownloadFolders downloads_;
    std::unique_ptr<RequestRouter> router_;
};

const char *kindName(Route::Kind kind) {
    switch (kind) {
    case Route::Kind::Page: return "Page";
    case Route::Kind::StaticFile: return "StaticFile";
    case Route::Kind::Download: return "Download";
    case Route::Kind::RedirectToFolder: return "Redirect";
    case Route::Kind::Action: return "Action";
    case Route::Kind::Admin: return "Admin";
    case Route::Kind::NotFound: return "NotFound";
    case Route::Kind::BadRequest: return "BadRequest";
    case Route::Kind::MethodNotAllowed: return "MethodNotAllowed";
    }
    return "?";
}

TEST_F(RequestRouterTest, RoutesTargetsOntoTheSite) {
    struct Case {
        const char *method;
        const char *target;
        const char *kind;
        const char *detail;  // the file relative to the site, a location, an admin path or allowed methods
        const char *region;
    };
    const Case cases[] = {
        {"GET", "/", "Page", "/index.html", "/"},
        {"HEAD", "/index.html?x=1", "Page", "/index.html", "/"},
        {"POST", "/index.html", "Page", "/index.html", "/"},
        {"GET", "/page.HTML", "Page", "/page.HTML", "/"},
        {"GET", "/style.css", "StaticFile", "/style.css", "/"},
        {"GET", "/st%79le.css", "StaticFile", "/style.css", "/"},
        {"GET", "/shop/", "Page", "/shop/index.html", "/shop/"},
        {"GET", "/shop//deep/p.html", "Page", "/shop/deep/p.html", "/shop/"},
        {"GET", "/link-in/deep/p.html", "Page", "/shop/deep/p.html", "/shop/"},
        {"GET", "/uploads/x.html", "Download", "/uploads/x.html", "/uploads/"},
        {"GET", "/uploads/sub/y.txt", "Download", "/uploads/sub/y.txt", "/uploads/"},
        {"GET", "/shop", "Redirect", "/shop/", ""},
        {"GET", "/shop?a=1", "Redirect", "/shop/?a=1", ""},
        {"GET", "//evil.example", "Redirect", "/evil.example/", ""},
        {"GET", "/_velquor", "Redirect", "/_velquor/", ""},
        {"GET", "/_velquor/region/shop/", "Admin", "region/shop/", ""},
        {"POST", "/TestAction", "Action", "/", "/"},
        {"POST", "/shop/deep/testaction", "Action", "/shop/deep/", "/shop/"},
        {"POST", "/style.css", "MethodNotAllowed", "GET, HEAD", ""},
        {"PUT", "/index.html", "MethodNotAllowed", "GET, HEAD, POST", ""},
        {"POST", "/uploads/x.html", "MethodNotAllowed", "GET, HEAD", ""},
        {"POST", "/missing/TestAction", "NotFound", "", ""},
        {"POST", "/style.css/TestAction", "NotFound", "", ""},
        {"GET", "/TestAction", "NotFound", "", ""},
        {"GET", "/empty/", "NotFound", "", ""},
        {"GET", "/missing", "NotFound", "", ""},
        {"GET", "/.git/config", "NotFound", "", ""},
        {"GET", "/%2Egit/config", "NotFound", "", ""},
        {"GET", "/link-out/secret.txt", "NotFound", "", ""},
        {"GET", "/secret.html", "NotFound", "", ""},
        {"GET", "/%2Foutside%2Fsecret.txt", "NotFound", "", ""},
        {"GET", "/../outside/secret.txt", "BadRequest", "", ""},
        {"GET", "/%2e%2e/outside/secret.txt", "BadRequest", "", ""},
        {"GET", "/shop/%2E%2E/%2E%2E/outside/secret.txt", "BadRequest", "", ""},
        {"GET", "/shop/..%2F..%2Foutside/secret.txt", "BadRequest", "", ""},
        {"GET", "/./index.html", "BadRequest", "", ""},
        {"GET", "/index.html%00.css", "BadRequest", "", ""},
        {"GET", "index.html", "BadRequest", "", ""},
        {"GET", "http://evil.example/", "BadRequest", "", ""},
    };
    for (const Case &test : cases) {
        Route route = router_->route(test.method, test.target);
        std::string where = std::string(test.method) + " " + test.target;
        EXPECT_STREQ(kindName(route.kind), test.kind) << where;
        std::string detail;
        switch (route.kind) {
        case Route::Kind::Page:
        case Route::Kind::StaticFile:
        case Route::Kind::Download:
            detail = route.file.substr(router_->siteRoot().size());
            EXPECT_EQ(route.folder, fs::path(route.file).parent_path().string() + "/") << where;
            break;
        case Route::Kind::Action:
            detail = route.folder.substr(router_->siteRoot().size());
            break;
        case Route::Kind::RedirectToFolder:
            detail = route.location;
            break;
        case Route::Kind::Admin:
            detail = route.adminPath;
            break;
        case Route::Kind::MethodNotAllowed:
            detail = route.allow;
            break;
        default:
            break;
        }
        EXPECT_EQ(detail, test.detail) << where;
        EXPECT_EQ(route.region, test.region) << where;
    }
    EXPECT_EQ(router_->route("POST", "/shop/deep/testaction").actionName, "testaction");
}

TEST_F(RequestRouterTest, ListsTheRootAndTheTopLevelFoldersAsRegions) {
    std::vector<std::string> expected = {"/", "/empty/", "/evil.example/", "/shop/", "/uploads/"};
    EXPECT_EQ(router_->regions(), expected);
    EXPECT_EQ(router_->regionFolder("/"), router_->siteRoot() + "/");
    EXPECT_EQ(router_->regionFolder("/shop/"), router_->siteRoot() + "/shop/");
    for (const char *region : {"/link-in/", "/link-out/", "/.git/", "/shop/deep/", "/nowhere/", "shop", ""}) {
        EXPECT_EQ(router_->regionFolder(region), "") << region;
    }
}

TEST_F(RequestRouterTest, RoutesNoActionBeforeTheModuleRegisteredOne) {
    RequestRouter router(site_, "/_velquor/", nullptr);
    EXPECT_EQ(router.route("POST", "/TestAction").kind, Route::Kind::NotFound);
    EXPECT_EQ(router.route("GET", "/uploads/x.html").kind, Route::Kind::Page);
    RequestRouter missing(folder_ / "nowhere", "/_velquor/", nullptr);
    EXPECT_EQ(missing.route("GET", "/").kind, Route::Kind::NotFound);
    EXPECT_TRUE(missing.regions().empty());
}

TEST(RequestRouterPath, SplitsAndDecodesPathComponents) {
    using Parts = std::vector<std::string>;
    EXPECT_EQ(RequestRouter::splitPath("/a/b%20c//d/"), (Parts{"a", "b c", "d"}));
    EXPECT_EQ(RequestRouter::splitPath("/a%2Fb"), (Parts{"a", "b"}));
    EXPECT_EQ(RequestRouter::splitPath("/"), Parts{});
    EXPECT_EQ(RequestRouter::splitPath("/a/%zz/..x"), (Parts{"a", "%zz", "..x"}));
    for (const char *refused : {"/..", "/a/../b", "/%2e%2E", "/.", "/a/%2e/b", "/a%00b"}) {
        EXPECT_FALSE(RequestRouter::splitPath(refused).has_value()) << refused;
    }
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

} // namespace
} // namespace velquor::host
