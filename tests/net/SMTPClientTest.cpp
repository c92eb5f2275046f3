// SMTPClientTest.cpp: the SMTP client against scripted loopback servers: the exact
// commands and text, refusals at every step, multi-line replies, refused input and limits,
// and the dialogues over STARTTLS and TLS with AUTH that the server settings ask for.
#include "net/SMTPClient.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "../foundation/TemporaryFolder.h"
#include "ScriptedServer.h"
#include "TestResolver.h"
#include "net/NetworkLimits.h"
#include "net/ServerSettings.h"
#include "support/TestCertificates.h"

namespace {

using velquor::test::TestCertificates;
using Kind = TestCertificates::Kind;

std::string Std(const QELString &text) { return std::string(text.text(), text.length()); }
QELString Q(const std::string &text) { return QELString(text.data(), static_cast<uint32_t>(text.size())); }

const char kGreeting[] = "220 mail.test ESMTP\r\n";
const char kOK[] = "250 OK\r\n";
const char kGoAhead[] = "354 End data with <CR><LF>.<CR><LF>\r\n";
const char kBye[] = "221 Bye\r\n";
const char kHello[] = "HELO machine.test\r\n";
const char kMail[] = "MAIL FROM: <from@x.test>\r\n";
const char kRecipient[] = "RCPT TO: <to@x.test>\r\n";
const char kData[] = "DATA\r\n";
// A dot-stuffed message as the client is given it, and as it goes out.
const char kMessage[] = "Subject: hi\r\n\r\nHello\r\n..x\r\n.";
const std::string kText = std::string(kMessage) + "\r\n";
const char kQuit[] = "QUIT\r\n";

// One command the client must send and the server's reply to it ("" for none), sent
// after a pause when one is given. With upgrade (a certificate and key path without their
// endings ".pem" and ".key"), the server runs a TLS handshake there instead, which its
// record shows as "[TLS]".
struct Exchange {
    std::string command;
    std::string reply;
    int pause = 0;
    std::string upgrade = std::string();
};

// The exchanges of a dialogue that gets as far as the text.
std::vector<Exchange> UpToText(const std::string &verdict) {
    return {{kHello, kOK}, {kMail, kOK}, {kRecipient, kOK}, {kData, kGoAhead}, {kText, verdict}};
}

std::vector<Exchange> Then(std::vector<Exchange> exchanges, const std::vector<Exchange> &more) {
    exchanges.insert(exchanges.end(), more.begin(), more.end());
    return exchanges;
}

class SMTPClientTest : public ::testing::Test {
protected:
    // A reply that does not end by its own completion runs into the whole-reply limit.
    void SetUp() override { SetLimits(600000); }
    void TearDown() override { ResetNetworkLimits(); }

    static void SetLimits(uint32_t verdict, uint32_t firstByte = 5000) {
        QELNetworkLimits limits = kDefaultNetworkLimits;
        limits.firstByteMilliseconds = firstByte;
        limits.replyMilliseconds = 5000;
        limits.quietMilliseconds = 60000;
        limits.smtpVerdictMilliseconds = verdict;
        SetNetworkLimits(limits);
    }

    // Greets, then waits for each command after all before it and sends its reply (line
    // by line with a pause between when split); hangs up after the last, or waits for the
    // client to close. Returns everything the client must have sent.
    static std::string Play(ScriptedServer &server, const std::string &greeting,
                            const std::vector<Exchange> &exchanges, bool split = false, bool hangUp = false) {
        ScriptedServer::Script &script = server.connection();
        script.send(greeting);
        std::string transcript;
        for (const Exchange &exchange : exchanges) {
            if (!exchange.upgrade.empty()) {
                script.startTLS(exchange.upgrade + ".pem", exchange.upgrade + ".key");
                transcript += "[TLS]";
                continue;
            }
            transcript += exchange.command;
            script.receiveUntil(transcript);
            if (exchange.pause > 0)
                script.pause(exchange.pause);
            for (size_t start = 0; start < exchange.reply.size();) {
                size_t end = split ? exchange.reply.find('\n', start) + 1 : exchange.reply.size();
                script.send(exchange.reply.substr(start, end - start));
                start = end;
                if (start < exchange.reply.size())
                    script.pause(100);
            }
        }
        if (!hangUp)
            script.waitForClientClose();
        server.start();
        return transcript;
    }

