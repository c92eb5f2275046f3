// VelquorHostTest.cpp: velquor-host end to end: the built binary on an ephemeral port
// with a temporary site and data folder, driven over HTTP, first with the test module
// (tests/support/TestModule.cpp), then with libvelquor.so.
#include "HostProcess.h"
#include "TempFolder.h"

#include <httplib.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace velquor::host::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string environmentPath(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr && fs::exists(value) ? std::string(value) : std::string();
}

class VelquorHost : public ::testing::Test {
protected:
    void SetUp() override {
        if (HostProcess::binary().empty() || module().empty()) {
            GTEST_SKIP() << "the host binary or the module is not built";
        }
        site_ = folder_ / "site";
        data_ = folder_ / "data";
        fs::create_directories(site_);
        writeWholeFile(folder_ / "secret.txt", "TOPSECRET");
    }

    void TearDown() override {
        if (host_.running()) {
            std::optional<int> status = host_.stop();
            EXPECT_EQ(status, std::optional<int>(0)) << "velquor-host did not stop cleanly:\n" << errors();
        }
    }

    virtual std::string module() const { return environmentPath("VELQUOR_TEST_MODULE"); }

    void page(const std::string &path, const std::string &content) { writeWholeFile(site_ + "/" + path, content); }

    void startHost(const std::vector<std::string> &extra = {}, const std::vector<std::string> &environment = {}) {
        std::vector<std::string> arguments = {"--site", site_, "--data", data_, "--listen", "127.0.0.1:0",
                                              "--module", module()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        std::string error;
        ASSERT_TRUE(host_.start(arguments, environment, folder_ / "stderr.txt", &error)) << error;
        client_ = std::make_unique<httplib::Client>("127.0.0.1", host_.port());
        client_->set_read_timeout(60, 0);
    }

    void restartHost() {
        std::optional<int> status = host_.stop();
        ASSERT_EQ(status, std::optional<int>(0)) << errors();
        ASSERT_NO_FATAL_FAILURE(startHost());
    }

    std::string errors() const { return readWholeFile(folder_ / "stderr.txt"); }
    std::string authority() const { return "127.0.0.1:" + std::to_string(host_.port()); }

    // The body of a GET that must answer 200.
    std::string get(const std::string &target, const httplib::Headers &headers = {}) {
        httplib::Result result = client_->Get(target.c_str(), headers);
        if (!result) {
            ADD_FAILURE() << "no answer to GET " << target;
            return "";
        }
        EXPECT_EQ(result->status, 200) << target << "\n" << result->body;
        return result->body;
    }

    httplib::Result post(const std::string &target, const std::string &body, const httplib::Headers &headers = {}) {
        return client_->Post(target.c_str(), headers, body, "application/x-www-form-urlencoded");
    }

    httplib::Headers sameOrigin() const { return {{"Origin", "http://" + authority()}}; }

    // The host's resident size now, with its peak measured afresh from here on (kB).
    long memoryBefore() {
        long resident = host_.status("VmRSS");
        EXPECT_TRUE(host_.resetPeakMemory());
        return resident;
    }
    // How far the peak went above `before`, in MB.
    long peakGrowthMB(long before) const { return (host_.status("VmHWM") - before) / 1024; }

    // A client of another address than the load's (127.0.0.1) is served within 2 s.
    void expectServedMeanwhile(const std::string &target, const std::string &what) {
        auto begun = Clock::now();
        std::string response = rawRequest(host_.port(),
                                          "GET " + target + " HTTP/1.1\r\nHost: " + authority() +
                                              "\r\nConnection: close\r\n\r\n",
                                          "127.0.0.1", "127.0.0.2");
        EXPECT_EQ(rawStatus(response), 200) << what;
        EXPECT_LT(Clock::now() - begun, 2s) << what;
    }

    TempFolder folder_;
    std::string site_;
    std::string data_;
    HostProcess host_;
    std::unique_ptr<httplib::Client> client_;
};

TEST_F(VelquorHost, ReplacesTagsInDocumentOrderWithTheirParameters) {
    page("index.html", "<p>A</p>\n"
                       "<testParams first=\"1\" Second='two' to=\"a\" to=\"b\" "
                       "data=\"&lt;b&gt; &amp; &quot;q&quot; &#65;&#x42;\" occurrencesOf=\"to\"/>\n"
                       "<p>B</p><TESTBODY x=\"1\">inner {{form:q}} <testCheap/></testBody><p>C</p><TestCheap>");
    ASSERT_NO_FATAL_FAILURE(startHost());
    EXPECT_EQ(get("/?q=%3Ci%3E"), "<p>A</p>\n"
                                  "[0:first=1][1:Second=two][2:to=a][3:to=b][4:data=<b> & \"q\" AB][5:occurrencesOf=to]"
                                  "{to#0=a}{to#1=b}\n"
                                  "<p>B</p>NAME(testBody)BODY(inner <i> <testCheap/>)<p>C</p>ok");
}

TEST_F(VelquorHost, FillsPlaceholdersOnceWithoutLettingValuesAddParametersOrTags) {
    page("inject.html", "Text:{{form:who}}|<testParams p=\"{{form:who}}\" q='{{form:who}}'/>|"
                        "<testValues echo=\"{{form:who}}\"/>");
    ASSERT_NO_FATAL_FAILURE(startHost());
    struct Case {
        const char *query;
        const char *expected;
    };
    const Case cases[] = {
        {"who=%22%20to%3D%22x", "Text:&quot; to=&quot;x|[0:p=\" to=\"x][1:q=\" to=\"x]|echo:echo=\" to=\"x;"},
        {"who=%27%20to%3D%27x", "Text:&#39; to=&#39;x|[0:p=' to='x][1:q=' to='x]|echo:echo=' to='x;"},
        {"who=%7B%7Bform:other%7D%7D&other=INJECTED",
         "Text:{{form:other}}|[0:p={{form:other}}][1:q={{form:other}}]|echo:echo={{form:other}};"},
        {"who=%3CtestCheap%2F%3E", "Text:&lt;testCheap/&gt;|[0:p=<testCheap/>][1:q=<testCheap/>]|echo:echo=<testCheap/>;"},
        {"who=a%26amp%3Bb", "Text:a&amp;amp;b|[0:p=a&amp;b][1:q=a&amp;b]|echo:echo=a&amp;b;"},
        {"", "Text:|[0:p=][1:q=]|echo:echo=;"},
    };
    for (const Case &test : cases) {
        EXPECT_EQ(get(std::string("/inject.html?") + test.query), test.expected) << test.query;
    }
}

TEST_F(VelquorHost, PageVariablesAreVisibleAfterTheTagThatSetsThem) {
    page("vars.html", "before[{{var:v}}]<testSet name=\"v\" value=\"V-{{form:x}}\"/>after[{{var:v}}]"
                      "<testValues echo=\"{{var:v}}\" cgi=\"SCRIPT_NAME\"/>");
    ASSERT_NO_FATAL_FAILURE(startHost());
    EXPECT_EQ(get("/vars.html?x=%3C1%3E"), "before[]after[V-&lt;1&gt;]echo:echo=V-<1>;cgi:SCRIPT_NAME=/vars.html;");
}

TEST_F(VelquorHost, LeavesUnknownTagsCommentsAndOtherTextAlone) {
    const std::string text = "<qelUnknown a=\"1\">x</qelUnknown><testCheapX/><!-- <testCheap/> {{form:q}} -->"
                             "{{bogus:x}}{{form:}}{{form:q}";
    page("unknown.html", text + "</testCheap>");
    ASSERT_NO_FATAL_FAILURE(startHost());
    EXPECT_EQ(get("/unknown.html?q=1"), text);
}

TEST_F(VelquorHost, AFailingTagKeepsItsOutputAndShowsItsErrorBox) {
    page("fail.html", "before<testFail code=\"MIPV\" message=\"Bad value.\" explanation=\"Use another one.\"/>middle"
                      "<testFail noinfo=\"1\"/>after<testCheap/>");
    page("broken.html", "ok so far <testCheap/> <testParams a=\"unterminated");
    ASSERT_NO_FATAL_FAILURE(startHost());
    std::string body = get("/fail.html");
    size_t first = body.find("beforepartial output<div class=\"velquor-error\"");
    ASSERT_NE(first, std::string::npos) << body;
    size_t code = body.find("failed with error MIPV.", first);
    size_t message = body.find("<p>Bad value.</p><p>Use another one.</p></div>middlepartial output<div", first);
    EXPECT_NE(code, std::string::npos) << body;
    EXPECT_NE(message, std::string::npos) << body;
    size_t second = body.find("failed with error MGen.", message);
    EXPECT_NE(second, std::string::npos) << body;
    EXPECT_NE(body.find("The tag gave no explanation.</p></div>afterok", second), std::string::npos) << body;
    std::string log = readWholeFile(data_ + "/velquor.log");
    EXPECT_NE(log.find("<testFail> on line 1 failed with MIPV: Bad value."), std::string::npos) << log;
    EXPECT_NE(log.find("failed with MGen"), std::string::npos) << log;

    body = get("/broken.html");
    EXPECT_EQ(body.find("ok so far ok "), 0u) << body;
    EXPECT_NE(body.find("The &lt;testParams&gt; tag on line 1 is not closed with &quot;&gt;&quot;."),
              std::string::npos)
        << body;
}

TEST_F(VelquorHost, GivesTheModuleCGIVariablesFoldersAndATrustedVirtualHost) {
    page("a b.html", "<testValues cgi=\"SCRIPT_NAME\" cgi=\"HTTP_HOST\" cgi=\"REQUEST_METHOD\" cgi=\"QUERY_STRING\" "
                     "cgi=\"REMOTE_ADDR\" cgi=\"SERVER_PORT\" cgi=\"HTTP_USER_AGENT\"/>|"
                     "<testFolders data=\"FM\" resolve=\"attachments/new\"/>|<testFolders resolve=\"../out\"/>");
    ASSERT_NO_FATAL_FAILURE(startHost());
    const std::string port = std::to_string(host_.port());
    struct Case {
        std::string host;
        std::string virtualHost;
    };
    const Case cases[] = {
        {authority(), authority()},
        {"localhost:" + port, "localhost:" + port},
        {"evil.example", authority()},           // a forged name
        {"evil.example:" + port, authority()},   // with our port
        {"127.0.0.1:1", authority()},            // this machine, another port
        {"127.0.0.1:" + port + "@x", authority()},
    };
    for (const Case &test : cases) {
        std::string body = get("/a%20b.html?z=1&y", {{"Host", test.host}, {"User-Agent", "tester/1"}});
        EXPECT_EQ(body, "cgi:SCRIPT_NAME=/a%20b.html;cgi:HTTP_HOST=" + test.host +
                            ";cgi:REQUEST_METHOD=GET;cgi:QUERY_STRING=z=1&y;cgi:REMOTE_ADDR=127.0.0.1;cgi:SERVER_PORT=" +
                            port + ";cgi:HTTP_USER_AGENT=tester/1;|page=" + site_ + "/;data=" + data_ +
                            "/FM/;resolve=" + site_ + "/attachments/new/;vhost=" + test.virtualHost + "|page=" + site_ +
                            "/;resolve=(refused);vhost=" + test.virtualHost)
            << test.host;
    }
    EXPECT_TRUE(fs::is_directory(data_ + "/FM"));
}

TEST_F(VelquorHost, ReadsFormArgumentsFromQueryUrlEncodedAndMultipartBodies) {
    page("form.html", "<testValues form=\"a\" form=\"b\"/>");
    ASSERT_NO_FATAL_FAILURE(startHost());
    // Raw, since HTTP clients encode "+" themselves.
    std::string response = rawRequest(host_.port(), "GET /form.html?a=1&b=x+y%2B&a=%26 HTTP/1.1\r\nHost: " +
                                                         authority() + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(rawStatus(response), 200);
    EXPECT_EQ(response.substr(response.find("\r\n\r\n") + 4), "form:a=[1,&];form:b=[x y+];");

    httplib::Result result = post("/form.html?a=1", "a=2&b=3&a=4");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->body, "form:a=[1,2,4];form:b=[3];");

    httplib::MultipartFormDataItems items = {{"a", "5", "", ""}, {"a", "<file>", "up.txt", "text/plain"},
                                             {"b", "6\r\nseven", "", ""}};
    result = client_->Post("/form.html", items);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->body, "form:a=[5];form:b=[6\r\nseven];");

