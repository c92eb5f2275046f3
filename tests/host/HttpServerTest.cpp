// HttpServerTest.cpp: the HTTP server in process with small limits: which requests reach
// the handler and what the others are answered, the header deadline, the connections per
// address, keep-alive, HEAD, files and binding.
#include "host/lib/HttpServer.h"

#include "HostProcess.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

namespace velquor::host {
namespace {

using namespace std::chrono_literals;
using test::RawClient;
using test::rawRequest;
using test::rawStatus;

class HttpServerTest : public ::testing::Test {
protected:
    void start(HttpServer::Settings settings, const std::string &address = "127.0.0.1") {
        settings.log = [this](const std::string &line) {
            std::lock_guard<std::mutex> lock(mutex_);
            log_ += line + "\n";
        };
        server_ = std::make_unique<HttpServer>([this](const WebRequest &request) { return handle(request); },
                                               [](const WebRequest &request) -> std::optional<WebResponse> {
                                                   if (request.target != "/refuse") {
                                                       return std::nullopt;
                                                   }
                                                   WebResponse refused;
                                                   refused.status = 404;
                                                   return refused;
                                               },
                                               settings);
        std::string error;
        ASSERT_TRUE(server_->bind(address, 0, &error)) << error;
        ASSERT_TRUE(server_->start(&error)) << error;
    }

    // Echoes the body's fields; "/throw" throws, "/file" answers the file.
    WebResponse handle(const WebRequest &request) {
        ++handled_;
        if (request.target == "/throw") {
            throw std::runtime_error("boom");
        }
        WebResponse response;
        response.contentType = "text/plain";
        if (request.target == "/file") {
            response.file = folder_ / "file.bin";
        }
        response.body = request.remoteAddress + "|";
        for (const auto &[name, value] : request.bodyFields) {
            response.body += name + "=" + value + ";";
        }
        return response;
    }

