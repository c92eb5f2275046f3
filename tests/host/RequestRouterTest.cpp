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
        {"GET", "/shop/deep/../../..", "BadRequest", "", ""},
        {"GET", "/index.html%00.css", "BadRequest", "", ""},
        // Dot segments that stay inside the site are resolved as web servers do.
        {"GET", "/./index.html", "Page", "/index.html", "/"},
        {"GET", "/shop/./deep/../index.html", "Page", "/shop/index.html", "/shop/"},
        {"GET", "/shop/%2e%2E/style.css", "StaticFile", "/style.css", "/"},
        {"GET", "/missing/../style.css", "StaticFile", "/style.css", "/"},
        {"GET", "/shop/deep/..", "Page", "/shop/index.html", "/shop/"},
        {"GET", "/shop/.", "Page", "/shop/index.html", "/shop/"},
        {"GET", "/shop/..", "Page", "/index.html", "/"},
        {"GET", "/shop/deep/./", "NotFound", "", ""},
        {"GET", "/link-in/../link-out/secret.txt", "NotFound", "", ""},
        {"GET", "/shop/../.git/config", "NotFound", "", ""},
        {"GET", "/shop/../_velquor/region/?a=1", "Admin", "region/", ""},
        {"GET", "/shop/../_velquor", "Redirect", "/_velquor/", ""},
        {"GET", "/_velquor/../style.css", "StaticFile", "/style.css", "/"},
        {"POST", "/shop/deep/../TestAction", "Action", "/shop/", "/shop/"},
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

TEST(RequestRouterPath, SplitsDecodesAndResolvesDotSegments) {
    struct Case {
        const char *raw;
        std::vector<std::string> components;
        const char *text;
    };
    const Case cases[] = {
        {"/a/b%20c//d/", {"a", "b c", "d"}, "/a/b c/d/"},
        {"/a%2Fb", {"a", "b"}, "/a/b"},
        {"/", {}, "/"},
        {"/a/%zz/..x", {"a", "%zz", "..x"}, "/a/%zz/..x"},
        {"/a/../b", {"b"}, "/b"},
        {"/a/./b/.", {"a", "b"}, "/a/b/"},
        {"/a/%2e%2E/b/..", {}, "/"},
        {"/a/b/..", {"a"}, "/a/"},
        {"/.", {}, "/"},
    };
    for (const Case &test : cases) {
        std::optional<RequestPath> path = RequestRouter::splitPath(test.raw);
        ASSERT_TRUE(path.has_value()) << test.raw;
        EXPECT_EQ(path->components, test.components) << test.raw;
        EXPECT_EQ(path->text(), test.text) << test.raw;
    }
    for (const char *refused : {"/..", "/a/../..", "/%2e%2E", "/a/%2e%2e/%2e%2e/b", "/a%00b"}) {
        EXPECT_FALSE(RequestRouter::splitPath(refused).has_value()) << refused;
    }
}

} // namespace
} // namespace velquor::host