    static QELString Send(const std::string &server, const std::string &recipients, const std::string &text,
                          const std::string &sender = "from@x.test") {
        QELStringSplitter recipientList(Q(recipients), QELString(","));
        QELStringSplitter lines(Q(text), QELString("\r\n"));
        QELSMTPClient client;
        return client.SMTPSend(Q(server), Q(sender), recipientList, lines);
    }

    TestResolver resolver_;
};

TEST_F(SMTPClientTest, SendsTheExactCommandsAndTheTextUnchanged) {
    // Recipients are trimmed and sent in order, empty ones skipped; the text is larger
    // than one send and holds dot-stuffed lines.
    std::string text = "Subject: big\r\n\r\n..\r\n..leading dot\r\n";
    for (int i = 0; i < 150; ++i)
        text += "line " + std::to_string(i) + " " + std::string(40, 'a' + i % 26) + "\r\n";
    text += std::string(5000, 'L') + "\r\n.";
    ScriptedServer server;
    const std::string transcript = Play(server, kGreeting,
                                        {{kHello, kOK},
                                         {kMail, kOK},
                                         {"RCPT TO: <one@x.test>\r\n", kOK},
                                         {"RCPT TO: <two@x.test>\r\n", "251 User not local; will forward\r\n"},
                                         {"RCPT TO: <three@x.test>\r\n", kOK},
                                         {kData, kGoAhead},
                                         {text + "\r\n", "250 queued\r\n"},
                                         {kQuit, kBye}});
    EXPECT_EQ(Std(Send(server.hostAndPort(), " one@x.test ,\t, two@x.test\r\n,,three@x.test", text)), "");
    server.finish();
    EXPECT_EQ(server.received(0), transcript);
    EXPECT_FALSE(server.clientWaitExpired());
}

struct DialogueCase {
    const char *name;
    std::string greeting;
    std::vector<Exchange> exchanges;
    const char *result;
    bool split;
    bool hangUp;
};

TEST_F(SMTPClientTest, EveryRefusalIsAFailureAndAcceptanceIsFinal) {
    const DialogueCase cases[] = {
        {"550 on RCPT: QUIT before DATA",
         kGreeting,
         {{kHello, kOK}, {kMail, kOK}, {kRecipient, "550 No such user\r\n"}, {kQuit, kBye}},
         "550- Mailbox Unavailable", false, false},
        {"554 after the text: QUIT twice", kGreeting,
         Then(UpToText("554 Rejected\r\n"), {{kQuit, kBye}, {kQuit, kBye}}), "554- Transaction Failed", false,
         false},
        {"421 greeting: no QUIT", "421 mail.test busy\r\n", {}, "421- Service Not Available", false, false},
        {"530 after MAIL",
         kGreeting,
         {{kHello, kOK}, {kMail, "530 5.7.0 Authentication required\r\n"}, {kQuit, kBye}},
         "530- Permanent Failure", false, false},
        {"421 after the text", kGreeting,
         Then(UpToText("421 Shutting down\r\n"), {{kQuit, kBye}, {kQuit, kBye}}), "421- Service Not Available",
         false, false},
        {"454 after RCPT",
         kGreeting,
         {{kHello, kOK}, {kMail, kOK}, {kRecipient, "454 Try later\r\n"}, {kQuit, kBye}},
         "454- Temporary Failure", false, false},
        {"554 on DATA",
         kGreeting,
         {{kHello, kOK}, {kMail, kOK}, {kRecipient, kOK}, {kData, "554 No valid recipients\r\n"}, {kQuit, kBye}},
         "554- Transaction Failed", false, false},
        {"no SMTP code on RCPT",
         kGreeting,
         {{kHello, kOK}, {kMail, kOK}, {kRecipient, "354 Go ahead\r\n"}, {kQuit, kBye}},
         "Unexpected reply to RCPT TO (code 354)", false, false},
        {"unknown greeting code", "120 Wait\r\n", {{kQuit, kBye}}, "Unexpected greeting from server (code 120)",
         false, false},
        {"closed after MAIL: no QUIT",
         kGreeting,
         {{kHello, kOK}, {kMail, ""}},
         "MAIL FROM failed (the server closed the connection)", false, true},
        {"multi-line replies", "220-mail.test ESMTP\r\n220 ready\r\n",
         {{kHello, "250-mail.test\r\n250-SIZE 1000000\r\n250 HELP\r\n"},
          {kMail, kOK},
          {kRecipient, "250-first\r\n250 second\r\n"},
          {kData, "354-one\r\n354 two\r\n"},
          {kText, "250-queued\r\n250 as 17\r\n"},
          {kQuit, "221-closing\r\n221 Bye\r\n"}},
         "", true, false},
        {"accepted, then 421 to QUIT", kGreeting, Then(UpToText(kOK), {{kQuit, "421 Closing\r\n"}}), "", false,
         false},
        {"accepted, then closed before QUIT's answer", kGreeting, Then(UpToText(kOK), {{kQuit, ""}}), "", false,
         true},
    };
    for (const DialogueCase &c : cases) {
        ScriptedServer server;
        const std::string transcript = Play(server, c.greeting, c.exchanges, c.split, c.hangUp);
        EXPECT_EQ(Std(Send(server.hostAndPort(), "to@x.test", kMessage)), c.result) << c.name;
        server.finish();
        EXPECT_EQ(server.received(0), transcript) << c.name;
        EXPECT_FALSE(server.clientWaitExpired()) << c.name;
    }
}

struct RefusedCase {
    std::string sender;
    std::string recipients;
    std::string text;
    const char *result;
};

TEST_F(SMTPClientTest, InputThatWouldBreakALineIsRefusedBeforeConnecting) {
    const std::string nul(1, '\0');
    const RefusedCase cases[] = {
        {"from@x.test\r\nRCPT TO: <spy@x.test>", "to@x.test", kMessage,
         "Refused: the sender address contains CR, LF or NUL"},
        {"from@x.test" + nul, "to@x.test", kMessage, "Refused: the sender address contains CR, LF or NUL"},
        {"from@x.test", "to@x.test,a@x.test\nRCPT TO: <spy@x.test>", kMessage,
         "Refused: recipient 2 contains CR, LF or NUL"},
        {"from@x.test", "to" + nul + "@x.test", kMessage, "Refused: recipient 1 contains CR, LF or NUL"},
        {"from@x.test", "to@x.test", "Subject: a\rBcc: spy@x.test\r\n\r\nx\r\n.",
         "Refused: message line 1 contains CR, LF or NUL"},
        {"from@x.test", "to@x.test", "Subject: a\r\n\r\nx" + nul + "\r\n.",
         "Refused: message line 3 contains CR, LF or NUL"},
        {"from@x.test", "to@x.test", "Subject: a\r\n\r\n.\r\nRCPT TO: <spy@x.test>\r\n.",
         "Refused: message line 3 is a lone \".\" before the end of the text"},
        {"from@x.test", "to@x.test", "Subject: a\r\n\r\nx\r\n.\r\n",
         "Refused: the message text does not end with the line \".\""},
        {"from@x.test", " , \t,", kMessage, "Refused: no recipient address"},
    };
    ScriptedServer server;
    server.connection().send(kGreeting).waitForClientClose();
    server.start();
    for (const RefusedCase &c : cases)
        EXPECT_EQ(Std(Send(server.hostAndPort(), c.recipients, c.text, c.sender)), c.result) << c.result;
    server.finish(200);
    EXPECT_EQ(server.acceptedCount(), 0u);
}

TEST_F(SMTPClientTest, UnreachableServersAreNamedInTheResult) {
    RefusingPort refusing;
    const std::string port = std::to_string(refusing.port());
    EXPECT_EQ(Std(Send("unknown.test", "to@x.test", kMessage)), "DNS lookup failed (unknown.test)");
    EXPECT_EQ(Std(Send("server.test:" + port, "to@x.test", kMessage)),
              "Unable to connect to server (server.test:" + port + ")");
}

TEST_F(SMTPClientTest, TheVerdictOnTheTextHasItsOwnLimit) {
    // A verdict later than the usual first-byte limit still counts.
    SetLimits(10000, 2000);
    ScriptedServer patient;
    std::string transcript =
        Play(patient, kGreeting, Then(UpToText(""), {{kQuit, std::string(kOK) + kBye, 2500}}));
    EXPECT_EQ(Std(Send(patient.hostAndPort(), "to@x.test", kMessage)), "");
    patient.finish();
    EXPECT_EQ(patient.received(0), transcript);

    // A server that stays silent after the text fails within the verdict limit, without a
    // second QUIT.
    SetLimits(300);
    ScriptedServer silent;
    transcript = Play(silent, kGreeting, Then(UpToText(""), {{kQuit, ""}}));
    EXPECT_EQ(Std(Send(silent.hostAndPort(), "to@x.test", kMessage)),
              "No verdict on the message text (no reply from " + silent.hostAndPort() + " within 300 ms)");
    silent.finish();
    EXPECT_EQ(silent.received(0), transcript);
}

const char kExtendedHello[] = "EHLO machine.test\r\n";
const char kStartTLS[] = "STARTTLS\r\n";
const char kReady[] = "220 2.0.0 Ready to start TLS\r\n";
const char kAccepted[] = "235 2.7.0 Authentication successful\r\n";
const char kUser[] = "web@site.test";
const char kPassword[] = "s3cret pass";
// The credentials' Base64 forms: AUTH PLAIN's NUL, user, NUL, password; then user and
// password alone for AUTH LOGIN.
const char kPlain[] = "AUTH PLAIN AHdlYkBzaXRlLnRlc3QAczNjcmV0IHBhc3M=\r\n";
const char kUser64[] = "d2ViQHNpdGUudGVzdA==\r\n";
const char kPassword64[] = "czNjcmV0IHBhc3M=\r\n";

// What a dialogue after AUTH shares with the plain one: MAIL FROM to QUIT.
std::vector<Exchange> FromMail() {
    return {{kMail, kOK}, {kRecipient, kOK}, {kData, kGoAhead}, {kText, kOK}, {kQuit, kBye}};
}

// The security settings and certificates of a dialogue.
struct SecureCase {
    const char *name;
    std::string settings;  // the section's settings, "ca-file" of the test CA added
    std::string greeting;  // sent first ("" when the server speaks only after TLS)
    std::vector<Exchange> exchanges;
    std::string result;    // the client's result; with "PORT", the server's port fills it
    std::string record = std::string();  // what the server must have received, when not the transcript
    const char *server = "127.0.0.1";  // the name the client gives, with the server's port
};

class SMTPClientSecurityTest : public SMTPClientTest {
protected:
    static void SetUpTestSuite() {
        std::string error;
        certificates_ = velquor::test::TestCertificates::Shared(&error);
        if (certificates_ == nullptr)
            FAIL() << error;
    }
    void TearDown() override {
        QELServerSettings::Shared().setFilePath(QELString());
        QELServerSettings::Shared().refresh();
        SMTPClientTest::TearDown();
    }

