// POPTagHostTest.cpp: qelPOP pages served by a real velquor-host running libvelquor.so,
// fetching from the distribution's Dovecot: what the SQLite data holds, the stored files,
// what stays in the Maildir, a refused login on the page, two requests at once, and the
// security that the host's server settings ask for.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/HostProcess.h"
#include "host/POP3ServerProcess.h"
#include "host/TempFolder.h"
#include "host/lib/DatabaseStore.h"
#include "module/HostInterface.h"
#include "net/ScriptedServer.h"
#include "support/TestCertificates.h"
#include "tags/StoredRecords.h"

using velquor::host::DatabaseStore;
using velquor::host::FieldValue;
using velquor::host::test::HostProcess;
using velquor::host::test::POP3Dialogue;
using velquor::host::test::POP3ServerProcess;
using velquor::host::test::RawClient;
using velquor::host::test::TempFolder;
using velquor::host::test::readWholeFile;
using velquor::host::test::writeWholeFile;
using velquor::test::TestCertificates;
using Kind = TestCertificates::Kind;

namespace {

using Record = StoredRecord;

const std::string kPlain = "From: Ann Other <ann@x.test>\r\nTo: demo@site.test\r\nSubject: Plain\r\n"
                           "Date: Sat, 09 Mar 2024 14:05:09 +0000\r\n\r\nHello,\r\n.a line that begins with a dot\r\n"
                           "See you...\r\n";

// A form-data message whose file part is named r.txt and holds content.
std::string Upload(const std::string &subject, const std::string &content) {
    return "From: form@x.test\r\nSubject: " + subject +
           "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/form-data; boundary=\"XYZ\"\r\n\r\n"
           "--XYZ\r\nContent-Type: text/plain\r\n\r\nA file is attached.\r\n"
           "--XYZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"C:\\docs\\r.txt\"\r\n"
           "Content-Type: text/plain\r\n\r\n" +
           content + "\r\n--XYZ--\r\n";
}

class POPTagHostTest : public ::testing::Test {
protected:
    void SetUp() override { Start({}); }
    // Starts the private Dovecot with more arguments of its launcher, and velquor-host; skips
    // the test when either is missing.
    void Start(const std::vector<std::string> &serverArguments) {
        const char *module = std::getenv("VELQUOR_MODULE");
        if (HostProcess::binary().empty() || module == nullptr)
            GTEST_SKIP() << "velquor-host or libvelquor.so is not built";
        if (!POP3ServerProcess::available())
            GTEST_SKIP() << "Dovecot is not installed (dovecot-core, dovecot-pop3d)";
        std::string error;
        std::vector<std::string> arguments = {"--user", "demo:demo"};
        arguments.insert(arguments.end(), serverArguments.begin(), serverArguments.end());
        ASSERT_TRUE(pop3_.start(folder_ / "dovecot", 0, arguments, folder_ / "pop3.err", &error)) << error;
        std::filesystem::create_directories(folder_ / "site/mail");
        ASSERT_TRUE(host_.start({"--site", folder_ / "site", "--data", data_, "--listen", "127.0.0.1:0", "--module",
                                 module},
                                {}, folder_ / "host.err", &error))
            << error;
    }
    void TearDown() override {
        if (host_.running()) {
            EXPECT_EQ(host_.stop(), std::optional<int>(0)) << readWholeFile(folder_ / "host.err");
        }
        EXPECT_EQ(pop3_.stop(), std::optional<int>(0)) << readWholeFile(folder_ / "pop3.err");
    }

    // Writes a page under /mail/ holding one qelPOP tag with these extra attributes for the
    // server (the private Dovecot unless given); the page shows the count between "count=["
    // and "]".
    void Page(const std::string &name, const std::string &attributes, const std::string &server = "") {
        writeWholeFile(folder_ / ("site/mail/" + name),
                       "<html><body><qelPOP mailServer=\"" + (server.empty() ? pop3_.hostAndPort() : server) +
                           "\" username=\"demo\" databaseName=\"Inbox\" resultVariableName=\"inbox\" "
                           "attachmentFolderLocation=\"files\" " +
                           attributes + ">count=[{{var:inbox_ResultCount}}]</body></html>\n");
    }

