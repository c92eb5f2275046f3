// MailDeliveryJobServersTest.cpp: delivery jobs against the distribution's SMTP server
// (aiosmtpd), the message read back with Python's email package: attachments, the Date
// header, blind copies and a long body line arrive as they were meant.
#include <gtest/gtest.h>

#include <string>

#include "SMTPServerProcess.h"
#include "foundation/FileInputStream.h"
#include "foundation/StringInputStream.h"
#include "foundation/TemporaryFolder.h"
#include "mail/EmailMessage.h"
#include "mail/Thread.h"
#include "net/NetworkLimits.h"
#include "net/TestResolver.h"
#include "platform/Clock.h"

namespace {

QELString Q(const std::string &text) { return QELString(text.data(), static_cast<uint32_t>(text.size())); }

constexpr int64_t kInstant = 1709993109;  // 2024-03-09 14:05:09 GMT

class MailDeliveryJobServersTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetNetworkLimits();
        FixWallClock(kInstant);
        std::string error;
        ASSERT_TRUE(smtp_.start(maildir_.path(), {}, &error)) << error;
    }
    void TearDown() override {
        EXPECT_TRUE(QELThread::WaitUntilNoneRuns(20000));
        ReleaseWallClock();
    }

    SMTPServerProcess::Message Send(QELEmailMessage &message) {
        EXPECT_TRUE(message.CreateDeliveryJob());
        EXPECT_TRUE(QELThread::WaitUntilNoneRuns(20000));
        SMTPServerProcess::Message read;
        std::string error;
        EXPECT_TRUE(SMTPServerProcess::ReadMessage(maildir_.path(), &read, &error)) << error;
        return read;
    }

    QELEmailMessage Message() {
        QELEmailMessage message(Q(spool_.path()), QELString("http://127.0.0.1:1/SendMail"));
        message.SetSMTPServer(Q(smtp_.hostAndPort()));
        message.SetFrom(QELString("site@site.test"));
        message.AddTo(QELString("to@x.test"));
        message.AddBCC(QELString("hidden@x.test, also-hidden@x.test"));
        message.SetSubject(QELString("Report"));
        message.SetBodyHeaders(QELString("Content-Type: text/plain; charset=\"us-ascii\""));
        return message;
    }

    TestResolver resolver_;
    TemporaryFolder maildir_;
    TemporaryFolder spool_;
    SMTPServerProcess smtp_;
};

TEST_F(MailDeliveryJobServersTest, AttachmentsArriveEqualToTheirOriginals) {
    std::string binary;
    for (int i = 0; i < 70000; ++i)
        binary.push_back(static_cast<char>((i * 7) % 256));
    binary[0] = '\0';
    binary[1] = '\xFF';
    const std::string text = "first line\nsecond line\n";
    WriteWholeFile(spool_ / "data.bin", binary);
    QELEmailMessage message = Message();
    message.SetBody(QELString("See the two files.\r\n"));
    QELFileInputStream first(QELFileSystemItem(Q(spool_ / "data.bin")), 2048);
    message.AddAttachment(first, QELEmailMessage::kBase64, QELString("data.bin"), static_cast<int32_t>(binary.size()));
    QELStringInputStream second(Q(text));
    message.AddAttachment(second, QELEmailMessage::kBase64, QELString("notes.txt"), -1);
    SMTPServerProcess::Message read = Send(message);
    ASSERT_EQ(2u, read.parts.size());
    EXPECT_EQ("data.bin", read.parts[0].first);
    EXPECT_EQ(binary.size(), read.parts[0].second.size());
    EXPECT_TRUE(binary == read.parts[0].second);
    EXPECT_EQ("notes.txt", read.parts[1].first);
    EXPECT_EQ(text, read.parts[1].second);
    // The Maildir keeps lines with the system's line ends; the composer ends the body
    // with one more line break.
    ASSERT_EQ(1u, read.bodies.size());
    EXPECT_EQ("See the two files.\n\n", read.bodies[0]);
}

// The Date header names the true instant, in the server's zone and at a given offset.
TEST_F(MailDeliveryJobServersTest, TheDateHeaderNamesTheTrueInstant) {
    for (const char *offset : {"", "5.75", "-3.5"}) {
        TemporaryFolder maildir;
        SMTPServerProcess smtp;
        std::string error;
        ASSERT_TRUE(smtp.start(maildir.path(), {}, &error)) << error;
        QELEmailMessage message = Message();
        message.SetSMTPServer(Q(smtp.hostAndPort()));
        if (*offset != 0)
            message.SetGMTOffset(QELDecimal(offset));
        message.SetBody(QELString("dated\r\n"));
        ASSERT_TRUE(message.CreateDeliveryJob());
        ASSERT_TRUE(QELThread::WaitUntilNoneRuns(20000));
        SMTPServerProcess::Message read;
        ASSERT_TRUE(SMTPServerProcess::ReadMessage(maildir.path(), &read, &error)) << error;
        EXPECT_EQ(kInstant, read.date) << offset;
    }
}

// Blind copies reach their mailboxes and stand in no header the module wrote.
TEST_F(MailDeliveryJobServersTest, BlindCopiesArriveAndStayHidden) {
    QELEmailMessage message = Message();
    message.AddCC(QELString("copy@x.test"));
    message.SetBody(QELString("for several\r\n"));
    SMTPServerProcess::Message read = Send(message);
    EXPECT_EQ((std::vector<std::string>{"to@x.test", "copy@x.test", "hidden@x.test", "also-hidden@x.test"}),
              read.recipients);
    for (const auto &[name, value] : read.headers) {
        if (name == "X-Peer" || name == "X-MailFrom" || name == "X-RcptTo")
            continue;
        EXPECT_EQ(std::string::npos, value.find("hidden")) << name << ": " << value;
    }
}

TEST_F(MailDeliveryJobServersTest, ALongBodyLineArrivesIntact) {
    std::string line;
    for (int i = 0; i < 3000; ++i)
        line.push_back(static_cast<char>('a' + i % 26));
    line += " = end ";
    QELEmailMessage message = Message();
    message.SetBody(Q("before\r\n" + line + "\r\nafter\r\n"));
    SMTPServerProcess::Message read = Send(message);
    ASSERT_EQ(1u, read.bodies.size());
    EXPECT_TRUE("before\n" + line + "\nafter\n\n" == read.bodies[0]) << read.bodies[0].substr(0, 200);
}

}  // namespace