    // Writes a settings file of its own (so that no stamp can hide the change) with this
    // mode, and has the shared settings read it; answers why it cannot be used.
    std::string UseSettings(const std::string &text, mode_t mode = 0600) {
        const std::string path = folder_ / ("servers-" + std::to_string(++files_) + ".conf");
        WriteWholeFile(path, text);
        chmod(path.c_str(), mode);
        QELServerSettings::Shared().setFilePath(Q(path));
        return Std(QELServerSettings::Shared().refresh());
    }

    static Exchange Upgrade(Kind kind) {
        return {"", "", 0, certificates_->folder() + "/" + TestCertificates::Name(kind)};
    }
    static std::string CAFile() { return certificates_->caFile(); }

    // Runs one case against a scripted server; checks the result, the record, and that
    // nothing of AUTH or MAIL preceded TLS.
    void RunCase(const SecureCase &c) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        const std::string port = std::to_string(server.port());
        ASSERT_EQ(UseSettings(std::string("[") + c.server + "]\n" + c.settings + "ca-file = " + CAFile() + "\n"),
                  "");
        const std::string transcript = Play(server, c.greeting, c.exchanges);
        std::string expected = c.result;
        if (expected.find("PORT") != std::string::npos)
            expected.replace(expected.find("PORT"), 4, port);
        const std::string result = Std(Send(std::string(c.server) + ":" + port, "to@x.test", kMessage));
        EXPECT_EQ(result, expected);
        EXPECT_EQ(result.find(kPassword), std::string::npos);
        EXPECT_EQ(result.find("czNjcmV0IHBhc3M"), std::string::npos);
        server.finish();
        const std::string record = server.received(0);
        EXPECT_EQ(record, c.record.empty() ? transcript : c.record);
        const std::string beforeTLS = record.substr(0, record.find("[TLS"));
        EXPECT_EQ(beforeTLS.find("AUTH"), std::string::npos);
        EXPECT_EQ(beforeTLS.find("MAIL"), std::string::npos);
        EXPECT_EQ(beforeTLS.find(kUser64), std::string::npos);
        EXPECT_FALSE(server.clientWaitExpired());
    }

