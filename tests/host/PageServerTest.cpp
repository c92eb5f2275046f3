// PageServerTest.cpp: the page server in process with the test module, for what a test
// over loopback cannot show: clients from other addresses (actions, the administration
// area), passwords, cross-site posts, and the lifecycle gates around 'MIni' and 'MTrm'.
#include "host/lib/PageServer.h"

#include "TempFolder.h"
#include "host/lib/DownloadFolders.h"
#include "host/lib/Host.h"
#include "host/lib/ModuleLoader.h"
#include "host/lib/PreferenceStore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace fs = std::filesystem;

namespace velquor::host {
namespace {

const char kStranger[] = "198.51.100.7";
const char kOwnAddress[] = "192.0.2.10";

class PageServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char *module = std::getenv("VELQUOR_TEST_MODULE");
        if (module == nullptr || !fs::exists(module)) {
            GTEST_SKIP() << "VELQUOR_TEST_MODULE names no built test module";
        }
        ASSERT_TRUE(loader_.load(module)) << loader_.error();
        std::string site = folder_ / "site";
        fs::create_directories(site + "/shop");
        std::ofstream(site + "/index.html") << "<testCheap/>";
        std::ofstream(site + "/style.css") << "body{}";
        host_.folders().setSiteRoot(site);
        host_.folders().setDataRoot(folder_ / "data");
        host_.setLogSink([this](const std::string &line) {
            std::lock_guard<std::mutex> lock(logMutex_);
            log_ += line + "\n";
        });
    }

    void TearDown() override {
        if (server_ != nullptr) {
            server_->terminate();
        }
    }

    void makeServer(PageServer::Settings settings = {}, bool initialise = true) {
        HostIdentity identity("127.0.0.1", 8080, {}, {"box"}, {"127.0.0.1", "::1", kOwnAddress});
        server_.reset();
        server_ = std::make_unique<PageServer>(host_, loader_.entry(), identity, std::make_shared<DownloadFolders>(),
                                               settings);
        if (initialise) {
            ASSERT_EQ(server_->initialise(), 0);
        }
    }

    static WebRequest request(const std::string &method, const std::string &target, const std::string &remote,
                              NameValueList headers = {}, NameValueList fields = {}) {
        WebRequest request;
        request.method = method;
        request.target = target;
        request.remoteAddress = remote;
        bool hasHost = false;
        for (const auto &header : headers) {
            hasHost = hasHost || header.first == "Host";
        }
        if (!hasHost) {
            headers.emplace_back("Host", "127.0.0.1:8080");
        }
        request.headers = std::move(headers);
        request.bodyFields = std::move(fields);
        return request;
    }

    WebResponse send(const std::string &method, const std::string &target, const std::string &remote,
                     NameValueList headers = {}, NameValueList fields = {}) {
        return server_->handle(request(method, target, remote, std::move(headers), std::move(fields)));
    }

    std::string log() {
        std::lock_guard<std::mutex> lock(logMutex_);
        return log_;
    }

    test::TempFolder folder_;
    ModuleLoader loader_;
    Host host_;
    std::unique_ptr<PageServer> server_;
    std::mutex logMutex_;
    std::string log_;
};

TEST_F(PageServerTest, TakesActionPostsOnlyFromThisMachineByDefault) {
    makeServer();
    struct Case {
        const char *remote;
        int status;
    };
    const Case cases[] = {{"127.0.0.1", 200},    {"::1", 200},        {"::ffff:127.0.0.1", 200}, {kOwnAddress, 200},
                          {kStranger, 403},      {"::ffff:198.51.100.7", 403}, {"2001:db8::7", 403}};
    for (const Case &test : cases) {
        WebResponse response = send("POST", "/shop/TestAction", test.remote, {}, {{"Status", test.remote}});
        EXPECT_EQ(response.status, test.status) << test.remote;
        bool reached = log().find("test action action=TestAction;MessageID=[];Status=[" + std::string(test.remote) +
                                  "]") != std::string::npos;
        EXPECT_EQ(reached, test.status == 200) << test.remote;
    }
    EXPECT_NE(log().find("action post from 198.51.100.7 to /shop/TestAction refused"), std::string::npos);
    // Behind a reverse proxy on this machine, the client is the one the proxy names.
    EXPECT_EQ(send("POST", "/TestAction", "127.0.0.1", {{"X-Forwarded-For", kStranger}}).status, 403);
    EXPECT_EQ(send("POST", "/TestAction", "127.0.0.1", {{"X-Forwarded-For", "127.0.0.1"}}).status, 200);
    // A proxy that adds a line of its own names the client in its last value.
    EXPECT_EQ(send("POST", "/TestAction", "127.0.0.1", {{"X-Forwarded-For", "127.0.0.1"}, {"X-Forwarded-For", kStranger}})
                  .status,
              403);

    server_->terminate();
    PageServer::Settings open;
    open.remoteActions = true;
    makeServer(open);
    EXPECT_EQ(send("POST", "/TestAction", kStranger).status, 200);
}