    // A form larger than the HTTP library's own limit for URL-encoded bodies.
    std::string large(20000, 'x');
    result = post("/form.html", "b=" + large);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->body, "form:a=[];form:b=[" + large + "];");
}

TEST_F(VelquorHost, AnActionPostFromThisMachineReachesTheModule) {
    fs::create_directories(site_ + "/shop/deep");
    ASSERT_NO_FATAL_FAILURE(startHost());
    httplib::Result result = post("/TestAction", "MessageID=7&Status=F&note=x&note=y");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->body, "action=TestAction;MessageID=[7];Status=[F];note=[x,y]");

    result = post("/shop/deep/testaction", "Status=S");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->body, "action=testaction;MessageID=[];Status=[S];note=[]");

    result = post("/missing/TestAction", "Status=S");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 404);
    result = client_->Get("/TestAction");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 404);
    EXPECT_NE(readWholeFile(data_ + "/velquor.log").find("MLgE test action action=TestAction;MessageID=[7]"),
              std::string::npos);
}

TEST_F(VelquorHost, TheAdministrationAreaRefusesCrossSitePosts) {
    ASSERT_NO_FATAL_FAILURE(startHost());
    const httplib::Headers refused[] = {
        {},
        {{"Origin", "http://evil.example"}},
        {{"Origin", "null"}},
        {{"Origin", "http://" + authority() + ".evil.example"}},
        {{"Referer", "http://evil.example/_velquor/"}},
        {{"Origin", "http://evil.example:" + std::to_string(host_.port())},
         {"Host", "evil.example:" + std::to_string(host_.port())}},
    };
    for (const httplib::Headers &headers : refused) {
        httplib::Result result = post("/_velquor/region/", "greeting=Hacked", headers);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 403) << (headers.empty() ? "" : headers.begin()->second);
    }
    EXPECT_EQ(get("/_velquor/region/").find("Hacked"), std::string::npos);

    httplib::Result result = post("/_velquor/region/", "greeting=Fine", {{"Referer", "http://" + authority() + "/_velquor/"}});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_NE(result->body.find("value=\"Fine\""), std::string::npos) << result->body;
}