    static const TestCertificates *certificates_;
    TemporaryFolder folder_;
    int files_ = 0;
};

const TestCertificates *SMTPClientSecurityTest::certificates_ = nullptr;

TEST_F(SMTPClientSecurityTest, UpgradesAndAuthenticatesAsTheSettingsAsk) {
    const std::string credentials = std::string("user = ") + kUser + "\npassword = " + kPassword + "\n";
    const std::string longPassword = "long-" + std::string(60, 'x') + "-end";
    const SecureCase cases[] = {
        {"starttls, PLAIN offered beside LOGIN",
         "security = starttls\n" + credentials,
         kGreeting,
         Then({{kExtendedHello, "250-mail.test\r\n250-SIZE 1000000\r\n250 STARTTLS\r\n"},
               {kStartTLS, kReady},
               Upgrade(Kind::Server),
               {kExtendedHello, "250-mail.test\r\n250-auth login plain\r\n250 8BITMIME\r\n"},
               {kPlain, kAccepted}},
              FromMail()),
         ""},
        {"starttls, only LOGIN offered (the older AUTH= form)",
         "security = starttls\n" + credentials,
         kGreeting,
         Then({{kExtendedHello, "250-mail.test\r\n250 STARTTLS\r\n"},
               {kStartTLS, kReady},
               Upgrade(Kind::Server),
               {kExtendedHello, "250-mail.test\r\n250-AUTH=LOGIN\r\n250 HELP\r\n"},
               {"AUTH LOGIN\r\n", "334 VXNlcm5hbWU6\r\n"},
               {kUser64, "334 UGFzc3dvcmQ6\r\n"},
               {kPassword64, kAccepted}},
              FromMail()),
         ""},
        {"starttls without a user: no AUTH",
         "security = starttls\n",
         kGreeting,
         Then({{kExtendedHello, "250-mail.test\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n"},
               {kStartTLS, kReady},
               Upgrade(Kind::Server),
               {kExtendedHello, "250-mail.test\r\n250 AUTH PLAIN\r\n"}},
              FromMail()),
         ""},
        {"tls: the handshake before the greeting",
         "security = tls\n" + credentials,
         "",
         Then({Upgrade(Kind::Server),
               {"", kGreeting},
               {kExtendedHello, "250-mail.test\r\n250 AUTH PLAIN LOGIN\r\n"},
               {kPlain, kAccepted}},
              FromMail()),
         ""},
        {"PLAIN credentials longer than one Base64 line stay on one line",
         "security = tls\nuser = web@site.test\npassword = " + longPassword + "\n",
         "",
         Then({Upgrade(Kind::Server),
               {"", kGreeting},
               {kExtendedHello, "250-mail.test\r\n250 AUTH PLAIN\r\n"},
               {"AUTH PLAIN AHdlYkBzaXRlLnRlc3QAbG9uZy14eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4"
                "eHh4eHh4eHh4eHh4eHgtZW5k\r\n",
                kAccepted}},
              FromMail()),
         ""},
    };
    for (const SecureCase &c : cases)
        RunCase(c);
}

