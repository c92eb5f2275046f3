// EmailMessageTest.cpp: the mail composer: recipient lists, attachment parts and the
// checks before a delivery job is made.
#include "mail/EmailMessage.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/StringInputStream.h"
#include "mail/Thread.h"

namespace {

std::string Std(const QELString &text) { return std::string(text.text(), text.length()); }
QELString Q(const std::string &text) { return QELString(text.data(), static_cast<uint32_t>(text.size())); }

TEST(QELEmailMessage, RecipientsAreTrimmedAndJoinedByCommas) {
    QELEmailMessage message(QELString("/spool"), QELString("http://host.test/SendMail"));
    for (const char *address : {"a@x.test", " b@x.test", "", "  \t", "\tc@x.test \r\n"})
        message.AddTo(QELString(address));
    message.AddCC(QELString(" "));
    message.AddBCC(QELString("e@x.test"));
    EXPECT_EQ("a@x.test,b@x.test,c@x.test", Std(message.to()));
    EXPECT_EQ("", Std(message.cc()));
    EXPECT_EQ("e@x.test", Std(message.bcc()));
}

TEST(QELEmailMessage, AttachmentPartsAreLaidOutByTheirEncoding) {
    const std::string part =
        "\r\n--Harnvale_MIME_Multipart_Delimiter\r\n"
        "Content-Type: application/octet-stream; name=\"a.txt\"\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "Content-Disposition: attachment; filename=\"a.txt\"\r\n\r\n"
        "aGVsbG8=";
    struct Case {
        uint32_t encoding;
        int32_t length;
        std::string expected;
    } cases[] = {
        {QELEmailMessage::kBase64, -1, part},
        {QELEmailMessage::kBase64, 5, part},
        {QELEmailMessage::kBase64, 3, part.substr(0, part.size() - 8) + "aGVs"},
        {QELEmailMessage::kNone, -1, "hello world"},
        {0x58585858u, -1, ""},
    };
    for (const Case &c : cases) {
        QELEmailMessage message(QELString("/spool"), QELString("http://host.test/SendMail"));
        QELStringInputStream stream(QELString(c.encoding == QELEmailMessage::kNone ? "hello world" : "hello"));
        message.AddAttachment(stream, c.encoding, QELString("a.txt"), c.length);
        EXPECT_EQ(c.expected, Std(message.attachmentParts())) << c.encoding << " " << c.length;
    }
}

// 57 bytes give one full line of Base64: the part still ends without a line break.
TEST(QELEmailMessage, NoPartEndsWithALineBreak) {
    for (int32_t length : {-1, 57}) {
        QELEmailMessage message(QELString("/spool"), QELString("http://host.test/SendMail"));
        QELStringInputStream stream(Q(std::string(57, 'z')));
        message.AddAttachment(stream, QELEmailMessage::kBase64, QELString("z.bin"), length);
        const std::string parts = Std(message.attachmentParts());
        EXPECT_NE("\r\n", parts.substr(parts.size() - 2)) << length;
        EXPECT_EQ(76u, parts.size() - parts.rfind("\r\n\r\n") - 4) << length;
    }
}

TEST(QELEmailMessage, FileNamesLoseControlBytesAndQuotesAndAreCut) {
    struct Case {
        std::string name;
        std::string kept;
    } cases[] = {
        {"report.pdf", "report.pdf"},
        {"a\"b\r\nContent-Type: x\x01\x7F.txt", "abContent-Type: x.txt"},
        {std::string(300, 'n'), std::string(255, 'n')},
    };
    for (const Case &c : cases) {
        QELEmailMessage message(QELString("/spool"), QELString("http://host.test/SendMail"));
        QELStringInputStream stream(QELString("x"));
        message.AddAttachment(stream, QELEmailMessage::kBase64, Q(c.name), -1);
        const std::string parts = Std(message.attachmentParts());
        EXPECT_NE(std::string::npos, parts.find("; name=\"" + c.kept + "\"\r\n")) << parts;
        EXPECT_NE(std::string::npos, parts.find("; filename=\"" + c.kept + "\"\r\n")) << parts;
    }
}

TEST(QELEmailMessage, ANewMessageNeedsServerSenderAndRecipient) {
    struct Case {
        const char *server, *from, *to;
    } cases[] = {{"", "a@x.test", "b@x.test"}, {"mail.test", "", "b@x.test"}, {"mail.test", "a@x.test", " "}};
    for (const Case &c : cases) {
        QELEmailMessage message(QELString("/spool"), QELString("http://host.test/SendMail"));
        message.SetSMTPServer(QELString(c.server));
        message.SetFrom(QELString(c.from));
        message.AddTo(QELString(c.to));
        EXPECT_FALSE(message.CreateDeliveryJob()) << c.server << "|" << c.from << "|" << c.to;
        EXPECT_EQ(0u, QELThread::RunningCount());
    }
}

}  // namespace
