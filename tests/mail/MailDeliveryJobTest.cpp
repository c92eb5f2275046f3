// MailDeliveryJobTest.cpp: delivery jobs against scripted SMTP and HTTP servers on
// loopback: the exact dialogue and text, spooling and the "F" post, resends from the spool
// file, status posts tried again, and the termination request waiting for jobs.
#include "mail/MailDeliveryJob.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "foundation/StringInputStream.h"
#include "foundation/TemporaryFolder.h"
#include "module/HostInterface.h"
#include "net/NetworkLimits.h"
#include "net/ScriptedServer.h"
#include "net/TestResolver.h"
#include "platform/Clock.h"

namespace {

std::string Std(const QELString &text) { return std::string(text.text(), text.length()); }
QELString Q(const std::string &text) { return QELString(text.data(), static_cast<uint32_t>(text.size())); }

// 2024-03-09 14:05:09 GMT, a Saturday; at -5 hours it is 09:05:09.
constexpr int64_t kInstant = 1709993109;
const char kDate[] = "Date: Sat, 09 Mar 2024 09:05:09 -0500\r\n";
const char kAccepted[] = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n";

// An SMTP server's side of one dialogue that takes the message for the recipients and
// answers its text with the verdict (a refusal gets QUIT twice).
ScriptedServer::Script &Accept(ScriptedServer::Script &script, const std::vector<std::string> &recipients,
                               const std::string &verdict = "250 queued\r\n") {
    script.send("220 smtp.test ready\r\n").receiveUntil("HELO machine.test\r\n").send("250 smtp.test\r\n");
    script.receiveUntil("MAIL FROM: <").send("250 sender ok\r\n");
    for (const std::string &recipient : recipients)
        script.receiveUntil("RCPT TO: <" + recipient + ">\r\n").send("250 recipient ok\r\n");
    script.receiveUntil("DATA\r\n").send("354 go ahead\r\n").receiveUntil("\r\n.\r\n").send(verdict);
    if (verdict[0] == '2')
        return script.receiveUntil("QUIT\r\n").send("221 bye\r\n");
    return script.receiveUntil("QUIT\r\n").send("554 still no\r\n").receiveUntil("QUIT\r\nQUIT\r\n");
}

// What the server saw after DATA, up to and including the final ".".
std::string TextOf(const std::string &dialogue) {
    size_t start = dialogue.find("DATA\r\n");
    size_t end = dialogue.find("\r\n.\r\n");
    if (start == std::string::npos || end == std::string::npos)
        return std::string();
    return dialogue.substr(start + 6, end + 5 - start - 6);
}

// The form arguments of a status post, as sent.
std::string BodyOf(const std::string &request) {
    size_t blank = request.find("\r\n\r\n");
    return blank == std::string::npos ? std::string() : request.substr(blank + 4);
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

class MailDeliveryJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetNetworkLimits();
        FixWallClock(kInstant);
    }
    void TearDown() override {
        EXPECT_TRUE(QELThread::WaitUntilNoneRuns(20000));
        ReleaseWallClock();
        ResetNetworkLimits();
    }

    // A message to the SMTP server, reporting to the status server.
    QELEmailMessage Message(const ScriptedServer &smtp, const ScriptedServer &status,
                            const QELString &storedMessageID = QELString()) {
        QELString url = Q("http://" + status.hostAndPort() + "/mail/SendMail");
        QELEmailMessage message = storedMessageID.isEmpty()
                                      ? QELEmailMessage(Q(spool_.path()), url)
                                      : QELEmailMessage(Q(spool_.path()), storedMessageID, url);
        message.SetSMTPServer(Q(smtp.hostAndPort()));
        message.SetFrom(QELString("a@site.test"));
        message.SetReplyTo(QELString("r@site.test"));
        message.AddTo(QELString("b@x.test"));
        message.AddTo(QELString("c@x.test"));
        message.AddCC(QELString("d@x.test"));
        message.AddBCC(QELString("e@x.test"));
        message.SetSubject(QELString("Hello"));
        message.SetGMTOffset(QELDecimal("-5"));
        message.SetBodyHeaders(QELString("Content-Type: text/plain; charset=\"us-ascii\""));
        message.SetBody(QELString("line one\r\n.\r\n..x\r\nlast"));
        return message;
    }

    bool Deliver(QELEmailMessage &message) {
        if (!message.CreateDeliveryJob())
            return false;
        return QELThread::WaitUntilNoneRuns(20000);
    }

