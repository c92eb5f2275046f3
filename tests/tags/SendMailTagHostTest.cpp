// SendMailTagHostTest.cpp: qelSendMail pages of a real velquor-host sending through the
// distribution's SMTP server (aiosmtpd) over STARTTLS and over TLS with AUTH, as the server
// settings of the host's data folder ask: the message and its attachment arrive intact, no
// AUTH comes before STARTTLS, refusals end in the failed-mail log with the server's reply,
// and a resend from the failed-mail page goes out with the same settings.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/HostProcess.h"
#include "host/TempFolder.h"
#include "host/lib/DatabaseStore.h"
#include "mail/SMTPServerProcess.h"
#include "module/HostInterface.h"
#include "support/TestCertificates.h"
#include "tags/StoredRecords.h"

using velquor::host::DatabaseStore;
using velquor::host::FieldValue;
using velquor::host::test::HostProcess;
using velquor::host::test::RawClient;
using velquor::host::test::TempFolder;
using velquor::host::test::readWholeFile;
using velquor::host::test::writeWholeFile;
using velquor::test::TestCertificates;

namespace {

using Record = StoredRecord;
using Clock = std::chrono::steady_clock;

const char kUser[] = "mailer";
const char kPassword[] = "Pass-w0rd for the test";
const char kWrongPassword[] = "not-the-password";
// Every wait for the host's background work ends after this (sanitizers make it slow).
constexpr std::chrono::seconds kPatience(90);

// The command words of a server's log, in order ("EHLO", "STARTTLS", "AUTH", ...).
std::vector<std::string> Words(const std::vector<SMTPServerProcess::Command> &commands) {
    std::vector<std::string> words;
    for (const SMTPServerProcess::Command &command : commands)
        words.push_back(command.line.substr(0, command.line.find(' ')));
    return words;
}

size_t FilesIn(const std::string &folder) {
    size_t count = 0;
    std::error_code ignored;
    for (auto it = std::filesystem::directory_iterator(folder, ignored); it != std::filesystem::directory_iterator();
         ++it)
        ++count;
    return count;
}

class SendMailTagHostTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        certificateFolder_ = new TempFolder();
        certificates_ = new TestCertificates();
        made_ = certificates_->make(certificateFolder_->path(), &certificateError_);
    }
    static void TearDownTestSuite() {
        delete certificates_;
        delete certificateFolder_;
    }

    void SetUp() override {
        const char *module = std::getenv("VELQUOR_MODULE");
        if (HostProcess::binary().empty() || module == nullptr)
            GTEST_SKIP() << "velquor-host or libvelquor.so is not built";
        ASSERT_TRUE(made_) << certificateError_;
        const std::string certificate = certificates_->certificate(TestCertificates::Kind::Server);
        const std::string key = certificates_->key(TestCertificates::Kind::Server);
        const std::string account = std::string(kUser) + ":" + kPassword;
        std::string error;
        ASSERT_TRUE(starttls_.start(folder_ / "starttls-mail",
                                    {"--starttls", certificate, key, "--auth", account, "--command-log",
                                     folder_ / "starttls.log"},
                                    &error))
            << error;
        ASSERT_TRUE(tls_.start(folder_ / "tls-mail",
                               {"--tls", certificate, key, "--auth", account, "--command-log", folder_ / "tls.log"},
                               &error))
            << error;
        ASSERT_TRUE(plain_.start(folder_ / "plain-mail", {"--command-log", folder_ / "plain.log"}, &error)) << error;
        WriteSettings(kPassword);
        std::filesystem::create_directories(folder_ / "site/mail");
        writeWholeFile(folder_ / "site/mail/admin.html", "<html><body><qelSendMail mode=\"admin\" /></body></html>\n");
        for (int i = 0; i < 70000; ++i)
            attachment_.push_back(static_cast<char>((i * 7 + i / 256) % 256));
        writeWholeFile(folder_ / "site/mail/data.bin", attachment_);
        ASSERT_TRUE(host_.start({"--site", folder_ / "site", "--data", data_, "--listen", "127.0.0.1:0", "--module",
                                 module},
                                {}, folder_ / "host.err", &error))
            << error;
    }
    void TearDown() override {
        if (host_.running()) {
            EXPECT_EQ(host_.stop(), std::optional<int>(0)) << readWholeFile(folder_ / "host.err");
        }
    }

    // <data>/Settings/servers.conf, readable by its owner only, trusting the test CA; it
    // replaces the last one in one step, as an administrator's editor would.
    void WriteSettings(const std::string &password) {
        const std::string ca = certificates_->caFile();
        const std::string credentials = std::string("user = ") + kUser + "\npassword = " + password + "\n";
        std::filesystem::create_directories(data_ + "/Settings");
        const std::string temporary = data_ + "/Settings/servers.conf.new";
        writeWholeFile(temporary, "# the test's mail servers\n[" + starttls_.hostAndPort() +
                                      "]\nsecurity = starttls\n" + credentials + "ca-file = " + ca + "\n\n[" +
                                      tls_.hostAndPort() + "]\nsecurity = tls\n" + credentials + "ca-file = " + ca +
                                      "\n\n[" + plain_.hostAndPort() + "]\nsecurity = starttls\nca-file = " + ca +
                                      "\n");
        ASSERT_EQ(0, chmod(temporary.c_str(), 0600));
        std::filesystem::rename(temporary, data_ + "/Settings/servers.conf");
    }

    // Writes /mail/<name>.html holding one qelSendMail tag for server, with the attachment.
    void Page(const std::string &name, const SMTPServerProcess &server) {
        writeWholeFile(folder_ / ("site/mail/" + name + ".html"),
                       "<html><body><qelSendMail mailServer=\"" + server.hostAndPort() +
                           "\" from=\"site@site.test\" to=\"to@x.test\" subject=\"Report " + name +
                           "\" attachmentFileLocation=\"data.bin\">See the file.\n</qelSendMail>sent</body></html>\n");
    }

    // The response to a request (GET without a body), the page's status line checked.
    std::string Request(const std::string &method, const std::string &path, const std::string &body = "") {
        RawClient client;
        if (!client.connect(host_.port()))
            return "";
        std::string head = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(host_.port()) +
                           "\r\nConnection: close\r\n";
        if (!body.empty())
            head += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\n";
        client.send(head + "\r\n" + body);
        return client.receive(kPatience);
    }

    // Requests the page and checks that the tag started its job without an error box.
    void Send(const std::string &name) {
        const std::string response = Request("GET", "/mail/" + name + ".html");
        EXPECT_EQ(0u, response.find("HTTP/1.1 200")) << response;
        EXPECT_NE(std::string::npos, response.find("sent</body>")) << response;
        EXPECT_EQ(std::string::npos, response.find("qelSendMail")) << response;
    }

    // Waits (bounded) until the server's Maildir holds a message.
    static bool WaitForMessage(const std::string &maildir) {
        const Clock::time_point end = Clock::now() + kPatience;
        while (FilesIn(maildir + "/new") == 0 && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return FilesIn(maildir + "/new") == 1;
    }

    // The records of the failed-mail log, read from the host's database file. Until the
    // host has made the log there is none.
    std::vector<Record> Records() {
        return StoredRecords(data_ + "/velquor.sqlite", "__QELDB__SendMail_Log__",
                             {"Message ID", "SMTP Server", "Info", "QELIDFIELD"});
    }

    // Waits (bounded) until the log holds count records and answers them.
    std::vector<Record> WaitForRecords(size_t count) {
        const Clock::time_point end = Clock::now() + kPatience;
        std::vector<Record> records = Records();
        while (records.size() != count && Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            records = Records();
        }
        return records;
    }

    // The failed-mail record whose server is server's.
    static Record RecordOf(const std::vector<Record> &records, const SMTPServerProcess &server) {
        for (const Record &record : records)
            if (record.at("SMTP Server") == server.hostAndPort())
                return record;
        return Record();
    }

    static TempFolder *certificateFolder_;
    static TestCertificates *certificates_;
    static bool made_;
    static std::string certificateError_;

    TempFolder folder_;
    std::string data_ = folder_ / "data";
    SMTPServerProcess starttls_, tls_, plain_;
    HostProcess host_;
    std::string attachment_;
};