TEST_F(SMTPClientSecurityTest, SecurityFailuresQuoteTheServerAndNeverFallBack) {
    const std::string credentials = std::string("user = ") + kUser + "\npassword = " + kPassword + "\n";
    const std::vector<Exchange> upToTLS = {{kExtendedHello, "250-mail.test\r\n250 STARTTLS\r\n"},
                                           {kStartTLS, kReady},
                                           Upgrade(Kind::Server)};
    const SecureCase cases[] = {
        {"no STARTTLS offered",
         "security = starttls\n",
         kGreeting,
         {{kExtendedHello, "250-mail.test\r\n250-SIZE 1000\r\n250 AUTH PLAIN\r\n"}, {kQuit, kBye}},
         "STARTTLS not offered by the server (250-mail.test / 250-SIZE 1000 / 250 AUTH PLAIN)"},
        {"454 to STARTTLS",
         "security = starttls\n" + credentials,
         kGreeting,
         {{kExtendedHello, "250-mail.test\r\n250 STARTTLS\r\n"},
          {kStartTLS, "454 4.7.0 TLS not available due to temporary reason\r\n"},
          {kQuit, kBye}},
         "STARTTLS refused by the server (454 4.7.0 TLS not available due to temporary reason)"},
        {"EHLO refused",
         "security = starttls\n",
         kGreeting,
         {{kExtendedHello, "502 5.5.1 Unrecognized command\r\n"}, {kQuit, kBye}},
         "EHLO refused by the server (502 5.5.1 Unrecognized command)"},
        {"535 to AUTH PLAIN",
         "security = starttls\n" + credentials,
         kGreeting,
         Then(upToTLS, {{kExtendedHello, "250-mail.test\r\n250 AUTH PLAIN\r\n"},
                        {kPlain, "535 5.7.8 Authentication credentials invalid\r\n"},
                        {kQuit, kBye}}),
         "Authentication refused by the server (535 5.7.8 Authentication credentials invalid)"},
        {"535 to the password of AUTH LOGIN, echoing what it got",
         "security = starttls\n" + credentials,
         kGreeting,
         Then(upToTLS, {{kExtendedHello, "250-mail.test\r\n250 AUTH LOGIN\r\n"},
                        {"AUTH LOGIN\r\n", "334 VXNlcm5hbWU6\r\n"},
                        {kUser64, "334 UGFzc3dvcmQ6\r\n"},
                        {kPassword64, "535-czNjcmV0IHBhc3M= is wrong\r\n535 so is s3cret pass\r\n"},
                        {kQuit, kBye}}),
         "Authentication refused by the server (535-******** is wrong / 535 so is ********)"},
        {"no mechanism in common",
         "security = tls\n" + credentials,
         "",
         {Upgrade(Kind::Server),
          {"", kGreeting},
          {kExtendedHello, "250-mail.test\r\n250-AUTH CRAM-MD5 XOAUTH2\r\n250 LOGINDISABLED\r\n"},
          {kQuit, kBye}},
         "Neither AUTH PLAIN nor AUTH LOGIN offered by the server (250-mail.test / 250-AUTH CRAM-MD5 XOAUTH2 / "
         "250 LOGINDISABLED)"},
        {"expired certificate after STARTTLS: no QUIT on a closed connection",
         "security = starttls\n" + credentials,
         kGreeting,
         {{kExtendedHello, "250-mail.test\r\n250 STARTTLS\r\n"}, {kStartTLS, kReady}, Upgrade(Kind::Expired)},
         "TLS handshake failed (certificate verification failed for 127.0.0.1:PORT: certificate has expired)",
         "EHLO machine.test\r\nSTARTTLS\r\n[TLS failed]"},
        {"expired certificate on the TLS port: not even the greeting",
         "security = tls\n" + credentials,
         "",
         {Upgrade(Kind::Expired), {"", kGreeting}},
         "TLS handshake failed (certificate verification failed for 127.0.0.1:PORT: certificate has expired)",
         "[TLS failed]"},
        {"the certificate must name the server as the page gives it",
         "security = tls\n",
         "",
         {Upgrade(Kind::Server), {"", kGreeting}},
         "TLS handshake failed (certificate verification failed for 127.0.0.1:PORT: hostname mismatch)",
         "[TLS failed]",
         "server.test"},
    };
    for (const SecureCase &c : cases)
        RunCase(c);
}