    TestResolver resolver_;
    TemporaryFolder spool_;
};

const std::vector<std::string> kRecipients = {"b@x.test", "c@x.test", "d@x.test", "e@x.test"};
const std::string kHeaders = std::string("Subject: Hello\r\n") + kDate +
                             "From: a@site.test\r\nReply-To: r@site.test\r\nTo: b@x.test,c@x.test\r\nCC: d@x.test\r\n";

TEST_F(MailDeliveryJobTest, SendsTheExactTextWithAndWithoutAttachments) {
    const std::string body = "line one\r\n..\r\n...x\r\nlast\r\n";
    struct Case {
        bool attachments;
        std::string text;
    } cases[] = {
        {false, kHeaders + "Content-Type: text/plain; charset=\"us-ascii\"\r\n\r\n" + body + ".\r\n"},
        {true, kHeaders +
                   "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"Harnvale_MIME_Multipart_Delimiter\""
                   "\r\n\r\n--Harnvale_MIME_Multipart_Delimiter\r\n"
                   "Content-Type: text/plain; charset=\"us-ascii\"\r\n\r\n" +
                   body +
                   "\r\n--Harnvale_MIME_Multipart_Delimiter\r\n"
                   "Content-Type: application/octet-stream; name=\"h.txt\"\r\n"
                   "Content-Transfer-Encoding: base64\r\n"
                   "Content-Disposition: attachment; filename=\"h.txt\"\r\n\r\naGVsbG8=\r\n"
                   "--Harnvale_MIME_Multipart_Delimiter--\r\n.\r\n"},
    };
    for (const Case &c : cases) {
        ScriptedServer smtp, status;
        Accept(smtp.connection(), kRecipients);
        smtp.start();
        QELEmailMessage message = Message(smtp, status);
        if (c.attachments) {
            QELStringInputStream stream(QELString("hello"));
            message.AddAttachment(stream, QELEmailMessage::kBase64, QELString("h.txt"), -1);
        }
        ASSERT_TRUE(Deliver(message));
        smtp.finish();
        const std::string dialogue = smtp.received(0);
        EXPECT_EQ(0u, dialogue.find("HELO machine.test\r\nMAIL FROM: <a@site.test>\r\nRCPT TO: <b@x.test>\r\n"
                                    "RCPT TO: <c@x.test>\r\nRCPT TO: <d@x.test>\r\nRCPT TO: <e@x.test>\r\nDATA\r\n"))
            << dialogue;
        EXPECT_EQ(c.text, TextOf(dialogue));
        EXPECT_EQ(std::string::npos, TextOf(dialogue).find("e@x.test"));  // BCC stays out of the text
        EXPECT_TRUE(FilesIn(spool_.path()).empty());                      // delivered: nothing spooled
    }
}

TEST_F(MailDeliveryJobTest, ABodyLineTooLongForSMTPGoesQuotedPrintable) {
    ScriptedServer smtp, status;
    Accept(smtp.connection(), kRecipients);
    smtp.start();
    QELEmailMessage message = Message(smtp, status);
    message.SetBody(Q(std::string(3000, 'q') + "=\r\nshort"));
    ASSERT_TRUE(Deliver(message));
    smtp.finish();
    const std::string text = TextOf(smtp.received(0));
    EXPECT_NE(std::string::npos,
              text.find("Content-Type: text/plain; charset=\"us-ascii\"\r\nContent-Transfer-Encoding: "
                        "quoted-printable\r\n\r\n"));
    size_t longest = 0;
    for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        longest = std::max(longest, end - start);
    EXPECT_LE(longest, 998u);
    EXPECT_NE(std::string::npos, text.find(std::string(75, 'q') + "=\r\n"));
    EXPECT_NE(std::string::npos, text.find("=3D\r\nshort\r\n"));
}