TempFolder *SendMailTagHostTest::certificateFolder_ = nullptr;
TestCertificates *SendMailTagHostTest::certificates_ = nullptr;
bool SendMailTagHostTest::made_ = false;
std::string SendMailTagHostTest::certificateError_;

TEST_F(SendMailTagHostTest, MessagesArriveIntactOverSTARTTLSAndTLSWithAuth) {
    struct Case {
        const char *name;
        SMTPServerProcess *server;
        std::string maildir;
        std::vector<std::string> words;  // the commands the server heard, in order
    } cases[] = {
        {"starttls", &starttls_, folder_ / "starttls-mail",
         {"EHLO", "STARTTLS", "EHLO", "AUTH", "MAIL", "RCPT", "DATA", "QUIT"}},
        {"tls", &tls_, folder_ / "tls-mail", {"EHLO", "AUTH", "MAIL", "RCPT", "DATA", "QUIT"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Page(c.name, *c.server);
        Send(c.name);
        ASSERT_TRUE(WaitForMessage(c.maildir));
        SMTPServerProcess::Message message;
        std::string error;
        ASSERT_TRUE(SMTPServerProcess::ReadMessage(c.maildir, &message, &error)) << error;
        ASSERT_EQ(1u, message.parts.size());
        EXPECT_EQ("data.bin", message.parts[0].first);
        EXPECT_TRUE(attachment_ == message.parts[0].second) << "the attachment differs";
        ASSERT_EQ(1u, message.bodies.size());
        EXPECT_EQ("See the file.\n\n", message.bodies[0]);
        EXPECT_EQ(std::vector<std::string>{"to@x.test"}, message.recipients);
        // QUIT may still be on its way when the message is there.
        std::vector<SMTPServerProcess::Command> commands = c.server->commands();
        const Clock::time_point end = Clock::now() + kPatience;
        while (Words(commands).size() < c.words.size() && Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            commands = c.server->commands();
        }
        EXPECT_EQ(c.words, Words(commands));
        for (const SMTPServerProcess::Command &command : commands) {
            if (command.line.rfind("AUTH", 0) == 0) {
                EXPECT_EQ("AUTH PLAIN ********", command.line);
            }
        }
    }
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(0u, FilesIn(data_ + "/FM"));
}

TEST_F(SendMailTagHostTest, RefusalsAreLoggedWithTheReplyAndAResendUsesTheSettings) {
    // A wrong password, and a server that offers no STARTTLS although the settings ask it.
    WriteSettings(kWrongPassword);
    Page("refused", starttls_);
    Send("refused");
    ASSERT_EQ(1u, WaitForRecords(1).size()) << readWholeFile(data_ + "/velquor.log");
    Page("plain", plain_);
    Send("plain");
    std::vector<Record> records = WaitForRecords(2);
    ASSERT_EQ(2u, records.size());
    const Record refused = RecordOf(records, starttls_);
    EXPECT_EQ("Authentication refused by the server (535 5.7.8 Authentication credentials invalid)",
              refused.at("Info"));
    const std::string offered = RecordOf(records, plain_)["Info"];
    EXPECT_EQ(0u, offered.find("STARTTLS not offered by the server (250-")) << offered;
    for (const Record &record : records) {
        EXPECT_EQ(std::string::npos, record.at("Info").find(kWrongPassword));
        EXPECT_EQ(std::string::npos, record.at("Info").find(kPassword));
    }

    // Each job said QUIT before it reported: no AUTH before STARTTLS, and nothing but EHLO
    // where STARTTLS was missing.
    EXPECT_EQ(std::vector<std::string>({"EHLO", "STARTTLS", "EHLO", "AUTH", "QUIT"}), Words(starttls_.commands()));
    EXPECT_EQ(std::vector<std::string>({"EHLO", "QUIT"}), Words(plain_.commands()));

    // The right password again, and the refused message resent from the failed-mail page.
    WriteSettings(kPassword);
    const std::string response =
        Request("POST", "/mail/admin.html",
                "qelSendMailAction=Send&qelSendMailRecordID=" + refused.at("QELIDFIELD") +
                    "&qelSendMailMessageID=" + refused.at("Message ID") + "&qelSendMailPage=1");
    EXPECT_NE(std::string::npos, response.find("The message is now being resent.")) << response;
    ASSERT_TRUE(WaitForMessage(folder_ / "starttls-mail"));
    records = WaitForRecords(1);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(plain_.hostAndPort(), records[0].at("SMTP Server"));
    SMTPServerProcess::Message message;
    std::string error;
    ASSERT_TRUE(SMTPServerProcess::ReadMessage(folder_ / "starttls-mail", &message, &error)) << error;
    ASSERT_EQ(1u, message.parts.size());
    EXPECT_TRUE(attachment_ == message.parts[0].second) << "the resent attachment differs";
}

}  // namespace