// A plain server with no port, so that the TLS port's default shows in the client's port.
TEST_F(SMTPClientSecurityTest, TLSWithoutAPortGoesToPort465) {
    ASSERT_EQ(UseSettings("[server.test]\nsecurity = tls\n"), "");
    // The port is held without listening where this test may bind it, so that the attempt
    // is refused rather than reaching another program.
    int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(465);
    const bool held = holder >= 0 && bind(holder, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0;
    QELStringSplitter recipients(QELString("to@x.test"), QELString(","));
    QELStringSplitter lines(QELString(kMessage), QELString("\r\n"));
    QELSMTPClient client;
    const std::string result = Std(client.SMTPSend("server.test", "from@x.test", recipients, lines));
    EXPECT_EQ(client.serverPort(), 465);
    if (held)
        EXPECT_EQ(result, "Unable to connect to server (server.test:465)");
    else
        EXPECT_NE(result, "");
    if (holder >= 0)
        close(holder);
}

TEST_F(SMTPClientSecurityTest, UnusableSettingsSendNothingAnywhere) {
    struct Case {
        std::string settings;
        mode_t mode;
        std::string error;  // the start of the result
    } cases[] = {
        {"[127.0.0.1]\nsecurity = starttls\nsecurity = tls\n", 0600, "line 3: a setting given twice in one section"},
        {"[127.0.0.1]\nsecurity = tls\nuser = u\npassword = p\n", 0644,
         "holds a password and other users may read it"},
    };
    ScriptedServer server;
    server.connection().send(kGreeting).waitForClientClose();
    server.start();
    for (const Case &c : cases) {
        const std::string problem = UseSettings(c.settings, c.mode);
        EXPECT_NE(problem.find(c.error), std::string::npos) << problem;
        // Every server is refused, the ones the file does not name too.
        for (const std::string &name : {server.hostAndPort(), "server.test:" + std::to_string(server.port())})
            EXPECT_EQ(Std(Send(name, "to@x.test", kMessage)), problem);
    }
    server.finish(200);
    EXPECT_EQ(server.acceptedCount(), 0u);
}

}  // namespace