// An undelivered message is spooled under a new "msg" name and reported with every field.
TEST_F(MailDeliveryJobTest, AnUndeliveredMessageIsSpooledAndReported) {
    ScriptedServer smtp, status;
    smtp.connection()
        .send("220 smtp.test ready\r\n")
        .receiveUntil("HELO")
        .send("250 smtp.test\r\n")
        .receiveUntil("MAIL FROM")
        .send("250 ok\r\n")
        .receiveUntil("RCPT TO")
        .send("550 no such user\r\n")
        .receiveUntil("QUIT\r\n")
        .send("221 bye\r\n");
    status.connection().receiveRequest().send(kAccepted);
    smtp.start();
    status.start();
    QELEmailMessage message = Message(smtp, status);
    ASSERT_TRUE(Deliver(message));
    status.finish();
    std::vector<std::string> files = FilesIn(spool_.path());
    ASSERT_EQ(1u, files.size());
    const std::string name = files[0];
    EXPECT_EQ(0u, name.find("msg"));
    EXPECT_LE(name.size(), 25u);
    EXPECT_EQ(std::string::npos, name.find_first_not_of("0123456789", 3));
    const std::string spooled = ReadWholeFile(spool_ / name);
    EXPECT_EQ(0u, spooled.find(kHeaders));
    const std::string end = "\r\n\r\nline one\r\n..\r\n...x\r\nlast\r\n.\r\n";
    ASSERT_GT(spooled.size(), end.size());
    EXPECT_EQ(end, spooled.substr(spooled.size() - end.size()));
    const std::string request = status.received(0);
    EXPECT_EQ(0u, request.find("POST /mail/SendMail HTTP/1.0\r\n"));
    EXPECT_EQ("MessageID=" + name +
                  "&Status=F&SMTPServer=" + std::string(Std(Q(smtp.hostAndPort()).urlEncoded(true))) +
                  "&From=a%40site.test&ReplyTo=r%40site.test&To=b%40x.test,c%40x.test&CC=d%40x.test"
                  "&BCC=e%40x.test&Subject=Hello&Info=550-%20Mailbox%20Unavailable",
              BodyOf(request));
}