TEST_F(PageServerTest, LetsOnlyLoopbackClientsIntoTheAdministrationAreaWithoutAPassword) {
    makeServer();
    EXPECT_EQ(send("GET", "/_velquor/", "127.0.0.1").status, 200);
    EXPECT_EQ(send("GET", "/_velquor/region/shop/", "::1").status, 200);
    EXPECT_EQ(send("GET", "/_velquor/", kOwnAddress).status, 403);
    EXPECT_EQ(send("GET", "/_velquor/", kStranger).status, 403);
    EXPECT_EQ(send("GET", "/_velquor/", "127.0.0.1", {{"X-Forwarded-For", kStranger}}).status, 403);
    EXPECT_EQ(send("GET", "/_velquor/", "127.0.0.1", {{"X-Forwarded-For", "::1"}, {"x-forwarded-for", kStranger}}).status,
              403);
    // A foreign name that resolves to this machine (DNS rebinding) reaches nothing.
    EXPECT_EQ(send("GET", "/_velquor/", "127.0.0.1", {{"Host", "evil.example:8080"}}).status, 403);
    EXPECT_EQ(send("GET", "/_velquor/nothing", "127.0.0.1").status, 404);
    EXPECT_EQ(send("PUT", "/_velquor/region/", "127.0.0.1").status, 405);
}

TEST_F(PageServerTest, NeverLetsTheIncludeTagIntoTheAdministrationAreaOrTheAction) {
    makeServer();
    // What an include redirected here by a hostile server would send.
    struct Case {
        const char *method;
        const char *target;
        const char *agent;
    };
    const Case cases[] = {{"GET", "/_velquor/", "qelIncludeHTTP/2.1.10 (QEL 2.1; Linux)"},
                          {"POST", "/_velquor/region/", "qelIncludeHTTP/2.1.10 (QEL 2.1; Linux)"},
                          {"GET", "/_velquor/region/shop/", "QELINCLUDEHTTP/9"},
                          {"POST", "/shop/TestAction", "qelIncludeHTTP/2.1.10 (QEL 2.1; Linux)"}};
    for (const Case &test : cases) {
        NameValueList headers = {{"User-Agent", "browser"}, {"User-Agent", test.agent}, {"Referer", "http://127.0.0.1:8080/"}};
        WebResponse response = send(test.method, test.target, "127.0.0.1", headers, {{"greeting", "Hacked"}});
        EXPECT_EQ(response.status, 403) << test.target;
    }
    EXPECT_EQ(host_.preferences().get("/", "greeting"), std::nullopt);
    EXPECT_EQ(log().find("test action"), std::string::npos) << log();
    EXPECT_NE(log().find("include request for the administration area /_velquor/region/ refused"), std::string::npos);
    // Pages are still included.
    EXPECT_EQ(send("GET", "/", "127.0.0.1", {{"User-Agent", "qelIncludeHTTP/2.1.10"}}).body, "ok");
}

TEST_F(PageServerTest, ScreensRequestsBeforeTheirBodiesAreRead) {
    makeServer();
    struct Case {
        const char *method;
        const char *target;
        const char *remote;
        const char *agent;
        int status;  // 0: the body is wanted
    };
    const Case cases[] = {
        {"POST", "/index.html", "127.0.0.1", "browser", 0},
        {"POST", "/_velquor/region/", "127.0.0.1", "browser", 0},
        {"POST", "/shop/TestAction", "127.0.0.1", "browser", 0},
        {"POST", "/missing.html", "127.0.0.1", "browser", 404},
        {"POST", "/missing/TestAction", "127.0.0.1", "browser", 404},
        {"POST", "/style.css", "127.0.0.1", "browser", 405},
        {"PUT", "/index.html", "127.0.0.1", "browser", 405},
        {"POST", "/TestAction", kStranger, "browser", 403},
        {"POST", "/_velquor/region/", "127.0.0.1", "qelIncludeHTTP/2.1.10", 403},
    };
    for (const Case &test : cases) {
        std::optional<WebResponse> early =
            server_->screen(request(test.method, test.target, test.remote, {{"User-Agent", test.agent}}));
        EXPECT_EQ(early ? early->status : 0, test.status) << test.method << " " << test.target;
    }
    EXPECT_EQ(log().find("test action"), std::string::npos);
}

