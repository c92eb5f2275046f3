// AdminAreaTest.cpp: logging in to the administration area: failed logins logged and
// slowed without holding the request; and forgetting an attachment folder that the data
// file refuses to forget.
#include "host/lib/AdminArea.h"

#include "TempFolder.h"
#include "host/lib/DownloadFolders.h"
#include "host/lib/Host.h"
#include "host/lib/HostIdentity.h"
#include "host/lib/RequestRouter.h"
#include "host/lib/SqliteConnection.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace velquor::host {
namespace {

using namespace std::chrono_literals;

// "admin:s3cret" and "admin:wrong" in HTTP Basic.
const char kRight[] = "Basic YWRtaW46czNjcmV0";
const char kWrong[] = "Basic YWRtaW46d3Jvbmc=";

class AdminAreaTest : public ::testing::Test {
protected:
    AdminAreaTest()
        : identity_("127.0.0.1", 8080, {}, {}, {"127.0.0.1"}), router_(makeSite(), "/_velquor/", nullptr) {
        std::string error;
        downloads_ = DownloadFolders::openFile(folder_ / "velquor.sqlite", &error);
        host_.setLogSink([this](const std::string &line) { log_ += line + "\n"; });
    }

    std::string makeSite() {
        fs::create_directories(folder_ / "site/uploads");
        return folder_ / "site";
    }

    std::unique_ptr<AdminArea> makeArea(const std::string &password) {
        auto area = std::make_unique<AdminArea>(host_, identity_, router_, *downloads_, password);
        area->useLoginThrottle(std::make_unique<LoginThrottle>(LoginThrottle::Limits(), [this] { return now_; }));
        return area;
    }

    static WebRequest request(const std::string &method, const std::string &remote, const std::string &authorization,
                              NameValueList fields = {}) {
        WebRequest web;
        web.method = method;
        web.target = "/_velquor/";
        web.remoteAddress = remote;
        web.headers = {{"Host", "127.0.0.1:8080"}, {"Origin", "http://127.0.0.1:8080"}};
        if (!authorization.empty()) {
            web.headers.emplace_back("Authorization", authorization);
        }
        web.bodyFields = std::move(fields);
        return web;
    }

    static std::string header(const WebResponse &response, const std::string &name) {
        for (const auto &[key, value] : response.headers) {
            if (key == name) {
                return value;
            }
        }
        return "";
    }

    test::TempFolder folder_;
    Host host_;
    HostIdentity identity_;
    RequestRouter router_;
    std::unique_ptr<DownloadFolders> downloads_;
    LoginThrottle::Clock::time_point now_ = LoginThrottle::Clock::time_point(1h);
    std::string log_;
};

TEST_F(AdminAreaTest, FailedLoginsAreLoggedAndMakeTheNextLoginWait) {
    std::unique_ptr<AdminArea> area = makeArea("s3cret");
    struct Step {
        std::chrono::milliseconds later;
        const char *remote;
        const char *authorization;
        int status;
        const char *retryAfter;
    };
    const Step steps[] = {
        {0ms, "198.51.100.7", "", 401, ""},         // no credentials: no guess, no wait
        {0ms, "198.51.100.7", "", 401, ""},
        {0ms, "198.51.100.7", kRight, 200, ""},
        {0ms, "198.51.100.7", kWrong, 401, ""},     // a failure: logged
        {0ms, "198.51.100.7", kRight, 429, "1"},    // answered at once: wait, whatever the password
        {0ms, "203.0.113.9", kWrong, 429, "1"},     // another address waits too
        {1000ms, "198.51.100.7", kWrong, 401, ""},  // the second failure in a row
        {1000ms, "198.51.100.7", kRight, 429, "1"},
        {1000ms, "198.51.100.7", kRight, 200, ""},
    };
    int index = 0;
    for (const Step &step : steps) {
        now_ += step.later;
        WebResponse response = area->handle(request("GET", step.remote, step.authorization), "");
        EXPECT_EQ(response.status, step.status) << "step " << index;
        EXPECT_EQ(header(response, "Retry-After"), step.retryAfter) << "step " << index;
        ++index;
    }
    EXPECT_NE(log_.find(" administrator login from 198.51.100.7 failed (1 in a row); the next one is checked in 1 s\n"),
              std::string::npos)
        << log_;
    EXPECT_NE(log_.find(" administrator login from 198.51.100.7 failed (2 in a row); the next one is checked in 2 s\n"),
              std::string::npos)
        << log_;
    EXPECT_EQ(log_.find("203.0.113.9"), std::string::npos) << "a login that waited was not checked";
}

TEST_F(AdminAreaTest, AFolderTheDataFileWillNotForgetStaysAndTheRefusalIsShown) {
    ASSERT_NE(downloads_, nullptr);
    std::unique_ptr<AdminArea> area = makeArea("");
    std::string uploads = folder_ / "site/uploads/";
    ASSERT_TRUE(downloads_->add(uploads));
    {
        SqliteConnection file;
        std::string error;
        ASSERT_TRUE(file.open(folder_ / "velquor.sqlite", 1000, &error)) << error;
        ASSERT_TRUE(file.execute("CREATE TRIGGER refuse BEFORE DELETE ON velquor_download_folders "
                                 "BEGIN SELECT RAISE(ABORT, 'refused'); END",
                                 &error))
            << error;
    }
    WebResponse response = area->handle(request("POST", "127.0.0.1", "", {{"folder", uploads}}), "downloads/forget");
    EXPECT_EQ(response.status, 500);
    EXPECT_NE(response.body.find("still served as downloads"), std::string::npos) << response.body;
    EXPECT_EQ(downloads_->list(), std::set<std::string>{uploads});
    EXPECT_NE(log_.find("could not be forgotten"), std::string::npos) << log_;

    response = area->handle(request("POST", "127.0.0.1", "", {{"folder", folder_ / "site/other/"}}), "downloads/forget");
    EXPECT_EQ(response.status, 404);
}

} // namespace
} // namespace velquor::host