// A new message is on the disk, complete, before it goes out, under a temporary name: a
// process that ends during the delivery leaves that file and never a partial "msg" file.
// Delivered, the file goes; refused, it becomes the message's "msg" file.
TEST_F(MailDeliveryJobTest, ANewMessageIsOnTheDiskWhileItGoesOut) {
    for (bool delivered : {true, false}) {
        ScriptedServer smtp, status;
        ScriptedServer::Script &script = smtp.connection();
        script.awaitRelease();
        Accept(script, kRecipients, delivered ? "250 queued\r\n" : "554 no\r\n");
        status.connection().receiveRequest().send(kAccepted);
        smtp.start();
        status.start();
        QELEmailMessage message = Message(smtp, status);
        ASSERT_TRUE(message.CreateDeliveryJob());
        // The job writes the file before it connects; the server holds its greeting back.
        const std::string end = "\r\n.\r\n";
        std::string during;
        for (int i = 0; i < 2000; ++i) {
            during = ReadWholeFile(spool_ / "spool.tmp");
            if (during.size() > end.size() && during.compare(during.size() - end.size(), end.size(), end) == 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(std::vector<std::string>{"spool.tmp"}, FilesIn(spool_.path())) << delivered;
        smtp.release();
        ASSERT_TRUE(QELThread::WaitUntilNoneRuns(20000));
        smtp.finish();
        status.finish(delivered ? 0 : 2000);
        EXPECT_EQ(TextOf(smtp.received(0)), during) << delivered;
        std::vector<std::string> files = FilesIn(spool_.path());
        if (delivered) {
            EXPECT_TRUE(files.empty());
            EXPECT_EQ(0u, status.acceptedCount());
        } else {
            ASSERT_EQ(1u, files.size());
            EXPECT_EQ(0u, files[0].find("msg"));
            EXPECT_EQ(during, ReadWholeFile(spool_ / files[0]));
            EXPECT_EQ(0u, BodyOf(status.received(0)).find("MessageID=" + files[0] + "&Status=F&"));
            ASSERT_EQ(0, unlink((spool_ / files[0]).c_str()));
        }
    }
}

// A spool file that cannot be made is no reason to keep quiet: the "F" post says why the
// message was not kept, and no temporary file is left behind.
TEST_F(MailDeliveryJobTest, ASpoolFailureIsNamedInTheFailurePost) {
    WriteWholeFile(spool_ / "file", "a file where the spool folder should be");
    ScriptedServer smtp, status;
    Accept(smtp.connection(), {"b@x.test"}, "554 no\r\n");
    status.connection().receiveRequest().send(kAccepted);
    smtp.start();
    status.start();
    QELEmailMessage message(Q(spool_ / "file/FM"), Q("http://" + status.hostAndPort() + "/SendMail"));
    message.SetSMTPServer(Q(smtp.hostAndPort()));
    message.SetFrom(QELString("a@site.test"));
    message.AddTo(QELString("b@x.test"));
    ASSERT_TRUE(Deliver(message));
    status.finish();
    const std::string post = BodyOf(status.received(0));
    EXPECT_EQ(0u, post.find("MessageID=&Status=F&")) << post;
    EXPECT_NE(std::string::npos, post.find("&Info=554-%20Transaction%20Failed%3B%20the%20message%20was%20not%20kept%3A%20"))
        << post;
    EXPECT_EQ(std::vector<std::string>{"file"}, FilesIn(spool_.path()));
}

// A resend reads the spool file without its old headers and stuffing, sends it with the
// current headers, removes it once delivered and then posts "S"; failing again, it
// replaces the file and posts "F" under the same name.
TEST_F(MailDeliveryJobTest, AResendSendsTheSpooledTextAndEndsItsFile) {
    const std::string stored = "Subject: Old\r\nDate: Mon, 01 Jan 2024 00:00:00 GMT\r\nFrom: old@site.test\r\n"
                               "To: old@x.test\r\nX-Kept: yes\r\nContent-Type: text/plain\r\n\r\n"
                               "..\r\n...x\r\nTo: not a header\r\n.\r\n";
    for (bool delivered : {true, false}) {
        WriteWholeFile(spool_ / "msg123", stored);
        ScriptedServer smtp, status;
        Accept(smtp.connection(), kRecipients, delivered ? "250 queued\r\n" : "554 no\r\n");
        status.connection().receiveRequest().send(kAccepted);
        smtp.start();
        status.start();
        QELEmailMessage message = Message(smtp, status, QELString("msg123"));
        ASSERT_TRUE(Deliver(message));
        smtp.finish();
        status.finish();
        const std::string sent = TextOf(smtp.received(0));
        EXPECT_EQ(kHeaders + "X-Kept: yes\r\nContent-Type: text/plain\r\n\r\n..\r\n...x\r\nTo: not a header\r\n.\r\n",
                  sent)
            << delivered;
        const std::string post = BodyOf(status.received(0));
        if (delivered) {
            EXPECT_TRUE(FilesIn(spool_.path()).empty());
            EXPECT_EQ("MessageID=msg123&Status=S", post);
        } else {
            EXPECT_EQ((std::vector<std::string>{"msg123"}), FilesIn(spool_.path()));
            EXPECT_EQ(sent, ReadWholeFile(spool_ / "msg123"));
            EXPECT_EQ(0u, post.find("MessageID=msg123&Status=F&"));
        }
    }
}

// A missing spool file was delivered before; one that is no file, or whose text stops
// before its end line "." (a write cut short), fails with an "F" post naming the cause
// and stays where it is.
TEST_F(MailDeliveryJobTest, AResendOfAMissingUnreadableOrTruncatedFileSendsNothing) {
    ASSERT_EQ(0, mkdir((spool_ / "msg77").c_str(), 0700));  // exists, but is no file
    WriteWholeFile(spool_ / "msg78", "To: x\r\n\r\nbody\r\n..\r\n");
    WriteWholeFile(spool_ / "msg79", "");
    WriteWholeFile(spool_ / "msg80", "To: x\r\n\r\nbody\r\n.");
    struct Case {
        const char *id;
        std::string post;
    } cases[] = {{"msg42", "MessageID=msg42&Status=S"},
                 {"msg77", "MessageID=msg77&Status=F&"},
                 {"msg78", "MessageID=msg78&Status=F&"},
                 {"msg79", "MessageID=msg79&Status=F&"}};
    for (const Case &c : cases) {
        ScriptedServer smtp, status;
        smtp.connection().send("220 smtp.test ready\r\n");
        status.connection().receiveRequest().send(kAccepted);
        status.start();
        QELEmailMessage message = Message(smtp, status, QELString(c.id));
        ASSERT_TRUE(Deliver(message));
        status.finish();
        const std::string post = BodyOf(status.received(0));
        EXPECT_EQ(0u, post.find(c.post)) << c.id;
        if (c.post.back() == '&') {
            const std::string cause = std::string(c.id) + (c.id[4] == '7' ? "%20could%20not%20be%20read"
                                                                             : "%20is%20truncated");
            EXPECT_NE(std::string::npos, post.find("&Info=the%20spool%20file%20" + cause)) << post;
        }
    }
    std::vector<std::string> kept = FilesIn(spool_.path());
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ((std::vector<std::string>{"msg77", "msg78", "msg79", "msg80"}), kept);
    // A file whose last line is the end line without its line break is whole.
    ScriptedServer smtp, status;
    Accept(smtp.connection(), kRecipients);
    status.connection().receiveRequest().send(kAccepted);
    smtp.start();
    status.start();
    QELEmailMessage message = Message(smtp, status, QELString("msg80"));
    ASSERT_TRUE(Deliver(message));
    smtp.finish();
    status.finish();
    EXPECT_EQ(kHeaders + "\r\nbody\r\n.\r\n", TextOf(smtp.received(0)));
    EXPECT_EQ("MessageID=msg80&Status=S", BodyOf(status.received(0)));
}

// A status post answered 5xx is tried three times more, then given up; a failed message's
// spool file stays all the same.
TEST_F(MailDeliveryJobTest, AStatusPostAnswered5xxIsTriedThreeMoreThenGivenUp) {
    struct Case {
        const char *answer;
        bool delivered;
    } cases[] = {{"HTTP/1.0 503 Busy\r\n\r\n", true}, {"HTTP/1.0 500 Broken\r\n\r\n", false}};
    for (const Case &c : cases) {
        WriteWholeFile(spool_ / "msg5", "To: x\r\n\r\nbody\r\n.\r\n");
        ScriptedServer smtp, status;
        Accept(smtp.connection(), kRecipients, c.delivered ? "250 queued\r\n" : "554 no\r\n");
        for (int i = 0; i < 4; ++i)
            status.connection().receiveRequest().send(c.answer);
        status.connection().receiveRequest().send(kAccepted);
        smtp.start();
        status.start();
        QELEmailMessage message = c.delivered ? Message(smtp, status, QELString("msg5")) : Message(smtp, status);
        ASSERT_TRUE(Deliver(message));
        status.finish(300);
        EXPECT_EQ(4u, status.acceptedCount()) << c.answer;
        std::vector<std::string> files = FilesIn(spool_.path());
        if (c.delivered) {
            EXPECT_TRUE(files.empty());
        } else {
            std::sort(files.begin(), files.end());
            ASSERT_EQ(2u, files.size());
            EXPECT_EQ(0u, files[0].find("msg")) << files[0];
            EXPECT_NE("msg5", files[0]);
            EXPECT_EQ("msg5", files[1]);
            EXPECT_NE(std::string::npos, BodyOf(status.received(3)).find("MessageID=" + files[0] + "&Status=F&"));
        }
    }
}

// While a resend runs its Message ID is known as being resent; the termination request
// returns only once the job has ended, its status post made.
TEST_F(MailDeliveryJobTest, TheTerminationRequestWaitsForRunningJobs) {
    WriteWholeFile(spool_ / "msg9", "To: x\r\n\r\nbody\r\n.\r\n");
    ScriptedServer smtp, status;
    smtp.connection().awaitRelease();
    Accept(smtp.connection(), kRecipients);
    status.connection().receiveRequest().send(kAccepted);
    status.start();
    smtp.start();
    QELEmailMessage message = Message(smtp, status, QELString("MSG9"));
    ASSERT_TRUE(message.CreateDeliveryJob());
    EXPECT_TRUE(QELMailDeliveryJob::IsBeingResent(QELString("msg9")));
    EXPECT_FALSE(QELMailDeliveryJob::IsBeingResent(QELString("msg90")));
    std::atomic<bool> released{false};
    std::atomic<bool> postedBeforeReturn{false};
    std::thread terminate([&] {
        HostContext context{};
        context.requestCode = QEL_REQUEST_TERMINATE;
        EXPECT_EQ(0, ProcessQELRequest(&context));
        postedBeforeReturn = released.load() && QELThread::RunningCount() == 0;
    });
    released = true;
    smtp.release();
    terminate.join();
    EXPECT_TRUE(postedBeforeReturn);
    status.finish();
    EXPECT_EQ("MessageID=MSG9&Status=S", BodyOf(status.received(0)));
    EXPECT_FALSE(QELMailDeliveryJob::IsBeingResent(QELString("msg9")));
}

TEST(QELMailDeliveryJobText, DotStuffing) {
    struct Case {
        const char *text, *stuffed;
    } cases[] = {
        {"", ""}, {".", ".."}, {"a\r\n.b\r\n..\r\n", "a\r\n..b\r\n...\r\n"}, {".\r\n.", "..\r\n.."}, {"a.b\r\n", "a.b\r\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.stuffed, Std(QELMailDeliveryJob::DotStuff(QELString(c.text)))) << c.text;
}

}  // namespace