TEST_F(PageServerTest, AsksEveryClientForThePasswordWhenOneIsSet) {
    PageServer::Settings settings;
    settings.adminPassword = "s3cret";
    makeServer(settings);
    struct Case {
        const char *remote;
        const char *authorization;  // "" for none
        int status;
    };
    // "admin:s3cret", "admin:wrong", "root:s3cret", "admin:s3cret2"
    const Case cases[] = {
        {kStranger, "", 401},
        {"127.0.0.1", "", 401},
        {kStranger, "Basic YWRtaW46czNjcmV0", 200},
        {kStranger, "basic   YWRtaW46czNjcmV0", 200},
        {kStranger, "Basic YWRtaW46d3Jvbmc=", 401},
        {kStranger, "Basic cm9vdDpzM2NyZXQ=", 401},
        {kStranger, "Basic YWRtaW46czNjcmV0Mg==", 401},
        {kStranger, "Bearer YWRtaW46czNjcmV0", 401},
        {kStranger, "Basic !!!", 401},
    };
    for (const Case &test : cases) {
        NameValueList headers;
        if (*test.authorization != '\0') {
            headers.emplace_back("Authorization", test.authorization);
        }
        WebResponse response = send("GET", "/_velquor/", test.remote, headers);
        if (test.status == 401 && response.status == 429) {
            continue;  // wrong credentials while the wait after an earlier failure lasts
        }
        EXPECT_EQ(response.status, test.status) << test.remote << " " << test.authorization;
        if (response.status == 401) {
            ASSERT_FALSE(response.headers.empty());
            bool challenged = false;
            for (const auto &[name, value] : response.headers) {
                challenged = challenged || (name == "WWW-Authenticate" && value.find("Basic") == 0);
            }
            EXPECT_TRUE(challenged);
        }
    }
}

// A protected folder's pages and files follow the administration area's rules; the rest
// of the site and the module's action (delivery jobs post there) do not.
TEST_F(PageServerTest, ProtectedFoldersFollowTheAdministrationAreasRules) {
    std::string site = folder_ / "site";
    fs::create_directories(site + "/admin/deep");
    std::ofstream(site + "/admin/list.html") << "<testCheap/>";
    std::ofstream(site + "/admin/deep/notes.txt") << "notes";
    PageServer::Settings settings;
    settings.protectedPaths = {"/admin/"};
    makeServer(settings);
    const NameValueList ownPage = {{"Origin", "http://127.0.0.1:8080"}};
    const NameValueList otherSite = {{"Origin", "http://elsewhere.test"}};
    const NameValueList includeTag = {{"User-Agent", "qelIncludeHTTP/2.1.10 (QEL 2.1; Linux)"}};
    struct Case {
        const char *method, *target, *remote;
        NameValueList headers;
        int status;
    } cases[] = {
        {"GET", "/admin/list.html", "127.0.0.1", {}, 200},
        {"GET", "/admin/deep/notes.txt", "127.0.0.1", {}, 200},
        {"GET", "/admin/list.html", kStranger, {}, 403},
        {"GET", "/admin/deep/notes.txt", kStranger, {}, 403},
        {"GET", "/shop/../admin/list.html", kStranger, {}, 403},
        {"GET", "/%61dmin/list.html", kStranger, {}, 403},
        {"GET", "/index.html", kStranger, {}, 200},
        {"POST", "/admin/list.html", "127.0.0.1", ownPage, 200},
        {"POST", "/admin/list.html", "127.0.0.1", otherSite, 403},
        {"POST", "/admin/list.html", "127.0.0.1", {}, 403},
        {"GET", "/admin/list.html", "127.0.0.1", includeTag, 403},
        {"GET", "/admin/list.html", "127.0.0.1", {{"Host", "elsewhere.test"}}, 403},
        {"POST", "/admin/TestAction", "127.0.0.1", {}, 200},
    };
    for (const Case &c : cases)
        EXPECT_EQ(send(c.method, c.target, c.remote, c.headers).status, c.status) << c.method << " " << c.target
                                                                                   << " from " << c.remote;
}