TEST_F(VelquorHost, RegionPreferencesRoundTripAcrossARestartAndApplyAtAnyDepth) {
    const std::string probe = "<testCheap/>|<testValues pref=\"greeting\"/>";
    page("index.html", probe);
    page("shop/index.html", probe);
    page("shop/deep/page.html", probe);
    ASSERT_NO_FATAL_FAILURE(startHost());
    EXPECT_EQ(get("/"), "ok|pref:greeting=(none);");

    std::string overview = get("/_velquor/");
    EXPECT_NE(overview.find("href=\"/_velquor/region/\""), std::string::npos) << overview;
    EXPECT_NE(overview.find("href=\"/_velquor/region/shop/\""), std::string::npos) << overview;

    httplib::Result result = post("/_velquor/region/", "testValues=yes&greeting=Hello+%26+%22bye%22", sameOrigin());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_NE(result->body.find("Saved."), std::string::npos);
    result = post("/_velquor/region/shop/", "testCheap=yes&testValues=yes&greeting=Shop", sameOrigin());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);

    auto check = [&] {
        std::string root = get("/_velquor/region/");
        EXPECT_NE(root.find("value=\"Hello &amp; &quot;bye&quot;\""), std::string::npos) << root;
        EXPECT_NE(root.find("name=\"testCheap\" value=\"yes\">"), std::string::npos) << root;
        EXPECT_NE(root.find("name=\"testValues\" value=\"yes\" CHECKED>"), std::string::npos) << root;
        std::string shop = get("/_velquor/region/shop/");
        EXPECT_NE(shop.find("name=\"testCheap\" value=\"yes\" CHECKED>"), std::string::npos) << shop;
        EXPECT_EQ(get("/"), "|pref:greeting=Hello & \"bye\";");
        EXPECT_EQ(get("/shop/"), "ok|pref:greeting=Shop;");
        EXPECT_EQ(get("/shop/deep/page.html"), "ok|pref:greeting=Shop;");
    };
    check();
    ASSERT_NO_FATAL_FAILURE(restartHost());
    check();
    result = client_->Get("/_velquor/region/nowhere/");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 404);
}

TEST_F(VelquorHost, DotDotNeverReachesAFileOutsideTheSite) {
    page("index.html", "home");
    page("shop/index.html", "shop");
    fs::create_symlink(folder_.path(), site_ + "/escape");
    ASSERT_NO_FATAL_FAILURE(startHost());
    const char *targets[] = {"/../secret.txt",
                             "/%2e%2e/secret.txt",
                             "/%2E%2E%2Fsecret.txt",
                             "/shop/../../secret.txt",
                             "/shop/..%2f..%2fsecret.txt",
                             "/shop/%2e%2e/%2e%2e/secret.txt",
                             "/shop/.%2e/.%2e/secret.txt",
                             "/..\\secret.txt",
                             "/escape/secret.txt",
                             "/escape/",
                             "/%00/../secret.txt",
                             "//../secret.txt"};
    for (const char *target : targets) {
        std::string response = rawRequest(host_.port(), std::string("GET ") + target +
                                                            " HTTP/1.1\r\nHost: " + authority() +
                                                            "\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(response.find("TOPSECRET"), std::string::npos) << target;
        EXPECT_GE(rawStatus(response), 400) << target << "\n" << response;
    }
    // The host still serves the site after them.
    EXPECT_EQ(get("/shop/"), "shop");
}

TEST_F(VelquorHost, ServesFilesFoldersAndAttachmentFoldersAsDownloads) {
    page("index.html", "<testFolders resolve=\"uploads\"/>");
    page("style.css", "body{}");
    page("shop/index.html", "shop");
    page(".hidden.txt", "hidden");
    ASSERT_NO_FATAL_FAILURE(startHost());

    httplib::Result result = client_->Get("/style.css");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->body, "body{}");
    EXPECT_EQ(result->get_header_value("Content-Type"), "text/css");
    result = client_->Get("/shop");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 301);
    EXPECT_EQ(result->get_header_value("Location"), "/shop/");
    result = client_->Get("/.hidden.txt");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 404);
    result = post("/style.css", "a=1");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 405);

    EXPECT_NE(get("/").find("resolve=" + site_ + "/uploads/"), std::string::npos);
    page("uploads/evil.html", "<testCheap/>{{cgi:SCRIPT_NAME}}");
    page("uploads/sub/more.html", "<testCheap/>");
    auto expectDownload = [&](const std::string &target, const std::string &content, const std::string &name) {
        httplib::Result download = client_->Get(target.c_str());
        ASSERT_TRUE(download);
        EXPECT_EQ(download->status, 200);
        EXPECT_EQ(download->body, content);
        EXPECT_EQ(download->get_header_value("Content-Type"), "application/octet-stream");
        EXPECT_EQ(download->get_header_value("Content-Disposition"), "attachment; filename=\"" + name + "\"");
    };
    expectDownload("/uploads/evil.html", "<testCheap/>{{cgi:SCRIPT_NAME}}", "evil.html");
    expectDownload("/uploads/sub/more.html", "<testCheap/>", "more.html");
    // The folder stays an attachment folder after a restart.
    ASSERT_NO_FATAL_FAILURE(restartHost());
    expectDownload("/uploads/evil.html", "<testCheap/>{{cgi:SCRIPT_NAME}}", "evil.html");
}

