// IncludeHTTPTagHostTest.cpp: qelIncludeHTTP pages served by a real velquor-host running
// libvelquor.so, fetching over HTTPS from a TLS file server: a trusted certificate, the
// certificates that must fail (nothing written, the cause logged), and https-to-http.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "host/HostProcess.h"
#include "host/TempFolder.h"
#include "support/HTTPSServerProcess.h"
#include "support/TestCertificates.h"

using velquor::host::test::HostProcess;
using velquor::host::test::RawClient;
using velquor::host::test::TempFolder;
using velquor::host::test::readWholeFile;
using velquor::host::test::writeWholeFile;
using velquor::test::HTTPSServerProcess;
using velquor::test::TestCertificates;
using Kind = TestCertificates::Kind;

namespace {

class IncludeHTTPTagHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char *module = std::getenv("VELQUOR_MODULE");
        if (HostProcess::binary().empty() || module == nullptr)
            GTEST_SKIP() << "velquor-host or libvelquor.so is not built";
        std::string error;
        ASSERT_TRUE(certificates_.make(folder_ / "certificates", &error)) << error;
        std::filesystem::create_directories(folder_ / "site");
        std::filesystem::create_directories(folder_ / "remote");
        writeWholeFile(folder_ / "remote/news.html", "<p>secure news</p>");
        // The host trusts the test CA the way every OpenSSL program can be told to.
        ASSERT_TRUE(host_.start({"--site", folder_ / "site", "--data", folder_ / "data", "--listen", "127.0.0.1:0",
                                 "--module", module},
                                {"SSL_CERT_FILE=" + certificates_.caFile()}, folder_ / "host.err", &error))
            << error;
    }
    void TearDown() override {
        if (host_.running()) {
            EXPECT_EQ(host_.stop(), std::optional<int>(0)) << readWholeFile(folder_ / "host.err");
        }
    }

    // Serves the remote folder over HTTPS with a certificate of this kind.
    void Serve(HTTPSServerProcess &server, Kind kind, const std::vector<HTTPSServerProcess::Redirect> &redirects) {
        std::string error;
        ASSERT_TRUE(server.start(folder_ / "remote", certificates_.certificate(kind), certificates_.key(kind),
                                 redirects, folder_ / "https.err", &error))
            << error;
    }

    // The page body between "[" and "]" around an include of url, and the log lines the
    // request added.
    std::string Include(const std::string &url, std::string *logged) {
        writeWholeFile(folder_ / "site/page.html",
                       "<html><body>[<qelIncludeHTTP url=\"" + url + "\" data=\"content\">]</body></html>\n");
        const size_t logStart = readWholeFile(folder_ / "data/velquor.log").size();
        RawClient client;
        if (!client.connect(host_.port()))
            return "(no connection)";
        client.send("GET /page.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        std::string response = client.receive(std::chrono::seconds(60));
        // The log line may follow the page by a moment: wait for one (bounded) when the
        // page is empty.
        const bool empty = response.find("<body>[]</body>") != std::string::npos;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        do {
            *logged = readWholeFile(folder_ / "data/velquor.log").substr(logStart);
        } while (empty && logged->empty() && std::chrono::steady_clock::now() < deadline);
        size_t open = response.find("<body>[");
        size_t close = response.rfind("]</body>");
        if (open == std::string::npos || close == std::string::npos || close < open)
            return "(no page: " + response + ")";
        return response.substr(open + 7, close - open - 7);
    }

    TempFolder folder_;
    TestCertificates certificates_;
    HostProcess host_;
};

TEST_F(IncludeHTTPTagHostTest, ATrustedCertificateGivesTheContent) {
    HTTPSServerProcess server;
    Serve(server, Kind::Server, {});
    std::string logged;
    EXPECT_EQ(Include(server.origin() + "/news.html", &logged), "<p>secure news</p>") << logged;
    // The certificate names localhost too.
    EXPECT_EQ(Include("https://localhost:" + std::to_string(server.port()) + "/news.html", &logged),
              "<p>secure news</p>")
        << logged;
}

TEST_F(IncludeHTTPTagHostTest, CertificatesThatFailWriteNothingAndAreLoggedWithTheirCause) {
    struct Case {
        Kind kind;
        const char *cause;
    };
    const Case cases[] = {
        {Kind::Expired, "certificate has expired"},
        {Kind::SelfSigned, "self-signed certificate"},
        {Kind::Other, "IP address mismatch"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cause);
        HTTPSServerProcess server;
        Serve(server, c.kind, {});
        std::string logged;
        EXPECT_EQ(Include(server.origin() + "/news.html", &logged), "");
        EXPECT_NE(logged.find("certificate verification failed for 127.0.0.1:" + std::to_string(server.port())),
                  std::string::npos)
            << logged;
        EXPECT_NE(logged.find(c.cause), std::string::npos) << logged;
        server.stop();
    }
}

TEST_F(IncludeHTTPTagHostTest, ARedirectionFromHTTPSToHTTPIsRefusedAndLogged) {
    HTTPSServerProcess server;
    Serve(server, Kind::Server, {{"/moved.html", "http://127.0.0.1:9/news.html"}});
    std::string logged;
    EXPECT_EQ(Include(server.origin() + "/moved.html", &logged).find("secure news"), std::string::npos);
    EXPECT_NE(logged.find("the redirection from https to http://127.0.0.1:9/news.html was refused"),
              std::string::npos)
        << logged;
}

}  // namespace