    // The whole response to GET /mail/<name> (the fetch may take a while under the sanitizers).
    std::string Get(const std::string &name) {
        RawClient client;
        if (!client.connect(host_.port()))
            return "";
        client.send("GET /mail/" + name + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        return client.receive(std::chrono::seconds(90));
    }

    static std::string CountIn(const std::string &response) {
        size_t start = response.find("count=[");
        size_t end = start == std::string::npos ? start : response.find(']', start);
        return end == std::string::npos ? "(none)" : response.substr(start + 7, end - start - 7);
    }

    // The records of the database "Inbox", read from the host's SQLite file.
    std::vector<Record> Records() {
        return StoredRecords(data_ + "/velquor.sqlite", "Inbox",
                             {"Unique ID", "Subject", "From Name", "From Email", "Date", "Message",
                              "AttachmentFileNames", "Header"});
    }


    // The server's unique identifiers, in its order.
    std::vector<std::string> ServerIdentifiers() {
        POP3Dialogue dialogue;
        dialogue.connect(pop3_.port());
        dialogue.command("USER demo");
        dialogue.command("PASS demo");
        std::string listing = dialogue.command("UIDL", true);
        dialogue.command("QUIT");
        std::vector<std::string> identifiers;
        for (size_t at = listing.find("\r\n"); at != std::string::npos && at + 2 < listing.size();) {
            size_t end = listing.find("\r\n", at + 2);
            std::string line = listing.substr(at + 2, end - at - 2);
            if (line != "." && line.find(' ') != std::string::npos)
                identifiers.push_back(line.substr(line.find(' ') + 1));
            at = end;
        }
        return identifiers;
    }

    // Replaces the host's mail server settings file (<data>/Settings/servers.conf, only its
    // owner may read it) at once.
    void Settings(const std::string &text) {
        const std::string path = data_ + "/Settings/servers.conf";
        std::filesystem::create_directories(data_ + "/Settings");
        writeWholeFile(path + ".new", text);
        ASSERT_EQ(0, chmod((path + ".new").c_str(), 0600));
        std::filesystem::rename(path + ".new", path);
    }

    void Deliver(const std::string &message) {
        std::string error;
        ASSERT_TRUE(pop3_.deliver("demo", message, &error)) << error;
    }

    TempFolder folder_;
    std::string data_ = folder_ / "data";
    POP3ServerProcess pop3_;
    HostProcess host_;
};

TEST_F(POPTagHostTest, FetchesEachMessageOnceAndDeletesOnTheServerOnlyWhenAsked) {
    Deliver(kPlain);
    Deliver(Upload("First upload", "first file"));
    Deliver(Upload("Second upload", "second file"));
    std::vector<std::string> identifiers = ServerIdentifiers();
    ASSERT_EQ(3u, identifiers.size());
    Page("keep.html", "password=\"demo\"");
    Page("delete.html", "password=\"demo\" deleteMessagesOnServer=\"yes\"");

    std::string response = Get("keep.html");
    EXPECT_EQ("3", CountIn(response)) << response;
    std::vector<Record> records = Records();
    ASSERT_EQ(3u, records.size());
    std::map<std::string, Record> bySubject;
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(identifiers[i], records[i]["Unique ID"]);
        bySubject[records[i]["Subject"]] = records[i];
    }
    Record &plain = bySubject["Plain"];
    EXPECT_EQ("Ann Other", plain["From Name"]);
    EXPECT_EQ("ann@x.test", plain["From Email"]);
    EXPECT_EQ("Sat, 09 Mar 2024 14:05:09 +0000", plain["Date"]);
    EXPECT_EQ("\r\nHello,\r\n.a line that begins with a dot\r\nSee you...\r\n", plain["Message"]);
    EXPECT_EQ(0u, plain["Header"].find("+OK"));
    EXPECT_EQ("A file is attached.", bySubject["First upload"]["Message"]);
    // The two files arrive under one name and are stored under two.
    std::set<std::string> stored = {bySubject["First upload"]["AttachmentFileNames"],
                                    bySubject["Second upload"]["AttachmentFileNames"]};
    EXPECT_EQ((std::set<std::string>{"r.txt", "r1.txt"}), stored);
    std::set<std::string> contents;
    for (const std::string &name : stored)
        contents.insert(readWholeFile(folder_ / ("site/mail/files/" + name)));
    EXPECT_EQ((std::set<std::string>{"first file", "second file"}), contents);
    EXPECT_EQ(3u, pop3_.maildirCount("demo"));