TEST_F(VelquorHost, KeepsTheModulesDatabasesAcrossARestart) {
    page("note.html", "<testRecord database=\"Notes\" note=\"{{form:n}}\"/>");
    ASSERT_NO_FATAL_FAILURE(startHost());
    EXPECT_EQ(get("/note.html?n=one"), "records=1");
    EXPECT_EQ(get("/note.html?n=two"), "records=2");
    ASSERT_NO_FATAL_FAILURE(restartHost());
    EXPECT_EQ(get("/note.html?n=three"), "records=3");
    // A HEAD request shows nothing and runs no tag.
    httplib::Result head = client_->Head("/note.html?n=four");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_EQ(get("/note.html?n=five"), "records=4");
}

TEST_F(VelquorHost, TheAdministrationAreaShowsTheModulesDatabasesAndTheInboxPageLinksToItsOwn) {
    page("note.html", "<testRecord database=\"{{form:db}}\" note=\"{{form:n}}\"/>");
    ASSERT_NO_FATAL_FAILURE(startHost());
    EXPECT_EQ(get("/note.html?db=Notes&n=%3Cb%3Eone%3C/b%3E"), "records=1");
    EXPECT_EQ(get("/note.html?db=Inbox&n=two"), "records=1");
    std::string overview = get("/_velquor/");
    EXPECT_NE(overview.find("<a href=\"/_velquor/database?name=Notes\">Notes</a> (1 record)"), std::string::npos)
        << overview;
    std::string notes = get("/_velquor/database?name=Notes");
    EXPECT_NE(notes.find("<tr><th>Note</th><td>&lt;b&gt;one&lt;/b&gt;</td></tr>"), std::string::npos) << notes;

    const char *source = std::getenv("VELQUOR_SOURCE_DIR");
    if (source == nullptr) {
        GTEST_SKIP() << "VELQUOR_SOURCE_DIR is not set";
    }
    std::string inbox = readWholeFile(std::string(source) + "/examples/site/mail/inbox.html");
    std::smatch link;
    ASSERT_TRUE(std::regex_search(inbox, link, std::regex("href=\"(/_velquor/database\\?[^\"&]*)\""))) << inbox;
    std::string records = get(link[1].str());
    EXPECT_NE(records.find("<tr><th>Note</th><td>two</td></tr>"), std::string::npos) << link[1].str() << "\n" << records;
}

TEST_F(VelquorHost, WritesModuleLogEntriesWithATimeStampToTheLogFileAndStandardError) {
    page("log.html", "<testLog text=\"hello&#10;log &#27;[2J{{form:v}}\"/>");
    ASSERT_NO_FATAL_FAILURE(startHost());
    // A form value of 1 MB becomes one cut line.
    httplib::Result result = post("/log.html", "v=" + std::string(1u << 20, 'v'));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->body, "");
    std::string log = readWholeFile(data_ + "/velquor.log");
    EXPECT_NE(log.find("Z MLgE hello\\nlog \\x1B[2Jvvvv"), std::string::npos) << log.substr(0, 200);
    EXPECT_NE(log.find(" ...[cut: "), std::string::npos);
    EXPECT_LE(log.size(), 8193u);
    EXPECT_EQ(log.find('\x1B'), std::string::npos);
    EXPECT_EQ(log.compare(0, 2, "20"), 0) << log.substr(0, 200);
    EXPECT_NE(errors().find("Z MLgE hello\\nlog \\x1B[2Jvvvv"), std::string::npos);
    EXPECT_EQ(errors().find('\x1B'), std::string::npos);
}

TEST_F(VelquorHost, KeepsItsDataFolderPrivateAndToItself) {
    ASSERT_NO_FATAL_FAILURE(startHost());
    auto mode = [](const std::string &path) {
        struct stat status {};
        return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
    };
    EXPECT_EQ(mode(data_), 0700u);
    for (const char *name : {"velquor.sqlite", "velquor.log"}) {
        EXPECT_EQ(mode(data_ + "/" + name), 0600u) << name;
    }
    if (fs::exists(data_ + "/velquor.sqlite-wal")) {
        EXPECT_EQ(mode(data_ + "/velquor.sqlite-wal"), 0600u);
    }
    HostProcess second;
    std::string errorFile = folder_ / "second.txt";
    EXPECT_EQ(second.run({"--site", site_, "--data", data_ + "/", "--listen", "127.0.0.1:0", "--module", module()},
                         errorFile),
              std::optional<int>(1));
    EXPECT_EQ(readWholeFile(errorFile), "velquor-host: the data folder " + data_ +
                                            " is in use by another velquor-host (process " +
                                            std::to_string(host_.pid()) + "); give each host its own --data\n");
}