    std::string get(const std::string &target, const std::string &from = "") {
        return rawRequest(server_->port(), "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                          "127.0.0.1", from);
    }

    static std::string bodyOf(const std::string &response) {
        size_t end = response.find("\r\n\r\n");
        return end == std::string::npos ? "" : response.substr(end + 4);
    }

    test::TempFolder folder_;
    std::unique_ptr<HttpServer> server_;
    std::atomic<int> handled_{0};
    std::mutex mutex_;
    std::string log_;
};

HttpServer::Settings smallLimits() {
    HttpServer::Settings settings;
    settings.maximumHeaderBlock = 4096;
    settings.maximumHeaderLines = 10;
    settings.maximumBody = 64u << 10;
    settings.maximumBodiesInMemory = 60000;  // held by every connection together
    settings.maximumFields = 5;
    return settings;
}

std::string chunked(const std::string &body, size_t piece) {
    std::string out;
    for (size_t at = 0; at < body.size(); at += piece) {
        std::string part = body.substr(at, piece);
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", part.size());
        out += size + part + "\r\n";
    }
    return out + "0\r\n\r\n";
}

TEST_F(HttpServerTest, RunsTheHandlerOnlyForRequestsWithinTheLimits) {
    start(smallLimits());
    const std::string post = "POST /form HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
    const std::string form = "Content-Type: application/x-www-form-urlencoded\r\n";
    const std::string multipart = "Content-Type: multipart/form-data; boundary=b\r\n";
    auto sized = [](const std::string &body) { return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body; };
    const std::string part = "--b\r\nContent-Disposition: form-data; name=\"m\"\r\n\r\nv\r\n";
    std::string manyLines;
    for (int i = 0; i < 10; ++i) {
        manyLines += "X-" + std::to_string(i) + ": 1\r\n";
    }
    std::string flood;
    for (int i = 0; i < 20; ++i) {
        flood += "X-" + std::to_string(i) + ": " + std::string(8000, 'a') + "\r\n";
    }
    struct Case {
        const char *what;
        std::string request;
        int status;
        std::string body;  // "" when the handler must not run
    };
    const Case cases[] = {
        {"form", post + form + sized("a=1&b=x+y"), 200, "127.0.0.1|a=1;b=x y;"},
        {"chunked form", post + form + "Transfer-Encoding: chunked\r\n\r\n" + chunked("a=1&b=2", 3), 200,
         "127.0.0.1|a=1;b=2;"},
        {"multipart", post + multipart + sized(part + "--b--\r\n"), 200, "127.0.0.1|m=v;"},
        {"eleven header lines", "GET / HTTP/1.1\r\nHost: x\r\n" + manyLines + "\r\n", 431, ""},
        {"long header block", "GET / HTTP/1.1\r\nHost: x\r\nX: " + std::string(5000, 'a') + "\r\n\r\n", 431, ""},
        {"header flood", "GET / HTTP/1.1\r\nHost: x\r\n" + flood + "\r\n", 431, ""},
        {"announced body over the limit", post + "Content-Length: 70000\r\n\r\n", 413, ""},
        {"chunked body over the limit", post + form + "Transfer-Encoding: chunked\r\n\r\n" +
                                            chunked("a=" + std::string(80000, 'x'), 4000), 413, ""},
        {"broken chunk framing", post + form + "Transfer-Encoding: chunked\r\n\r\n5\r\na=1&b\r\nZZ\r\n", 400, ""},
        {"multipart without its closing delimiter", post + multipart + sized(part), 400, ""},
        {"six fields", post + form + sized("a&b&c&d&e&f"), 413, ""},
        {"body over the budget of bodies held at once", post + form + sized("a=" + std::string(61000, 'x')), 503, ""},
        {"screened body", "POST /refuse HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n", 404, ""},
        {"handler failure", "GET /throw HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 500, ""},
    };
    for (const Case &test : cases) {
        int before = handled_;
        std::string response = rawRequest(server_->port(), test.request);
        EXPECT_EQ(rawStatus(response), test.status) << test.what << "\n" << response;
        if (test.body.empty()) {
            EXPECT_EQ(handled_ - before, test.status == 500 ? 1 : 0) << test.what;
        } else {
            EXPECT_EQ(bodyOf(response), test.body) << test.what;
        }
    }
    // The failure was logged, and the server goes on.
    EXPECT_NE(log_.find("error serving /throw: boom"), std::string::npos) << log_;
    EXPECT_EQ(rawStatus(get("/")), 200);

    // A client that goes away in the middle of its body: the handler never sees it.
    int before = handled_;
    RawClient quitter;
    ASSERT_TRUE(quitter.connect(server_->port()));
    ASSERT_TRUE(quitter.send(post + form + "Content-Length: 1000\r\n\r\na=123456789012"));
    quitter.close();
    server_->stop();  // joins every connection's thread
    EXPECT_EQ(handled_.load(), before);
}

TEST_F(HttpServerTest, CutsAConnectionWhoseHeaderBlockMissesItsDeadline) {
    HttpServer::Settings settings;
    settings.headerDeadline = 500ms;
    start(settings);
    struct Case {
        const char *what;
        std::string opening;
        bool trickle;  // a header line every 100 ms after the opening
    };
    const Case cases[] = {{"a header line at a time", "GET / HTTP/1.1\r\n", true},
                          {"an idle keep-alive connection", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", false},
                          {"nothing at all", "", false}};
    for (const Case &test : cases) {
        RawClient slow;
        ASSERT_TRUE(slow.connect(server_->port()));
        auto begun = std::chrono::steady_clock::now();
        ASSERT_TRUE(slow.send(test.opening));
        bool cut = false;
        while (!cut && std::chrono::steady_clock::now() - begun < 10s) {
            cut = slow.closedWithin(100ms) || (test.trickle && !slow.send("X-Slow: 1\r\n"));
        }
        auto took = std::chrono::steady_clock::now() - begun;
        EXPECT_TRUE(cut) << test.what;
        EXPECT_GE(took, 500ms) << test.what;
        // Others are served meanwhile.
        EXPECT_EQ(rawStatus(get("/")), 200) << test.what;
    }
}

TEST_F(HttpServerTest, LimitsTheConnectionsOfEachClientAddress) {
    HttpServer::Settings settings;
    settings.connectionsPerAddress = 3;
    start(settings);
    std::vector<RawClient> held(3);
    for (RawClient &client : held) {
        ASSERT_TRUE(client.connect(server_->port()));
    }
    RawClient fourth;
    ASSERT_TRUE(fourth.connect(server_->port()));
    EXPECT_TRUE(fourth.closedWithin(5s));
    std::string other = get("/", "127.0.0.2");
    EXPECT_EQ(rawStatus(other), 200);
    EXPECT_EQ(bodyOf(other), "127.0.0.2|");
    for (RawClient &client : held) {
        EXPECT_FALSE(client.closedWithin(0ms));
    }
}

TEST_F(HttpServerTest, ReclaimsTheLongestIdleConnectionsSoOthersAreServed) {
    HttpServer::Settings settings;
    settings.maximumConnections = 10;  // room for the ended ones until their threads close them
    settings.reclaimAbove = 3;
    settings.headerDeadline = 60s;  // only reclaiming ends the idle ones here
    start(settings);
    // The oldest connection has a request in progress (its body not yet whole): never
    // reclaimed. The server's "100 Continue" shows that its header block is in.
    RawClient busy;
    ASSERT_TRUE(busy.connect(server_->port(), "127.0.0.1", "127.0.0.3"));
    ASSERT_TRUE(busy.send("POST /busy HTTP/1.1\r\nHost: x\r\nConnection: close\r\nExpect: 100-continue\r\n"
                          "Content-Length: 5\r\n\r\n"));
    ASSERT_TRUE(busy.readable(20s));
    // Idle clients fill every connection the server has; each new one ends the oldest.
    std::vector<RawClient> idle(6);
    for (RawClient &client : idle) {
        ASSERT_TRUE(client.connect(server_->port(), "127.0.0.1", "127.0.0.2"));
    }
    // With the busy one, newcomers 2 to 5 pushed past 3 open connections and ended 0 to 3.
    for (size_t index = 0; index < 4; ++index) {
        EXPECT_TRUE(idle[index].closedWithin(20s)) << "idle connection " << index;
    }
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(rawStatus(get("/")), 200) << "round " << round;
    }
    ASSERT_TRUE(busy.send("abcde"));
    std::string answers = busy.receive(20s);  // "100 Continue", then the answer
    EXPECT_NE(answers.find("\r\n\r\nHTTP/1.1 200 "), std::string::npos) << answers;
}

TEST_F(HttpServerTest, KeepsConnectionsAliveAnswersHeadAndStreamsFiles) {
    HttpServer::Settings settings;
    settings.keepAliveRequests = 2;
    start(settings);
    std::string content;
    for (int i = 0; content.size() < (3u << 20); ++i) {
        content += std::to_string(i) + "\n";
    }
    test::writeWholeFile(folder_ / "file.bin", content);

    RawClient client;
    ASSERT_TRUE(client.connect(server_->port()));
    ASSERT_TRUE(client.send("HEAD /file HTTP/1.1\r\nHost: x\r\n\r\nGET /file HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string both = client.receive(10s);  // the server closes after the second
    std::string length = "Content-Length: " + std::to_string(content.size()) + "\r\n";
    size_t second = both.find("HTTP/1.1 200", 1);
    ASSERT_NE(second, std::string::npos) << both.substr(0, 300);
    EXPECT_EQ(both.compare(0, 12, "HTTP/1.1 200"), 0);
    EXPECT_NE(both.substr(0, second).find(length), std::string::npos) << both.substr(0, second);
    EXPECT_EQ(both.substr(0, second).find("Connection: close"), std::string::npos);
    std::string last = both.substr(second);
    EXPECT_NE(last.find("Connection: close"), std::string::npos);
    EXPECT_TRUE(bodyOf(last) == content) << bodyOf(last).size();
}

TEST_F(HttpServerTest, BindsIPv6AndReportsWhyABindFails) {
    start({}, "::1");
    std::string response = rawRequest(server_->port(), "GET / HTTP/1.1\r\nHost: [::1]\r\nConnection: close\r\n\r\n",
                                      "::1");
    EXPECT_EQ(bodyOf(response), "::1|");

    HttpServer same([](const WebRequest &) { return WebResponse(); }, nullptr, {});
    std::string error;
    EXPECT_FALSE(same.bind("::1", server_->port(), &error));
    EXPECT_EQ(error, "Address already in use");
}

} // namespace
} // namespace velquor::host