    response = Get("keep.html");
    EXPECT_EQ("0", CountIn(response)) << response;
    EXPECT_EQ(3u, Records().size());

    // Only what this request stored is deleted; what earlier requests stored stays.
    Deliver("Subject: Later\r\n\r\nlater text\r\n");
    response = Get("delete.html");
    EXPECT_EQ("1", CountIn(response)) << response;
    EXPECT_EQ(4u, Records().size());
    EXPECT_EQ(3u, pop3_.maildirCount("demo"));
    EXPECT_EQ(identifiers, ServerIdentifiers());
}

TEST_F(POPTagHostTest, AWrongPasswordShowsWhyOnThePageAndLogsTheServersReply) {
    Deliver(kPlain);
    Page("wrong.html", "password=\"not-the-password\"");
    std::string response = Get("wrong.html");
    EXPECT_NE(std::string::npos, response.find("The password was invalid.")) << response;
    EXPECT_NE(std::string::npos, response.find("Please provide the proper password for the given username."));
    EXPECT_EQ("0", CountIn(response));
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(1u, pop3_.maildirCount("demo"));
    std::string log = readWholeFile(data_ + "/velquor.log");
    EXPECT_NE(std::string::npos, log.find("-ERR")) << log;
}

TEST_F(POPTagHostTest, TwoRequestsAtOnceOnANewDatabaseStoreEveryMessageOnce) {
    const int kMessages = 12;
    for (int i = 0; i < kMessages; ++i)
        Deliver("Subject: Message " + std::to_string(i) + "\r\n\r\n" + std::string(2000, 'a' + i % 26) + "\r\n");
    Page("inbox.html", "password=\"demo\"");
    std::string responses[2];
    {
        std::thread other([&] { responses[1] = Get("inbox.html"); });
        responses[0] = Get("inbox.html");
        other.join();
    }
    int total = 0;
    for (const std::string &response : responses) {
        EXPECT_EQ(0u, response.find("HTTP/1.1 200")) << response;
        EXPECT_EQ(std::string::npos, response.find("velquor-error")) << response;
        total += std::atoi(CountIn(response).c_str());
    }
    EXPECT_EQ(kMessages, total);
    std::vector<Record> records = Records();
    std::set<std::string> identifiers, subjects;
    for (Record &record : records) {
        identifiers.insert(record["Unique ID"]);
        subjects.insert(record["Subject"]);
    }
    EXPECT_EQ(size_t(kMessages), records.size());
    EXPECT_EQ(size_t(kMessages), identifiers.size());
    EXPECT_EQ(size_t(kMessages), subjects.size());
}

// The private Dovecot with the test certificate: STLS on its port, POP3S on another.
class POPTagHostTLSTest : public POPTagHostTest {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(certificates_.make(folder_ / "certificates", &error)) << error;
        Start({"--tls", certificates_.certificate(Kind::Server), certificates_.key(Kind::Server)});
    }

    TestCertificates certificates_;
};

// Over POP3S and over STLS, as the settings ask, messages and their files are stored as over
// plain POP3, and Dovecot logs every login as one inside TLS.
TEST_F(POPTagHostTLSTest, MessagesArriveOverPOP3SAndOverSTLS) {
    struct Case {
        const char *name;
        const char *security;
        int port;
    };
    const Case cases[] = {{"POP3S", "tls", pop3_.pop3sPort()}, {"STLS", "starttls", pop3_.port()}};
    size_t stored = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string server = "127.0.0.1:" + std::to_string(c.port);
        Settings("[" + server + "]\nsecurity = " + c.security + "\nca-file = " + certificates_.caFile() + "\n");
        Deliver(Upload(std::string("Over ") + c.name, std::string("sent over ") + c.name));
        Page("secure.html", "password=\"demo\"", server);
        std::string response = Get("secure.html");
        EXPECT_EQ("1", CountIn(response)) << response;
        std::vector<Record> records = Records();
        ASSERT_EQ(++stored, records.size());
        Record &record = records.back();
        EXPECT_EQ(std::string("Over ") + c.name, record["Subject"]);
        EXPECT_EQ("A file is attached.", record["Message"]);
        EXPECT_EQ(std::string("sent over ") + c.name,
                  readWholeFile(folder_ / ("site/mail/files/" + record["AttachmentFileNames"])));
    }
    const std::string log = readWholeFile(folder_ / "dovecot/dovecot.log");
    const std::string login = "Login: user=<demo>";
    size_t logins = 0;
    for (size_t at = log.find(login); at != std::string::npos; at = log.find(login, at + 1)) {
        ++logins;
        const std::string line = log.substr(at, log.find('\n', at) - at);
        EXPECT_NE(std::string::npos, line.find(", TLS")) << line;
    }
    EXPECT_EQ(2u, logins) << log;
}