TEST_F(PageServerTest, SavesRegionPreferencesOnlyFromPagesOfThisHost) {
    makeServer();
    struct Case {
        NameValueList headers;
        int status;
    };
    const Case cases[] = {
        {{}, 403},
        {{{"Origin", "http://127.0.0.1:8080"}}, 200},
        {{{"Origin", "HTTP://127.0.0.1:8080"}}, 200},
        {{{"Origin", "https://127.0.0.1:8080"}}, 200},
        {{{"Referer", "http://127.0.0.1:8080/_velquor/region/"}}, 200},
        {{{"Origin", "http://127.0.0.1:8080"}, {"Referer", "http://evil.example/"}}, 200},
        {{{"Origin", "http://evil.example"}, {"Referer", "http://127.0.0.1:8080/"}}, 403},
        {{{"Origin", "null"}}, 403},
        {{{"Origin", "ftp://127.0.0.1:8080"}}, 403},
        {{{"Origin", "http://127.0.0.1:8081"}}, 403},
        {{{"Referer", "http://127.0.0.1:8080.evil.example/"}}, 403},
        {{{"Referer", "http://127.0.0.1:80801/"}}, 403},
    };
    int saved = 0;
    for (const Case &test : cases) {
        std::string greeting = "hello " + std::to_string(saved);
        WebResponse response = send("POST", "/_velquor/region/", "127.0.0.1", test.headers, {{"greeting", greeting}});
        EXPECT_EQ(response.status, test.status) << (test.headers.empty() ? "" : test.headers[0].second);
        bool stored = host_.preferences().get("/", "greeting") == std::optional<std::string>(greeting);
        EXPECT_EQ(stored, test.status == 200);
        ++saved;
    }
    std::optional<std::string> shop = host_.preferences().get("/shop/", "greeting");
    EXPECT_FALSE(shop.has_value());
}

TEST_F(PageServerTest, ServesResolvedFoldersAsDownloadsUntilTheAdministratorForgetsOne) {
    makeServer();
    std::string site = host_.folders().siteRoot();
    std::ofstream(site + "/resolve.html") << "<testFolders resolve=\"uploads\"/>";
    EXPECT_NE(send("GET", "/resolve.html", "127.0.0.1").body.find("resolve=" + site + "/uploads/"), std::string::npos);
    fs::create_directories(site + "/uploads");
    std::ofstream(site + "/uploads/x.html") << "<testCheap/>";
    WebResponse download = send("GET", "/uploads/x.html", "127.0.0.1");
    EXPECT_EQ(download.file, site + "/uploads/x.html");
    EXPECT_EQ(download.contentType, "application/octet-stream");
    std::string overview = send("GET", "/_velquor/", "127.0.0.1").body;
    EXPECT_NE(overview.find("value=\"" + site + "/uploads/\""), std::string::npos) << overview;

    NameValueList origin = {{"Origin", "http://127.0.0.1:8080"}};
    EXPECT_EQ(send("POST", "/_velquor/downloads/forget", kStranger, origin, {{"folder", site + "/uploads/"}}).status, 403);
    EXPECT_EQ(send("GET", "/uploads/x.html", "127.0.0.1").contentType, "application/octet-stream");
    WebResponse forgotten = send("POST", "/_velquor/downloads/forget", "127.0.0.1", origin, {{"folder", site + "/uploads/"}});
    EXPECT_EQ(forgotten.status, 303);
    EXPECT_EQ(send("GET", "/uploads/x.html", "127.0.0.1").body, "ok");
}

TEST_F(PageServerTest, ServesNothingBeforeInitialisationAndOnlyActionsWhileTerminating) {
    makeServer({}, false);
    EXPECT_EQ(send("GET", "/", "127.0.0.1").status, 503);
    EXPECT_EQ(send("POST", "/TestAction", "127.0.0.1").status, 503);
    ASSERT_EQ(server_->initialise(), 0);
    WebResponse page = send("GET", "/", "127.0.0.1");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.body, "ok");

    server_->stopPages();
    EXPECT_EQ(send("GET", "/", "127.0.0.1").status, 503);
    EXPECT_EQ(send("GET", "/_velquor/", "127.0.0.1").status, 503);
    EXPECT_EQ(send("GET", "/style.css", "127.0.0.1").status, 200);
    EXPECT_EQ(send("POST", "/TestAction", "127.0.0.1").status, 200);

    EXPECT_EQ(server_->terminate(), 0);
    EXPECT_EQ(send("POST", "/TestAction", "127.0.0.1").status, 503);
    EXPECT_EQ(send("GET", "/style.css", "127.0.0.1").status, 503);
    server_.reset();
}

} // namespace
} // namespace velquor::host