TEST_F(VelquorHost, APasswordFileWrittenWithCRLFGivesThePasswordWithoutCR) {
    writeWholeFile(folder_ / "password.txt", "s3cret\r\n");
    ASSERT_NO_FATAL_FAILURE(startHost({"--admin-password-file", folder_ / "password.txt"}));
    client_->set_basic_auth("admin", "s3cret");
    httplib::Result result = client_->Get("/_velquor/");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
}

TEST_F(VelquorHost, ServesConcurrentRequestsEachOnItsOwnRequest) {
    page("count.html", "<testSet name=\"n\" value=\"{{form:n}}\"/><testValues echo=\"{{var:n}}\" form=\"n\"/>");
    ASSERT_NO_FATAL_FAILURE(startHost());
    std::atomic<int> wrong{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 6; ++t) {
        clients.emplace_back([&, t] {
            httplib::Client client("127.0.0.1", host_.port());
            for (int i = 0; i < 25; ++i) {
                std::string n = std::to_string(t * 1000 + i);
                httplib::Result result = client.Get(("/count.html?n=" + n).c_str());
                if (!result || result->body != "echo:echo=" + n + ";form:n=[" + n + "];") {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread &client : clients) {
        client.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(VelquorHost, AnswersActionsUntilTheModuleHasTerminated) {
    page("index.html", "<testCheap/>");
    ASSERT_NO_FATAL_FAILURE(startHost({}, {"VELQUOR_TEST_MODULE_HOLD_TERMINATE=1"}));
    EXPECT_EQ(get("/"), "ok");
    host_.signal(SIGTERM);
    // Pages are refused once stopping began; the module waits in 'MTrm' meanwhile.
    int status = 0;
    for (int attempt = 0; attempt < 500 && status != 503; ++attempt) {
        httplib::Result result = client_->Get("/");
        status = result ? result->status : 0;
        if (status != 503) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_EQ(status, 503);
    ASSERT_TRUE(host_.running());
    httplib::Result result = post("/TestAction", "Status=S&release=1");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->body, "action=TestAction;MessageID=[];Status=[S];note=[]");
    EXPECT_EQ(host_.waitForExit(std::chrono::seconds(30)), std::optional<int>(0)) << errors();
    EXPECT_NE(host_.output().find("velquor-host: stopped"), std::string::npos);
}

TEST_F(VelquorHost, PrintsTheRegistrationAndWarnsWhenTheModuleAnswersMUnk) {
    ASSERT_NO_FATAL_FAILURE(startHost({}, {"VELQUOR_TEST_MODULE_INIT=MUnk"}));
    const std::string &output = host_.output();
    EXPECT_NE(output.find("  name: Velquor Test Module\n"), std::string::npos) << output;
    EXPECT_NE(output.find("  tag <testBody> (kind 0x10, with a body)\n"), std::string::npos) << output;
    EXPECT_NE(output.find("  tag <testCheap> (kind 0x20, without a body)\n"), std::string::npos) << output;
    EXPECT_NE(output.find("  action: TestAction\n"), std::string::npos) << output;
    EXPECT_NE(errors().find("warning: the module answered MUnk"), std::string::npos) << errors();
}

TEST_F(VelquorHost, StartupProblemsEndWithAOneLineError) {
    ASSERT_NO_FATAL_FAILURE(startHost());
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string message;
    };
    const std::string listen = "127.0.0.1:0";
    const std::string otherData = folder_ / "other-data";
    const Case cases[] = {
        {{"--site", folder_ / "nowhere", "--data", otherData, "--listen", listen, "--module", module()},
         1,
         "velquor-host: the site folder " + (folder_ / "nowhere") + " does not exist\n"},
        {{"--site", site_, "--data", otherData, "--listen", authority(), "--module", module()},
         1,
         "velquor-host: cannot listen on " + authority() + ": Address already in use\n"},
        {{"--site", site_, "--data", otherData, "--listen", listen, "--module", folder_ / "missing.so"},
         1,
         "velquor-host: cannot load the module " + (folder_ / "missing.so")},
        {{"--site", site_, "--data", otherData, "--listen", listen, "--module", "libsqlite3.so.0"},
         1,
         "does not export ProcessQELRequest"},
        {{"--site", site_, "--data", data_, "--listen", listen, "--module", module()},
         1,
         "velquor-host: the data folder " + data_ + " is in use by another velquor-host"},
        {{"--site", site_, "--data", otherData, "--listen", listen, "--module", module(), "--admin-password-file",
          folder_ / "missing-password"},
         1,
         "velquor-host: cannot read a password from " + (folder_ / "missing-password") + "\n"},
        {{"--site", site_, "--data", site_ + "/data", "--listen", listen, "--module", module()},
         1,
         "lies inside the site folder"},
        {{"--listen", "8080"}, 2, "velquor-host: --listen wants ADDRESS:PORT"},
        {{"--bogus"}, 2, "velquor-host: unknown option --bogus (see --help)\n"},
    };
    int index = 0;
    for (const Case &test : cases) {
        HostProcess other;
        std::string errorFile = folder_ / ("error-" + std::to_string(index++) + ".txt");
        EXPECT_EQ(other.run(test.arguments, errorFile), std::optional<int>(test.status)) << test.message;
        std::string printed = readWholeFile(errorFile);
        EXPECT_NE(printed.find(test.message), std::string::npos) << printed;
        EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
    }
    HostProcess help;
    EXPECT_EQ(help.run({"--help"}, folder_ / "help.txt"), std::optional<int>(0));
    EXPECT_NE(help.output().find("Usage: velquor-host"), std::string::npos);
}

TEST_F(VelquorHost, EndsWhenTheModuleFailsToInitialise) {
    HostProcess failing;
    std::string errorFile = folder_ / "init.txt";
    std::vector<std::string> arguments = {"--site", site_, "--data", data_, "--listen", "127.0.0.1:0", "--module",
                                          module()};
    std::string error;
    EXPECT_FALSE(failing.start(arguments, {"VELQUOR_TEST_MODULE_INIT=MGen"}, errorFile, &error));
    EXPECT_NE(readWholeFile(errorFile).find("velquor-host: the module's initialisation failed with MGen"),
              std::string::npos)
        << error;
}

TEST_F(VelquorHost, AnswersAHeaderFloodWith431AndKeepsItsMemory) {
    page("index.html", "<testCheap/>");
    ASSERT_NO_FATAL_FAILURE(startHost());
    long before = memoryBefore();
    RawClient flood;
    ASSERT_TRUE(flood.connect(host_.port()));
    const std::string line = "X-Flood: " + std::string(8181, 'a') + "\r\n";  // 8 KB lines
    bool taken = flood.send("GET / HTTP/1.1\r\nHost: " + authority() + "\r\n");
    bool checked = false;
    auto begun = Clock::now();
    for (size_t sent = 0; taken && Clock::now() - begun < 3s && !flood.readable(0ms); sent += line.size()) {
        if (sent >= (1u << 20) && !checked) {
            expectServedMeanwhile("/", "during the flood");
            checked = true;
        }
        taken = flood.send(line);
    }
    EXPECT_EQ(rawStatus(flood.receive(5s)), 431);
    if (!checked) {
        expectServedMeanwhile("/", "after the flood");
    }
    EXPECT_LT(peakGrowthMB(before), 64);
}

TEST_F(VelquorHost, RefusesBodiesBeyondItsLimitsWithoutRunningATag) {
    page("note.html", "<testRecord database=\"Notes\" note=\"{{form:n}}\"/>");
    ASSERT_NO_FATAL_FAILURE(startHost());
    long before = memoryBefore();
    auto post = [&](const std::string &target, const std::string &type) {
        return "POST " + target + " HTTP/1.1\r\nHost: " + authority() + "\r\nConnection: close\r\nContent-Type: " + type +
               "\r\n";
    };
    const std::string form = "application/x-www-form-urlencoded";
    std::string fields;
    while (fields.size() < (31u << 20)) {
        fields += "a=1&";  // 7.8 million fields
    }
    const std::string part = "--b\r\nContent-Disposition: form-data; name=\"n\"\r\n\r\ncut\r\n";
    auto sized = [](const std::string &body) { return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n"; };
    struct Case {
        const char *what;
        std::string head;
        uint64_t chunked;  // bytes of chunked body to stream, until the host answers
        std::string body;
        int status;
    };
    const Case cases[] = {
        {"300 MB chunked to a missing page", post("/missing.html", form) + "Transfer-Encoding: chunked\r\n\r\n",
         300u << 20, "", 404},
        {"40 MB chunked to a page", post("/note.html", form) + "Transfer-Encoding: chunked\r\n\r\n", 40u << 20, "", 413},
        {"31 MB of fields announced to a missing page", post("/missing.html", form) + sized(fields), 0, "", 404},
        {"31 MB of fields to a page", post("/note.html", form) + sized(fields), 0, fields, 413},
        {"broken chunk framing", post("/note.html", form) + "Transfer-Encoding: chunked\r\n\r\n3\r\nn=x\r\nZZ\r\n", 0, "",
         400},
        {"multipart without its closing delimiter", post("/note.html", "multipart/form-data; boundary=b") + sized(part), 0,
         part, 400},
    };
    const std::string chunk = "10000\r\n" + std::string(0x10000, 'x') + "\r\n";
    for (const Case &test : cases) {
        RawClient client;
        ASSERT_TRUE(client.connect(host_.port()));
        bool taken = client.send(test.head);
        uint64_t sent = 0;
        for (; taken && sent < test.chunked && !client.readable(0ms); sent += 0x10000) {
            taken = client.send(chunk);
        }
        client.send(test.chunked != 0 && sent >= test.chunked ? "0\r\n\r\n" : test.body);
        EXPECT_EQ(rawStatus(client.receive(10s)), test.status) << test.what;
    }
    // The 32 MB cap, the buffer growing to it, and the sanitizer's quarantine of freed
    // buffers, against 1.2 GB when the bodies were read whole.
    EXPECT_LT(peakGrowthMB(before), 320);
    // A client that goes away after 15 of 1,000 bytes.
    RawClient quitter;
    ASSERT_TRUE(quitter.connect(host_.port()));
    ASSERT_TRUE(quitter.send(post("/note.html", form) + "Content-Length: 1000\r\n\r\nn=1234567890123"));
    quitter.close();
    // Stopping waits for every request, so the count below includes any tag they ran.
    ASSERT_NO_FATAL_FAILURE(restartHost());
    EXPECT_EQ(get("/note.html?n=only"), "records=1");
}

TEST_F(VelquorHost, CutsSlowHeaderBlocksAndLimitsConnectionsPerAddress) {
    page("index.html", "<testCheap/>");
    ASSERT_NO_FATAL_FAILURE(startHost());
    long before = memoryBefore();
    std::vector<RawClient> slow(200);
    for (RawClient &client : slow) {
        ASSERT_TRUE(client.connect(host_.port()));
        client.send("GET / HTTP/1.1\r\nHost: " + authority() + "\r\n");
    }
    // A header line to each every second; the host closes what it does not take.
    auto begun = Clock::now();
    size_t open = slow.size();
    for (int round = 0; open > 0 && Clock::now() - begun < 16s; ++round) {
        expectServedMeanwhile("/", "round " + std::to_string(round));
        open = 0;
        for (RawClient &client : slow) {
            if (!client.closedWithin(0ms) && client.send("X-Slow: 1\r\n")) {
                ++open;
            }
        }
        if (round == 0) {
            EXPECT_LE(open, 64u) << "connections of one address";
        }
        std::this_thread::sleep_for(1s);  // the pace of the slow clients, not a wait for an event
    }
    EXPECT_EQ(open, 0u) << "the header deadline cuts them all";
    EXPECT_LT(peakGrowthMB(before), 64);
}

TEST_F(VelquorHost, ServesOverIPv6AndCountsItsLoopbackAsThisMachine) {
    page("v.html", "<testValues cgi=\"REMOTE_ADDR\" cgi=\"SERVER_NAME\"/>|<testFolders data=\"x\"/>");
    ASSERT_NO_FATAL_FAILURE(startHost({"--listen", "[::1]:0"}));
    EXPECT_NE(host_.output().find("listening on http://[::1]:" + std::to_string(host_.port()) + "/"), std::string::npos);
    const std::string name = "[::1]:" + std::to_string(host_.port());
    auto request = [&](const std::string &line, const std::string &body) {
        return rawRequest(host_.port(), line + " HTTP/1.1\r\nHost: " + name + "\r\nConnection: close\r\nOrigin: http://" +
                                            name + "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                            std::to_string(body.size()) + "\r\n\r\n" + body,
                          "::1");
    };
    std::string page = request("GET /v.html", "");
    EXPECT_NE(page.find("cgi:REMOTE_ADDR=::1;cgi:SERVER_NAME=::1;|page="), std::string::npos) << page;
    EXPECT_NE(page.find(";vhost=" + name), std::string::npos) << page;
    EXPECT_EQ(rawStatus(request("GET /_velquor/", "")), 200);
    EXPECT_EQ(rawStatus(request("POST /_velquor/region/", "greeting=v6")), 200);
    EXPECT_EQ(rawStatus(request("POST /TestAction", "Status=S")), 200);
}

// --- the same host with libvelquor.so ---------------------------------------------------------

class VelquorHostWithModule : public VelquorHost {
protected:
    std::string module() const override { return environmentPath("VELQUOR_MODULE"); }
};

TEST_F(VelquorHostWithModule, IncludeWithoutAURLShowsTheMissingParameterBox) {
    page("index.html", "A<qelIncludeHTTP method=\"GET\">B");
    ASSERT_NO_FATAL_FAILURE(startHost());
    std::string body = get("/");
    EXPECT_EQ(body.find("A<div class=\"velquor-error\""), 0u) << body;
    EXPECT_NE(body.find("The &lt;qelIncludeHTTP&gt; tag failed with error MMRP."), std::string::npos) << body;
    EXPECT_NE(body.find("<p>An &lt;qelIncludeHTTP&gt; tag was found but it is missing its &quot;url&quot; "
                        "parameter.</p>"),
              std::string::npos)
        << body;
    EXPECT_EQ(body.substr(body.size() - 7), "</div>B");
    EXPECT_NE(readWholeFile(data_ + "/velquor.log").find("failed with MMRP"), std::string::npos);
}

// On an IPv6 listener the module's relative includes come back over IPv6 to this host.
TEST_F(VelquorHostWithModule, IncludesRelativePagesOverIPv6) {
    writeWholeFile(site_ + "/news.txt", "news over six");
    page("index.html", "A<qelIncludeHTTP url=\"news.txt\">B");
    ASSERT_NO_FATAL_FAILURE(startHost({"--listen", "[::1]:0"}));
    const std::string name = "[::1]:" + std::to_string(host_.port());
    std::string answer = rawRequest(host_.port(), "GET / HTTP/1.1\r\nHost: " + name + "\r\nConnection: close\r\n\r\n",
                                    "::1");
    EXPECT_EQ(rawStatus(answer), 200) << answer;
    EXPECT_NE(answer.find("\r\n\r\nAnews over sixB"), std::string::npos) << answer << errors();
}

TEST_F(VelquorHostWithModule, IncludesAPagePathWithDotSegments) {
    page("sub/page.html", "[<qelIncludeHTTP url=\"./news.txt\">][<qelIncludeHTTP url=\"../sub/./news.txt\">]");
    page("sub/news.txt", "news");
    ASSERT_NO_FATAL_FAILURE(startHost());
    EXPECT_EQ(get("/sub/page.html"), "[news][news]");
    EXPECT_EQ(get("/sub/./x/../news.txt"), "news");
}

TEST_F(VelquorHostWithModule, TheExampleIndexPageShowsThePlaceholderSyntax) {
    const char *source = std::getenv("VELQUOR_SOURCE_DIR");
    if (source == nullptr) {
        GTEST_SKIP() << "VELQUOR_SOURCE_DIR is not set";
    }
    site_ = std::string(source) + "/examples/site";
    ASSERT_NO_FATAL_FAILURE(startHost());
    std::string body = get("/?NAME=filled");
    for (const char *shown : {"<code>{{form:NAME}}</code>", "<code>{{var:NAME}}</code>", "<code>{{cgi:NAME}}</code>",
                              "asked for as\n<code>/</code>",
                              "<code>\\{{form:NAME}}</code> in a page shows <code>{{form:NAME}}</code>"}) {
        EXPECT_NE(body.find(shown), std::string::npos) << shown << "\n" << body;
    }
    EXPECT_EQ(body.find("filled"), std::string::npos);
}

TEST_F(VelquorHostWithModule, IncludesAnotherServersPageAndOneOfItsOwn) {
    httplib::Server other;
    other.Get("/hello.txt", [](const httplib::Request &, httplib::Response &response) {
        response.set_content("Hello from the other server", "text/plain");
    });
    int otherPort = other.bind_to_any_port("127.0.0.1");
    ASSERT_GT(otherPort, 0);
    std::thread serving([&] { other.listen_after_bind(); });
    page("index.html", "[<qelIncludeHTTP url=\"http://127.0.0.1:" + std::to_string(otherPort) +
                           "/hello.txt\">][<qelIncludeHTTP url=\"/plain.txt\">]");
    page("plain.txt", "plain text of this site");
    ASSERT_NO_FATAL_FAILURE(startHost());
    std::string body = get("/");
    while (!other.is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    other.stop();
    serving.join();
    EXPECT_EQ(body, "[Hello from the other server][plain text of this site]");
}

TEST_F(VelquorHostWithModule, PagesThatIncludeThisHostDoNotStarveTheirInnerRequests) {
    // Each outer page holds a worker while its include waits for an inner request; with
    // two workers kept ready, twenty at once would otherwise leave the inner requests
    // queued until the include's time limit.
    page("outer.html", "[<qelIncludeHTTP url=\"inner.txt\">]");
    page("inner.txt", "inner");
    ASSERT_NO_FATAL_FAILURE(startHost({"--threads", "2"}));
    std::atomic<int> wrong{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 20; ++t) {
        clients.emplace_back([&] {
            httplib::Client client("127.0.0.1", host_.port());
            client.set_read_timeout(60, 0);
            httplib::Result result = client.Get("/outer.html");
            if (!result || result->body != "[inner]")
                ++wrong;
        });
    }
    for (std::thread &client : clients)
        client.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(VelquorHostWithModule, TheRegionPageSwitchesATagOffAcrossARestart) {
    page("index.html", "A<qelIncludeHTTP>B");
    page("shop/index.html", "A<qelIncludeHTTP>B");
    ASSERT_NO_FATAL_FAILURE(startHost());
    std::string region = get("/_velquor/region/");
    EXPECT_NE(region.find("<input type=\"checkbox\" name=\"qelIncludeHTTP\" value=\"yes\" CHECKED>"), std::string::npos)
        << region;
    httplib::Result result = post("/_velquor/region/", "qelPOP=yes&qelSendMail=yes", sameOrigin());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_NE(result->body.find("<input type=\"checkbox\" name=\"qelIncludeHTTP\" value=\"yes\">"), std::string::npos)
        << result->body;
    ASSERT_NO_FATAL_FAILURE(restartHost());
    region = get("/_velquor/region/");
    EXPECT_NE(region.find("<input type=\"checkbox\" name=\"qelIncludeHTTP\" value=\"yes\">"), std::string::npos)
        << region;
    EXPECT_NE(region.find("<input type=\"checkbox\" name=\"qelPOP\" value=\"yes\" CHECKED>"), std::string::npos);
    EXPECT_EQ(get("/"), "AB");
    EXPECT_NE(get("/shop/").find("MMRP"), std::string::npos);
}

TEST_F(VelquorHostWithModule, EndsAnIncludeLoopWithinSecondsAndServesOthersMeanwhile) {
    // Each page includes the other twice: without a bound, a tree of requests without end.
    page("a.html", "A[<qelIncludeHTTP url=\"b.html\">][<qelIncludeHTTP url=\"b.html\">]");
    page("b.html", "B[<qelIncludeHTTP url=\"a.html\">][<qelIncludeHTTP url=\"a.html\">]");
    page("plain.txt", "plain");
    ASSERT_NO_FATAL_FAILURE(startHost());
    long threads = host_.status("Threads");
    long before = memoryBefore();
    std::atomic<int> status{0};
    std::thread loop([&] {
        httplib::Client client("127.0.0.1", host_.port());
        client.set_read_timeout(20, 0);
        httplib::Result result = client.Get("/a.html");
        status = result ? result->status : -1;
    });
    expectServedMeanwhile("/plain.txt", "during the loop");
    loop.join();
    EXPECT_EQ(status.load(), 200);
    EXPECT_NE(readWholeFile(data_ + "/velquor.log").find("pages requested by the include tag are in progress at once"),
              std::string::npos);
    EXPECT_LT(peakGrowthMB(before), 100);
    // The threads of the loop's connections end with them.
    auto begun = Clock::now();
    while (host_.status("Threads") > threads + 1 && Clock::now() - begun < 15s) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_LE(host_.status("Threads"), threads + 1);
}

TEST_F(VelquorHostWithModule, AnIncludeNeverReachesTheAdministrationAreaOrTheAction) {
    page("index.html", "[<qelIncludeHTTP url=\"/_velquor/region/\" method=\"POST\" postArgumentName=\"qelPOP\" "
                       "postArgumentValue=\"yes\">][<qelIncludeHTTP url=\"/_velquor/\">]"
                       "[<qelIncludeHTTP url=\"/SendMail\" method=\"POST\">]");
    ASSERT_NO_FATAL_FAILURE(startHost());
    std::string body = get("/");
    EXPECT_NE(body.find("The include tag cannot reach the administration area.</p></body></html>\n]["
                        "<!DOCTYPE html>"),
              std::string::npos)
        << body;
    EXPECT_NE(body.find("The include tag cannot post the module&#39;s action."), std::string::npos) << body;
    EXPECT_EQ(body.find("velquor-host administration"), std::string::npos) << body;
    // The region's tags are as they were: the post never arrived.
    std::string region = get("/_velquor/region/");
    EXPECT_NE(region.find("name=\"qelIncludeHTTP\" value=\"yes\" CHECKED>"), std::string::npos) << region;
}

TEST_F(VelquorHostWithModule, RelativeIncludesGoToThisHostWhateverPortTheClientNames) {
    httplib::Server decoy;
    decoy.Get("/plain.txt", [](const httplib::Request &, httplib::Response &response) {
        response.set_content("DECOY", "text/plain");
    });
    int decoyPort = decoy.bind_to_any_port("127.0.0.1");
    ASSERT_GT(decoyPort, 0);
    std::thread serving([&] { decoy.listen_after_bind(); });
    page("index.html", "[<qelIncludeHTTP url=\"/plain.txt\">]");
    page("plain.txt", "this host");
    ASSERT_NO_FATAL_FAILURE(startHost({"--server-name", "localhost"}));
    std::string body = get("/", {{"Host", "localhost:" + std::to_string(decoyPort)}});
    while (!decoy.is_running()) {
        std::this_thread::sleep_for(1ms);
    }
    decoy.stop();
    serving.join();
    EXPECT_EQ(body, "[this host]");
}

TEST_F(VelquorHostWithModule, StopsWithinItsGracePeriodWhenAPageHangs) {
    // A server that takes the connection and never answers: the include waits 30 s.
    int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr *>(&address), length), 0);
    ASSERT_EQ(::listen(silent, 4), 0);
    ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr *>(&address), &length), 0);
    page("hang.html", "<qelIncludeHTTP url=\"http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/\">");
    ASSERT_NO_FATAL_FAILURE(startHost());
    std::thread client([&] { client_->Get("/hang.html"); });
    pollfd waiting{silent, POLLIN, 0};
    ASSERT_EQ(poll(&waiting, 1, 10000), 1) << "the include never connected";
    auto begun = Clock::now();
    host_.signal(SIGTERM);
    EXPECT_EQ(host_.waitForExit(16s), std::optional<int>(0));
    EXPECT_GE(Clock::now() - begun, 10s);
    EXPECT_NE(host_.output().find("velquor-host: stopped, leaving 1 requests unfinished"), std::string::npos)
        << host_.output();
    EXPECT_NE(readWholeFile(data_ + "/velquor.log").find("the module is terminated without waiting for them"),
              std::string::npos);
    client.join();
    ::close(silent);
}

} // namespace
} // namespace velquor::host::test