// A connection the settings ask to secure that cannot be secured (a server without STLS,
// a certificate that does not verify) or settings that cannot be used: the box names the
// cause, escaped, beside the usual texts; the log says the same; neither holds the password,
// and the user name never reaches the server.
TEST_F(POPTagHostTLSTest, ASecureConnectionThatCannotBeMadeShowsItsCauseAndSendsNoUser) {
    const std::string ca = "ca-file = " + certificates_.caFile() + "\n";
    struct Case {
        const char *name;
        std::string settings;
        std::function<void(ScriptedServer::Script &)> script;
        std::string box;       // beside the usual texts; "PORT" stands for the server's port
        const char *logged;    // the cause as the log line gives it
        const char *received;  // what the server received; nullptr: no connection
    };
    const Case cases[] = {
        {"a plain-only server", "[127.0.0.1]\nsecurity = starttls\n" + ca,
         [](ScriptedServer::Script &script) {
             script.send("+OK plain only\r\n").receiveUntil("STLS\r\n").send("-ERR <STLS> unknown\r\n");
         },
         "No secure connection could be made: the server refused STLS: -ERR &lt;STLS&gt; unknown.",
         "the server refused STLS: -ERR <STLS> unknown", "STLS\r\n"},
        {"an expired certificate", "[127.0.0.1]\nsecurity = tls\n" + ca,
         [&](ScriptedServer::Script &script) {
             script.startTLS(certificates_.certificate(Kind::Expired), certificates_.key(Kind::Expired));
         },
         "No secure connection could be made: certificate verification failed for 127.0.0.1:PORT: certificate has "
         "expired.",
         "certificate has expired", "[TLS failed]"},
        {"unusable settings", "[127.0.0.1]\nsecurity = sometimes\n", nullptr,
         "The mail server settings cannot be used; the host's log says why.",
         "is not used: line 2", nullptr},
    };
    const std::string password = "pw-" + std::to_string(getpid()) + "-never-shown";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        if (c.script) {
            c.script(server.connection());
            server.connection().waitForClientClose();
        }
        server.start();
        Settings(c.settings);
        Page("secure.html", "password=\"" + password + "\"", server.hostAndPort());
        const size_t logStart = readWholeFile(data_ + "/velquor.log").size();
        std::string response = Get("secure.html");
        std::string box = c.box;
        if (box.find("PORT") != std::string::npos)
            box.replace(box.find("PORT"), 4, std::to_string(server.port()));
        EXPECT_NE(std::string::npos,
                  response.find("<p>The client was unable to connect to the POP server. " + box +
                                "</p><p>Please try again in a few minutes.</p>"))
            << response;
        EXPECT_EQ("0", CountIn(response));
        EXPECT_EQ(std::string::npos, response.find(password));
        const std::string log = readWholeFile(data_ + "/velquor.log").substr(logStart);
        const size_t line = log.find("qelPOP: login to " + server.hostAndPort() + " failed: ");
        EXPECT_NE(std::string::npos, line) << log;
        EXPECT_NE(std::string::npos, log.find(c.logged, line == std::string::npos ? 0 : line)) << log;
        EXPECT_EQ(std::string::npos, log.find(password)) << log;
        server.finish(c.received == nullptr ? 100 : 2000);
        EXPECT_FALSE(server.clientWaitExpired());
        if (c.received == nullptr) {
            EXPECT_EQ(0u, server.acceptedCount());
        } else {
            ASSERT_EQ(1u, server.acceptedCount());
            EXPECT_EQ(c.received, server.received(0));
        }
    }
}

}  // namespace
