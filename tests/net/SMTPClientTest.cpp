// SMTPClientTest.cpp: the SMTP client against scripted loopback servers: the exact
// commands and text, refusals at every step, multi-line replies, refused input and limits.
#include "net/SMTPClient.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScriptedServer.h"
#include "TestResolver.h"
#include "net/NetworkLimits.h"

namespace {

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
// after a pause when one is given.
struct Exchange {
    std::string command;
    std::string reply;
    int pause = 0;
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

}  // namespace
