// HostileServersTest.cpp: the three network tags against servers that misbehave on purpose
// (silent, trickling, endless, closing mid-reply, talking past their reply, TLS servers that
// stall, close or answer in plain text): each ends within its bound with a clear failure,
// having read no more than its cap, and loses or invents nothing.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <thread>
#include <optional>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/TemporaryFolder.h"
#include "host/HostProcess.h"
#include "host/lib/DatabaseStore.h"
#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "mail/EmailMessage.h"
#include "mail/Thread.h"
#include "module/HostInterface.h"
#include "net/NetworkLimits.h"
#include "net/ScriptedServer.h"
#include "net/ServerSettings.h"
#include "net/TestResolver.h"
#include "platform/Clock.h"

using velquor::host::DatabaseStore;
using velquor::host::FieldValue;
using velquor::host::Host;
using velquor::host::HostRequest;
using velquor::host::test::HostProcess;
using velquor::host::test::rawRequest;
using velquor::host::test::rawStatus;
using velquor::host::test::readWholeFile;
using velquor::host::test::writeWholeFile;

namespace {

using Clock = std::chrono::steady_clock;
using Script = ScriptedServer::Script;

QELString Q(const std::string &text) { return QELString(text.data(), static_cast<uint32_t>(text.size())); }

// Every case ends within this, however loaded the machine (the limits below are 1 s and
// 2 s; a case takes a few of them at most).
constexpr double kBoundSeconds = 25.0;
constexpr uint64_t kEndless = 200ull * 1024 * 1024;
const char kAccepted[] = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n";

// The first-byte limit 1 s, a whole reply (a TLS handshake, an SMTP verdict) 2 s, and a
// retrieval cap of 1 MB.
void SetHostileLimits() {
    QELNetworkLimits limits = kDefaultNetworkLimits;
    limits.firstByteMilliseconds = 1000;
    limits.replyMilliseconds = 2000;
    limits.tlsHandshakeMilliseconds = 2000;
    limits.smtpVerdictMilliseconds = 2000;
    limits.pop3RetrievalByteCap = 1024 * 1024;
    SetNetworkLimits(limits);
}

// The largest value of a "min default max" line of /proc/sys.
uint64_t LargestOf(const char *path) {
    std::ifstream in(path);
    uint64_t low = 0, middle = 0, high = 0;
    if (!(in >> low >> middle >> high))
        return 64ull * 1024 * 1024;
    return high;
}

// What the server may get out beyond what the client read: the client's receive buffer
// and the server's send buffer, each at the most the system lets them grow, and a spare MB.
uint64_t SocketBufferAllowance() {
    static const uint64_t allowance = LargestOf("/proc/sys/net/ipv4/tcp_rmem") +
                                      LargestOf("/proc/sys/net/ipv4/tcp_wmem") + 1024 * 1024;
    return allowance;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A TLS server that stalls, closes or answers in plain text: the ClientHello arrives first.
Script &StallHandshake(Script &script) { return script.receiveBytes(1).waitForClientClose(20000); }
Script &CloseInHandshake(Script &script) { return script.receiveBytes(1); }
Script &PlainAnswerToHandshake(Script &script) {
    return script.receiveBytes(1).send("HTTP/1.0 400 Bad Request\r\n\r\nnot TLS\r\n").waitForClientClose(20000);
}

// One hostile behaviour: what the server does, what the failure text must hold (one of
// them; "" for a case that succeeds), and the cap its bytes are held to.
struct Behaviour {
    const char *what;
    std::function<void(ScriptedServer &)> script;
    std::vector<std::string> causes;
    uint64_t cap;
    bool tls = false;
};

void Record(const char *tag, const char *what, double seconds, uint64_t bytes) {
    std::printf("[measured] %-9s %-44s %6.2f s %11llu bytes sent\n", tag, what, seconds,
                static_cast<unsigned long long>(bytes));
}

bool HoldsOneOf(const std::string &text, const std::vector<std::string> &causes) {
    for (const std::string &cause : causes)
        if (text.find(cause) != std::string::npos)
            return true;
    return false;
}

class HostileServersTest : public ::testing::Test {
protected:
    void SetUp() override { SetHostileLimits(); }
    void TearDown() override {
        EXPECT_TRUE(QELThread::WaitUntilNoneRuns(30000));
        QELServerSettings::Shared().setFilePath(QELString());
        QELServerSettings::Shared().refresh();
        ResetNetworkLimits();
    }
    // Settings that ask for TLS from the first byte with the server at hostAndPort.
    void RequireTLS(const std::string &folder, const std::string &hostAndPort) {
        std::filesystem::create_directories(folder);
        const std::string path = folder + "/servers.conf";
        { std::ofstream(path) << "[" << hostAndPort << "]\nsecurity = tls\n"; }
        chmod(path.c_str(), 0600);
        QELServerSettings::Shared().setFilePath(Q(path));
        QELServerSettings::Shared().refresh();
    }
    TestResolver resolver_;
    TemporaryFolder folder_;
};

// The include: nothing of a failed response reaches the page, the log says why.
TEST_F(HostileServersTest, IncludeEndsInTimeEmptyAndLogged) {
    const uint64_t cap = kDefaultNetworkLimits.httpResponseByteCap;
    const std::vector<Behaviour> behaviours = {
        {"accepts and never speaks", [](ScriptedServer &s) { s.connection().receiveRequest().waitForClientClose(20000); },
         {"no reply from 127.0.0.1:", " within 1 s"}, 0},
        {"one byte per second",
         [](ScriptedServer &s) {
             s.connection().receiveRequest().trickle("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", 1000);
         },
         {"not complete within 2 s"}, 0},
        {"200 MB without end",
         [](ScriptedServer &s) { s.connection().receiveRequest().send("HTTP/1.0 200 OK\r\n\r\n").stream(kEndless); },
         {"larger than 16777216 bytes", "not complete within 2 s"}, cap},
        {"close mid-reply",
         [](ScriptedServer &s) {
             s.connection().receiveRequest().send("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nonly part");
         },
         {"ended after 49 bytes, before its announced length"}, 0},
        {"close inside the header block",
         [](ScriptedServer &s) { s.connection().receiveRequest().send("HTTP/1.0 200 OK\r\nContent-Ty"); },
         {"ended inside its header block"}, 0},
        {"bytes after a complete reply",
         [](ScriptedServer &s) {
             s.connection().receiveRequest().send(
                 "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhelloHTTP/1.0 200 OK\r\n\r\nmore");
         },
         {}, 0},
        {"TLS handshake stalls", [](ScriptedServer &s) { StallHandshake(s.connection()); },
         {"did not end within 2 s"}, 0, true},
        {"TLS handshake closed", [](ScriptedServer &s) { CloseInHandshake(s.connection()); },
         {"the TLS handshake with 127.0.0.1:"}, 0, true},
        {"TLS handshake answered in plain text", [](ScriptedServer &s) { PlainAnswerToHandshake(s.connection()); },
         {"wrong version number", "packet length too long", "record layer failure"}, 0, true},
    };
    for (const Behaviour &b : behaviours) {
        ScriptedServer server;
        b.script(server);
        server.start();
        HostRequest request(QEL_REQUEST_TAG);
        request.setTagName("qelIncludeHTTP");
        request.setVirtualHost("www.example.com");
        request.setCGIVariable("SCRIPT_NAME", "/dir/page.html");
        request.addTagParameter("url", std::string(b.tls ? "https://" : "http://") + server.hostAndPort() + "/x");
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(0, request.run(ProcessQELRequest)) << b.what;
        const double seconds = SecondsSince(start);
        server.finish(0);
        Record("include", b.what, seconds, server.sentBytes(0));
        EXPECT_LT(seconds, kBoundSeconds) << b.what;
        EXPECT_LE(server.sentBytes(0), b.cap + SocketBufferAllowance()) << b.what;
        if (b.causes.empty()) {
            EXPECT_EQ("hello", request.output()) << b.what;
            EXPECT_TRUE(request.logEntries().empty()) << b.what;
            continue;
        }
        EXPECT_EQ("", request.output()) << b.what;
        EXPECT_FALSE(request.errorInfo().has_value()) << b.what;
        ASSERT_EQ(1u, request.logEntries().size()) << b.what;
        EXPECT_TRUE(HoldsOneOf(request.logEntries()[0].text, b.causes)) << b.what << ": " << request.logEntries()[0].text;
    }
}

std::vector<std::string> FilesIn(const std::string &folder) {
    std::vector<std::string> names;
    if (DIR *listing = opendir(folder.c_str())) {
        while (struct dirent *entry = readdir(listing))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        closedir(listing);
    }
    return names;
}

// An SMTP server's side up to the message text (whose end it waits for).
Script &UpToTheText(Script &script) {
    return script.send("220 smtp.test ready\r\n")
        .receiveUntil("HELO machine.test\r\n")
        .send("250 smtp.test\r\n")
        .receiveUntil("MAIL FROM: <")
        .send("250 sender ok\r\n")
        .receiveUntil("RCPT TO: <to@x.test>\r\n")
        .send("250 recipient ok\r\n")
        .receiveUntil("DATA\r\n")
        .send("354 go ahead\r\n")
        .receiveUntil("\r\n.\r\n");
}

// A delivery: a failure is spooled and posted "F" with its cause, never counted delivered.
TEST_F(HostileServersTest, DeliveryIsSpooledAndPostedWithItsCause) {
    const uint64_t cap = kDefaultNetworkLimits.smtpReplyByteCap;
    const std::vector<Behaviour> behaviours = {
        {"accepts and never speaks", [](ScriptedServer &s) { s.connection().waitForClientClose(20000); },
         {"No greeting from server (no reply from 127.0.0.1:"}, 0},
        {"one byte per second", [](ScriptedServer &s) { s.connection().trickle("220 smtp.test ready\r\n", 1000); },
         {"No greeting from server (reply from 127.0.0.1:"}, 0},
        {"200 MB without end", [](ScriptedServer &s) { s.connection().send("220-").stream(kEndless); },
         {" bytes)", " not complete within 2 s)"}, cap},
        {"a greeting, then nothing",
         [](ScriptedServer &s) { s.connection().send("220 smtp.test ready\r\n").waitForClientClose(20000); },
         {"HELO failed (no reply from 127.0.0.1:"}, 0},
        {"close mid-reply to the text",
         [](ScriptedServer &s) { UpToTheText(s.connection()).send("250-queued as 12\r\n250-and"); },
         {"No verdict on the message text (the server closed the connection before its reply was whole)"}, 0},
        {"silent after the text",
         [](ScriptedServer &s) { UpToTheText(s.connection()).waitForClientClose(20000); },
         {"No verdict on the message text (no reply from 127.0.0.1:"}, 0},
        {"bytes after a complete reply",
         [](ScriptedServer &s) {
             UpToTheText(s.connection()).send("250 queued\r\n221 and more\r\nnoise").waitForClientClose(20000);
         },
         {}, 0},
        {"TLS handshake stalls", [](ScriptedServer &s) { StallHandshake(s.connection()); },
         {"TLS handshake failed (the TLS handshake with 127.0.0.1:", "did not end within 2 s)"}, 0, true},
        {"TLS handshake closed", [](ScriptedServer &s) { CloseInHandshake(s.connection()); },
         {"TLS handshake failed (the TLS handshake with 127.0.0.1:"}, 0, true},
        {"TLS handshake answered in plain text", [](ScriptedServer &s) { PlainAnswerToHandshake(s.connection()); },
         {"wrong version number", "packet length too long", "record layer failure"}, 0, true},
    };
    for (const Behaviour &b : behaviours) {
        const std::string spool = folder_ / (std::string("spool-") + std::to_string(&b - &behaviours[0]));
        std::filesystem::create_directories(spool);
        ScriptedServer smtp, status;
        b.script(smtp);
        status.connection().receiveRequest().send(kAccepted);
        smtp.start();
        status.start();
        if (b.tls)
            RequireTLS(folder_ / "settings", smtp.hostAndPort());
        QELEmailMessage message(Q(spool), Q("http://" + status.hostAndPort() + "/mail/SendMail"));
        message.SetSMTPServer(Q(smtp.hostAndPort()));
        message.SetFrom(QELString("site@site.test"));
        message.AddTo(QELString("to@x.test"));
        message.SetSubject(QELString("Hostile"));
        message.SetBody(QELString("the text\r\n"));
        const Clock::time_point start = Clock::now();
        ASSERT_TRUE(message.CreateDeliveryJob()) << b.what;
        ASSERT_TRUE(QELThread::WaitUntilNoneRuns(60000)) << b.what;
        const double seconds = SecondsSince(start);
        smtp.finish(0);
        status.finish(0);
        Record("delivery", b.what, seconds, smtp.sentBytes(0));
        EXPECT_LT(seconds, kBoundSeconds) << b.what;
        EXPECT_LE(smtp.sentBytes(0), b.cap + SocketBufferAllowance()) << b.what;
        const std::vector<std::string> files = FilesIn(spool);
        std::string post = status.received(0);
        post = post.substr(post.find("\r\n\r\n") == std::string::npos ? post.size() : post.find("\r\n\r\n") + 4);
        if (b.causes.empty()) {
            // Delivered: no spool file, no post (a new message reports only failures).
            EXPECT_TRUE(files.empty()) << b.what;
            EXPECT_EQ("", post) << b.what;
            continue;
        }
        ASSERT_EQ(1u, files.size()) << b.what;
        EXPECT_EQ(0u, post.find("MessageID=" + files[0] + "&Status=F&")) << b.what << ": " << post;
        const std::string info = post.substr(post.find("&Info=") + 6);
        std::string decoded;
        for (size_t i = 0; i < info.size(); ++i) {
            if (info[i] == '%' && i + 2 < info.size()) {
                decoded.push_back(static_cast<char>(std::stoi(info.substr(i + 1, 2), nullptr, 16)));
                i += 2;
            } else {
                decoded.push_back(info[i] == '+' ? ' ' : info[i]);
            }
        }
        EXPECT_TRUE(HoldsOneOf(decoded, b.causes)) << b.what << ": " << decoded;
        QELServerSettings::Shared().setFilePath(QELString());
        QELServerSettings::Shared().refresh();
    }
}

// A message as the POP3 server holds it.
struct Message {
    std::string uidl;
    std::string text;
};
const Message kFirst = {"uid-1", "Subject: First\r\n\r\nfirst text\r\n"};
const Message kSecond = {"uid-2", "Subject: Second\r\n\r\nsecond text\r\n"};

Script &LogIn(Script &script) {
    return script.send("+OK ready\r\n")
        .receiveUntil("USER demo\r\n")
        .send("+OK\r\n")
        .receiveUntil("PASS secret\r\n")
        .send("+OK\r\n");
}

// Login, then UIDL and LIST of the two messages.
Script &Listed(Script &script) {
    return LogIn(script)
        .receiveUntil("UIDL\r\n")
        .send("+OK\r\n1 uid-1\r\n2 uid-2\r\n.\r\n")
        .receiveUntil("LIST\r\n")
        .send("+OK\r\n1 30\r\n2 31\r\n.\r\n");
}

std::string Retrieval(const Message &message) { return "+OK\r\n" + message.text + ".\r\n"; }

// A second session after a broken one: login, UIDL, the second message stored and deleted.
void SecondMessageAfterNewLogin(ScriptedServer &s) {
    LogIn(s.connection())
        .receiveUntil("UIDL\r\n")
        .send("+OK\r\n1 uid-1\r\n2 uid-2\r\n.\r\n")
        .receiveUntil("RETR 2\r\n")
        .send(Retrieval(kSecond))
        .receiveUntil("DELE 2\r\n")
        .send("+OK\r\n")
        .receiveUntil("QUIT\r\n")
        .send("+OK bye\r\n");
}

struct POPBehaviour {
    Behaviour behaviour;
    std::vector<std::string> stored;  // the unique IDs stored, in order
};

// The POP tag stores nothing it did not receive whole and deletes nothing unstored.
TEST_F(HostileServersTest, POPStoresOnlyWholeMessagesAndDeletesOnlyStoredOnes) {
    const uint64_t listingCap = kDefaultNetworkLimits.pop3ListingByteCap;
    const uint64_t retrievalCap = 1024 * 1024;
    const std::vector<POPBehaviour> behaviours = {
        {{"accepts and never speaks", [](ScriptedServer &s) { s.connection().waitForClientClose(20000); },
          {"no whole greeting (no reply from 127.0.0.1:"}, 0},
         {}},
        {{"one byte per second", [](ScriptedServer &s) { s.connection().trickle("+OK ready\r\n", 1000); },
          {"no whole greeting (reply from 127.0.0.1:"}, 0},
         {}},
        {{"200 MB without end",
          [](ScriptedServer &s) { LogIn(s.connection()).receiveUntil("UIDL\r\n").send("+OK\r\n").stream(kEndless); },
          {"no whole reply to UIDL (reply from 127.0.0.1:"}, listingCap},
         {}},
        {{"a greeting, then nothing", [](ScriptedServer &s) { s.connection().send("+OK ready\r\n").waitForClientClose(20000); },
          {"no whole reply to USER (no reply from 127.0.0.1:"}, 0},
         {}},
        {{"RETR over the cap, then a normal message",
          [](ScriptedServer &s) {
              Listed(s.connection()).receiveUntil("RETR 1\r\n").send("+OK\r\n").stream(kEndless);
              SecondMessageAfterNewLogin(s);
          },
          {"larger than 1048576 bytes", "not complete within 2 s"}, retrievalCap},
         {"uid-2"}},
        {{"close mid-reply",
          [](ScriptedServer &s) {
              Listed(s.connection()).receiveUntil("RETR 1\r\n").send("+OK\r\nSubject: First\r\n\r\nfirst te");
              SecondMessageAfterNewLogin(s);
          },
          {"the server closed the connection before the reply was whole"}, 0},
         {"uid-2"}},
        {{"bytes after a complete reply",
          [](ScriptedServer &s) {
              Listed(s.connection())
                  .receiveUntil("RETR 1\r\n")
                  .send(Retrieval(kFirst) + "+OK\r\nSubject: Forged\r\n\r\nnot sent\r\n.\r\n")
                  .receiveUntil("DELE 1\r\n")
                  .send("+OK\r\n")
                  .receiveUntil("RETR 2\r\n")
                  .send(Retrieval(kSecond))
                  .receiveUntil("DELE 2\r\n")
                  .send("+OK\r\n")
                  .receiveUntil("QUIT\r\n")
                  .send("+OK bye\r\n");
          },
          {}, 0},
         {"uid-1", "uid-2"}},
        {{"TLS handshake stalls", [](ScriptedServer &s) { StallHandshake(s.connection()); },
          {"did not end within 2 s"}, 0, true},
         {}},
        {{"TLS handshake closed", [](ScriptedServer &s) { CloseInHandshake(s.connection()); },
          {"the TLS handshake with 127.0.0.1:"}, 0, true},
         {}},
        {{"TLS handshake answered in plain text", [](ScriptedServer &s) { PlainAnswerToHandshake(s.connection()); },
          {"wrong version number", "packet length too long", "record layer failure"}, 0, true},
         {}},
    };
    for (const POPBehaviour &row : behaviours) {
        const Behaviour &b = row.behaviour;
        const std::string folder = folder_ / (std::string("pop-") + std::to_string(&row - &behaviours[0]));
        std::filesystem::create_directories(folder + "/site/mail");
        Host host;
        host.folders().setSiteRoot(folder + "/site");
        host.folders().setDataRoot(folder + "/data");
        ScriptedServer server;
        b.script(server);
        server.start();
        if (b.tls) {
            std::filesystem::create_directories(folder + "/data/Settings");
            const std::string path = folder + "/data/Settings/servers.conf";
            { std::ofstream(path) << "[" << server.hostAndPort() << "]\nsecurity = tls\n"; }
            chmod(path.c_str(), 0600);
        }
        HostRequest request(host, QEL_REQUEST_TAG);
        request.setTagName("qelPOP");
        request.setRecording(true);
        request.setCGIVariable("SCRIPT_NAME", "/mail/inbox.html");
        request.setPageFolder(folder + "/site/mail");
        request.setRegion("/mail/");
        for (const auto &[name, value] : std::vector<std::pair<std::string, std::string>>{
                 {"username", "demo"}, {"password", "secret"}, {"mailServer", server.hostAndPort()},
                 {"databaseName", "Inbox"}, {"resultVariableName", "inbox"}, {"deleteMessagesOnServer", "yes"}})
            request.addTagParameter(name, value);
        const Clock::time_point start = Clock::now();
        const int32_t result = request.run(ProcessQELRequest);
        const double seconds = SecondsSince(start);
        server.finish(0);
        uint64_t sent = 0;
        for (size_t i = 0; i < server.acceptedCount(); ++i)
            sent += server.sentBytes(i);
        Record("pop", b.what, seconds, sent);
        EXPECT_LT(seconds, kBoundSeconds) << b.what;
        EXPECT_LE(server.sentBytes(0), b.cap + SocketBufferAllowance()) << b.what;
        EXPECT_EQ(std::to_string(row.stored.size()), request.pageVariable("inbox_ResultCount").value_or("")) << b.what;

        std::vector<std::string> stored;
        DatabaseStore &store = host.databases();
        uint32_t handle = 0, count = 0;
        if (store.openDatabase(7, "Inbox", QEL_OPEN_SHARED, &handle) == 0) {
            store.selectRecords(7, handle, "");
            store.selectedCount(7, handle, &count);
            for (uint32_t i = 0; i < count && store.moveToNext(7, handle) == 0; ++i) {
                FieldValue id, text;
                store.getFieldValue(7, handle, "Unique ID", &id);
                store.getFieldValue(7, handle, "Message", &text);
                stored.push_back(id.asText());
                const Message &original = id.asText() == "uid-1" ? kFirst : kSecond;
                EXPECT_EQ(original.text.substr(original.text.find("\r\n\r\n") + 2), text.asText()) << b.what;
            }
            store.closeAll(7);
        }
        EXPECT_EQ(row.stored, stored) << b.what;
        // Only stored messages are deleted, in whichever session.
        std::string dialogue;
        for (size_t i = 0; i < server.acceptedCount(); ++i)
            dialogue += server.received(i);
        for (const char *number : {"1", "2"}) {
            const bool deleted = dialogue.find(std::string("DELE ") + number + "\r\n") != std::string::npos;
            const bool kept = std::find(stored.begin(), stored.end(), std::string("uid-") + number) != stored.end();
            EXPECT_TRUE(!deleted || kept) << b.what << ": DELE " << number;
        }
        std::string log;
        for (const auto &entry : request.logEntries())
            log += entry.text + "\n";
        if (b.causes.empty()) {
            EXPECT_EQ(0, result) << b.what;
            continue;
        }
        EXPECT_TRUE(HoldsOneOf(log, b.causes)) << b.what << ": " << log;
    }
}

// velquor-host stops on SIGTERM while its delivery jobs talk to an SMTP server that never
// answers: one waits for the verdict on its text, the others for a greeting. The jobs give
// up, spool and report their messages, and the host ends within the 60 s that the module's
// termination waits for jobs (with each wait at its default, the verdict alone could take
// ten minutes).
TEST(HostileServersHostTest, SIGTERMEndsJobsWaitingOnASilentServerWithinTheUnloadBound) {
    const char *module = std::getenv("VELQUOR_MODULE");
    if (HostProcess::binary().empty() || module == nullptr)
        GTEST_SKIP() << "velquor-host or libvelquor.so is not built";
    constexpr int kJobs = 3;
    TemporaryFolder folder;
    const std::string data = folder / "data";
    ScriptedServer smtp;
    smtp.connection()
        .send("220 smtp.test ready\r\n")
        .receiveUntil("HELO ")
        .send("250 smtp.test\r\n")
        .receiveUntil("MAIL FROM: <")
        .send("250 sender ok\r\n")
        .receiveUntil("RCPT TO: <")
        .send("250 recipient ok\r\n")
        .receiveUntil("DATA\r\n")
        .send("354 go ahead\r\n")
        .receiveUntil("\r\n.\r\n")
        .waitForClientClose(120000);
    for (int i = 1; i < kJobs; ++i)
        smtp.connection().waitForClientClose(120000);
    smtp.start();
    std::filesystem::create_directories(folder / "site");
    writeWholeFile(folder / "site/send.html", "<html><body><qelSendMail mailServer=\"" + smtp.hostAndPort() +
                                                  "\" from=\"site@site.test\" to=\"to@x.test\" subject=\"Held\">"
                                                  "held text\n</qelSendMail>sent</body></html>\n");
    HostProcess host;
    std::string error;
    ASSERT_TRUE(host.start({"--site", folder / "site", "--data", data, "--listen", "127.0.0.1:0", "--module", module},
                           {}, folder / "host.err", &error))
        << error;
    for (int i = 0; i < kJobs; ++i)
        ASSERT_EQ(200, rawStatus(rawRequest(host.port(), "GET /send.html HTTP/1.0\r\n\r\n")));
    // The first job has sent its whole text and waits for the verdict.
    const Clock::time_point sent = Clock::now();
    while (smtp.received(0).find("\r\n.\r\n") == std::string::npos && SecondsSince(sent) < 60)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_NE(std::string::npos, smtp.received(0).find("\r\n.\r\n"));

    const Clock::time_point start = Clock::now();
    host.signal(SIGTERM);
    const std::optional<int> status = host.waitForExit(std::chrono::seconds(60));
    const double seconds = SecondsSince(start);
    std::printf("[measured] SIGTERM with %d jobs held by a silent server: the host ended after %.2f s\n", kJobs,
                seconds);
    ASSERT_EQ(std::optional<int>(0), status) << readWholeFile(folder / "host.err");
    smtp.finish(0);

    // Every message is spooled and recorded with the cause.
    size_t spooled = 0;
    for (auto it = std::filesystem::directory_iterator(data + "/FM"); it != std::filesystem::directory_iterator(); ++it)
        ++spooled;
    EXPECT_EQ(static_cast<size_t>(kJobs), spooled);
    std::shared_ptr<DatabaseStore> store = DatabaseStore::open(data + "/velquor.sqlite", &error);
    ASSERT_TRUE(store) << error;
    uint32_t handle = 0, count = 0;
    ASSERT_EQ(0, store->openDatabase(1, "__QELDB__SendMail_Log__", QEL_OPEN_SHARED, &handle));
    store->selectRecords(1, handle, "");
    store->selectedCount(1, handle, &count);
    EXPECT_EQ(static_cast<uint32_t>(kJobs), count);
    for (uint32_t i = 0; i < count && store->moveToNext(1, handle) == 0; ++i) {
        FieldValue info, state;
        store->getFieldValue(1, handle, "Info", &info);
        store->getFieldValue(1, handle, "Status", &state);
        EXPECT_EQ("F", state.asText());
        EXPECT_NE(std::string::npos, info.asText().find("the module is stopping")) << info.asText();
    }
    store->closeAll(1);
}

// A mailbox of 100,000 messages, every one stored before: the fetch retrieves none, deletes
// none and counts 0 (its time is measured in bench/POPTagBench).
TEST(HostileServersLargeMailboxTest, AHundredThousandStoredMessagesAreNeitherRetrievedNorCounted) {
    ResetNetworkLimits();
    constexpr int kMessages = 100000;
    TestResolver resolver;
    TemporaryFolder folder;
    std::filesystem::create_directories(folder / "site/mail");
    Host host;
    host.folders().setSiteRoot(folder / "site");
    host.folders().setDataRoot(folder / "data");
    std::string uidl = "+OK\r\n", list = "+OK\r\n";
    for (int i = 1; i <= kMessages; ++i) {
        uidl += std::to_string(i) + " stored-" + std::to_string(i) + "\r\n";
        list += std::to_string(i) + " 120\r\n";
    }
    auto fetch = [&](const std::string &listing, const std::string &sizes, std::string *dialogue, double *seconds) {
        ScriptedServer server;
        LogIn(server.connection())
            .receiveUntil("UIDL\r\n")
            .send(listing + ".\r\n")
            .receiveUntil("LIST\r\n")
            .send(sizes + ".\r\n")
            .receiveUntil("QUIT\r\n", 300000)  // the whole pass over the database
            .send("+OK bye\r\n");
        server.start();
        HostRequest request(host, QEL_REQUEST_TAG);
        request.setTagName("qelPOP");
        request.setCGIVariable("SCRIPT_NAME", "/mail/inbox.html");
        request.setPageFolder(folder / "site/mail");
        request.setRegion("/mail/");
        for (const auto &[name, value] : std::vector<std::pair<std::string, std::string>>{
                 {"username", "demo"}, {"password", "secret"}, {"mailServer", server.hostAndPort()},
                 {"databaseName", "Inbox"}, {"resultVariableName", "inbox"}, {"deleteMessagesOnServer", "yes"}})
            request.addTagParameter(name, value);
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(0, request.run(ProcessQELRequest));
        *seconds = SecondsSince(start);
        server.finish(0);
        EXPECT_FALSE(server.clientWaitExpired());
        *dialogue = server.received(0);
        return request.pageVariable("inbox_ResultCount").value_or("");
    };
    // An empty mailbox lays the database out; then every message is stored as fetched before.
    std::string dialogue;
    double seconds = 0;
    ASSERT_EQ("0", fetch("+OK\r\n", "+OK\r\n", &dialogue, &seconds));
    DatabaseStore &store = host.databases();
    uint32_t handle = 0;
    ASSERT_EQ(0, store.openDatabase(9, "Inbox", QEL_OPEN_SHARED, &handle));
    for (int i = 1; i <= kMessages; ++i) {
        ASSERT_EQ(0, store.createRecord(9, handle));
        ASSERT_EQ(0, store.setFieldValue(9, handle, "Unique ID", FieldValue::ofText("stored-" + std::to_string(i))));
        ASSERT_EQ(0, store.addRecord(9, handle));
    }
    store.closeAll(9);

    EXPECT_EQ("0", fetch(uidl, list, &dialogue, &seconds));
    std::printf("[measured] a UIDL of %d messages, all stored before: %.2f s\n", kMessages, seconds);
    EXPECT_EQ(std::string::npos, dialogue.find("RETR"));
    EXPECT_EQ(std::string::npos, dialogue.find("DELE"));
    EXPECT_NE(std::string::npos, dialogue.find("QUIT\r\n"));
    uint32_t count = 0;
    ASSERT_EQ(0, store.openDatabase(9, "Inbox", QEL_OPEN_SHARED, &handle));
    store.selectRecords(9, handle, "");
    store.selectedCount(9, handle, &count);
    store.closeAll(9);
    EXPECT_EQ(static_cast<uint32_t>(kMessages), count);
}

}  // namespace
