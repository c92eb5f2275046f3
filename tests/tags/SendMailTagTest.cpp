// SendMailTagTest.cpp: the qelSendMail tag against the reference host and a scripted SMTP
// server: the order of its checks and their results, what it composes, refused line
// breaks, attachment files that must stay in the page's folder, the resend mode, and the
// server settings of the host's data folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "foundation/TemporaryFolder.h"
#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "host/lib/PreferenceStore.h"
#include "mail/Thread.h"
#include "module/HostInterface.h"
#include "net/NetworkLimits.h"
#include "net/ScriptedServer.h"
#include "net/SMTPDialogue.h"
#include "net/ServerSettings.h"
#include "net/TestResolver.h"

using velquor::host::Host;
using velquor::host::HostRequest;

namespace {

constexpr int32_t Code(uint32_t code) { return static_cast<int32_t>(code); }
const int32_t kMissing = Code(QEL_RESULT_MISSING_PARAMETER);
const int32_t kInvalid = Code(QEL_RESULT_INVALID_PARAMETER);
const int32_t kBadAddress = Code(QEL_RESULT_INVALID_ADDRESS);
const int32_t kFileNotFound = Code(QEL_RESULT_FILE_NOT_FOUND);

using Parameters = std::vector<std::pair<std::string, std::string>>;

// An SMTP server's side of a dialogue that takes one message for one recipient.
void Accept(ScriptedServer::Script &script) {
    SMTPDialogue(script);
}

class SendMailTagTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetNetworkLimits();
        std::filesystem::create_directories(folder_ / "site/dir");
        host_.folders().setSiteRoot(folder_ / "site");
        host_.folders().setDataRoot(folder_ / "data");
    }
    void TearDown() override {
        EXPECT_TRUE(QELThread::WaitUntilNoneRuns(20000));
        // The settings are the whole module's: the next test starts without any.
        QELServerSettings::Shared().setFilePath(QELString());
        QELServerSettings::Shared().refresh();
    }

    // Runs the tag with the parameters (the server's address fills "SERVER") and the body,
    // the request first given to prepare (when set); waits for the job it started. The
    // request is kept for checks.
    int32_t Run(const Parameters &parameters, const std::string &body = "Hello\n",
                const std::function<void(HostRequest &)> &prepare = nullptr) {
        request_ = std::make_unique<HostRequest>(host_, QEL_REQUEST_TAG);
        request_->setTagName("qelSendMail");
        request_->setVirtualHost("www.site.test");
        request_->setCGIVariable("SCRIPT_NAME", "/dir/page.html");
        request_->setPageFolder(folder_ / "site/dir");
        request_->setRegion("/");
        request_->setTagBody(body);
        for (const auto &[name, value] : parameters)
            request_->addTagParameter(name, value == "SERVER" ? smtp_.hostAndPort() : value);
        if (prepare)
            prepare(*request_);
        int32_t result = request_->run(ProcessQELRequest);
        EXPECT_TRUE(QELThread::WaitUntilNoneRuns(20000));
        return result;
    }

    void SetPreference(const std::string &name, const std::string &value) {
        host_.preferences().set("/", name, value);
    }

    TestResolver resolver_;
    TemporaryFolder folder_;
    Host host_;
    ScriptedServer smtp_;
    std::unique_ptr<HostRequest> request_;
};

const Parameters kGood = {{"mailServer", "SERVER"}, {"from", "site@site.test"}, {"to", "a@x.test"}};

Parameters With(Parameters parameters, const std::string &name, const std::string &value) {
    for (auto &parameter : parameters)
        if (parameter.first == name) {
            parameter.second = value;
            return parameters;
        }
    parameters.emplace_back(name, value);
    return parameters;
}

Parameters Without(Parameters parameters, const std::string &name) {
    Parameters kept;
    for (const auto &parameter : parameters)
        if (parameter.first != name)
            kept.push_back(parameter);
    return kept;
}

// The checks run in their order (server, offset, from, reply-to, to); the first failure is
// the result and nothing is sent.
TEST_F(SendMailTagTest, ChecksTheValuesInOrderAndSendsNothingOnAFailure) {
    struct Case {
        Parameters parameters;
        int32_t result;
        const char *message;
    } cases[] = {
        {Without(kGood, "mailServer"), kMissing, "missing its &quot;mailServer&quot; parameter"},
        {With(With(kGood, "mailServer", ""), "gmtOffset", "99"), kMissing, ""},
        {With(kGood, "gmtOffset", "12.5"), kInvalid, "The GMT offset is invalid."},
        {With(kGood, "gmtOffset", "-13"), kInvalid, "The GMT offset is invalid."},
        {With(kGood, "gmtOffset", "+5:30"), kInvalid, "The GMT offset is invalid."},
        {With(With(kGood, "gmtOffset", "13"), "from", "bad"), kInvalid, "The GMT offset is invalid."},
        {Without(kGood, "from"), kMissing, "missing its &quot;from&quot; parameter"},
        {With(kGood, "from", "bad"), kBadAddress, "The from address is not a valid email address."},
        {With(With(kGood, "replyTo", "x@y"), "to", ""), kBadAddress, "The replyTo address is not a valid email address."},
        {Without(kGood, "to"), kMissing, "missing its &quot;to&quot; parameter"},
        {With(kGood, "to", "  \t "), kMissing, "missing its &quot;to&quot; parameter"},
        {With(kGood, "to", "a@x.test\r\nRCPT TO:<b@x.test>"), kBadAddress, "line break"},
        {With(kGood, "cc", std::string("c@x.test\0d", 10)), kBadAddress, "line break"},
        {With(kGood, "from", "site@site.test\r\nX: y"), kBadAddress, "line break"},
        {With(kGood, "subject", "Hi\r\nBcc: e@x.test"), kInvalid, "The subject contains a line break"},
        {With(With(kGood, "headerName", "X-A\r\nBcc"), "headerValue", "e@x.test"), kInvalid, "line break"},
        {With(With(kGood, "headerName", "X-A"), "headerValue", "1\nBcc: e@x.test"), kInvalid, "line break"},
    };
    Accept(smtp_.connection());
    smtp_.start();
    for (const Case &c : cases) {
        EXPECT_EQ(c.result, Run(c.parameters)) << c.message;
        if (*c.message != 0) {
            ASSERT_TRUE(request_->errorInfo().has_value()) << c.message;
            EXPECT_NE(std::string::npos, request_->errorInfo()->message.find(c.message))
                << request_->errorInfo()->message;
        }
        EXPECT_EQ("", request_->output());
    }
    smtp_.finish(100);
    EXPECT_EQ(0u, smtp_.acceptedCount());
}

TEST_F(SendMailTagTest, AddressesMustMatchThePatternWhole) {
    const std::string longest = std::string(64, 'a') + "@" + std::string(184, 'b') + ".test";  // 254 bytes
    struct Case {
        std::string address;
        bool accepted;
    } cases[] = {
        {"first.last_1-2@mail.site.test", true},
        {"a@b.co", true},
        {"a@b.info", true},
        {longest, true},
        {"a" + longest, false},  // 255 bytes
        {"a@b.c", false},
        {"a@b.toolong", false},
        {"a@b.test ", false},
        {" a@b.test", false},
        {"a+b@c.test", false},
        {"a@b", false},
        {"@b.test", false},
    };
    RefusingPort nowhere;
    const std::string server = "127.0.0.1:" + std::to_string(nowhere.port());
    for (const Case &c : cases) {
        int32_t result = Run(With(With(kGood, "from", c.address), "mailServer", server));
        EXPECT_EQ(c.accepted ? 0 : kBadAddress, result)
            << c.address << " " << (request_->errorInfo() ? request_->errorInfo()->message : std::string());
    }
}

TEST_F(SendMailTagTest, OffsetsAtTheLimitsAndThePreferredServerAreTaken) {
    struct Case {
        Parameters parameters;
        const char *useServer;  // the preference "useMailServerName"
        const char *date;       // the zone the Date header shows
    } cases[] = {
        {With(kGood, "gmtOffset", "12"), "", "+1200"},
        {With(kGood, "gmtOffset", "-12"), "", "-1200"},
        {With(With(kGood, "gmtOffset", "5.75"), "mailServer", "ignored.test:25"), "always", "+0545"},
        {Without(kGood, "mailServer"), "byDefault", "+0545"},
    };
    for (const Case &c : cases) {
        ScriptedServer smtp;
        Accept(smtp.connection());
        smtp.start();
        SetPreference("useMailServerName", c.useServer);
        SetPreference("mailServerName", smtp.hostAndPort());
        SetPreference("returnGMTOffsetByDefault", "yes");
        SetPreference("gmtOffset", "5.75");
        Parameters parameters = c.parameters;
        for (auto &parameter : parameters)
            if (parameter.second == "SERVER")
                parameter.second = smtp.hostAndPort();
        EXPECT_EQ(0, Run(parameters)) << c.date;
        smtp.finish(2000);
        EXPECT_NE(std::string::npos, smtp.received(0).find(std::string(" ") + c.date + "\r\n")) << c.date;
    }
}

TEST_F(SendMailTagTest, ComposesHeadersContentTypeAndBody) {
    struct Case {
        Parameters extra;
        std::string bodyHeaders;
    } cases[] = {
        {{}, "Content-Type: text/plain; charset=\"us-ascii\""},
        {{{"sendAsHTML", "yes"}}, "Content-Type: text/html; charset=\"us-ascii\""},
        {{{"sendAsHTML", "yes"}, {"headerName", "X-One"}, {"headerValue", "1"}, {"headerValue", "ignored"},
          {"headerName", "X-Two"}, {"headerName", "X-Three"}, {"headerValue", "3"}},
         "X-One: 1\r\nX-Three: 3"},
    };
    for (const Case &c : cases) {
        ScriptedServer smtp;
        Accept(smtp.connection());
        smtp.start();
        Parameters parameters = With(With(kGood, "mailServer", smtp.hostAndPort()), "subject", "News");
        parameters.insert(parameters.end(), c.extra.begin(), c.extra.end());
        ASSERT_EQ(0, Run(parameters, "one\ntwo\rthree\r\nfour"));
        smtp.finish(2000);
        const std::string dialogue = smtp.received(0);
        EXPECT_NE(std::string::npos, dialogue.find("Subject: News\r\n"));
        EXPECT_NE(std::string::npos, dialogue.find("\r\n" + c.bodyHeaders + "\r\n\r\none\r\ntwo\r\nthree\r\nfour\r\n"))
            << dialogue;
    }
}

// A file is attached only when the file opened lies in the page's folder; otherwise the
// tag answers 'MFnF' and the message goes out without it.
TEST_F(SendMailTagTest, AttachmentFilesStayInThePagesFolder) {
    WriteWholeFile(folder_ / "site/dir/report.txt", "report");
    std::filesystem::create_directories(folder_ / "site/dir/sub");
    WriteWholeFile(folder_ / "site/dir/sub/inner.txt", "inner");
    WriteWholeFile(folder_ / "site/secret.txt", "secret");
    ASSERT_EQ(0, symlink((folder_ / "site/secret.txt").c_str(), (folder_ / "site/dir/link.txt").c_str()));
    ASSERT_EQ(0, symlink((folder_ / "site/dir/report.txt").c_str(), (folder_ / "site/dir/inside.txt").c_str()));
    struct Case {
        const char *location;
        int32_t result;
    } cases[] = {
        {"report.txt", 0},      {"/report.txt", 0},   {"sub/inner.txt", 0},  {"inside.txt", 0},
        {"../secret.txt", kFileNotFound}, {"link.txt", kFileNotFound}, {"sub/../../secret.txt", kFileNotFound},
        {"missing.txt", kFileNotFound},   {"sub", kFileNotFound},
    };
    for (const Case &c : cases) {
        ScriptedServer smtp;
        Accept(smtp.connection());
        smtp.start();
        EXPECT_EQ(c.result, Run(With(With(kGood, "mailServer", smtp.hostAndPort()), "attachmentFileLocation",
                                     c.location)))
            << c.location;
        smtp.finish(2000);
        const std::string dialogue = smtp.received(0);
        EXPECT_EQ(std::string::npos, dialogue.find("c2VjcmV0")) << c.location;  // "secret"
        EXPECT_EQ(c.result == 0, dialogue.find("filename=") != std::string::npos) << c.location;
        EXPECT_NE(std::string::npos, dialogue.find("\r\n.\r\n")) << "the message goes out: " << c.location;
    }
}

// The resend mode sends the fixed spool file with its record's server and addresses; the
// database modes leave nothing open, and without a record nothing is sent.
TEST_F(SendMailTagTest, TheResendModeSendsTheFixedSpoolFileOfItsRecord) {
    ScriptedServer smtp;
    Accept(smtp.connection());
    smtp.start();
    for (const char *mode : {"sendFailedMail", "somethingElse"}) {
        EXPECT_EQ(0, Run({{"mode", mode}}));
        EXPECT_EQ(0, request_->databaseStarts()) << mode;
    }
    WriteWholeFile(folder_ / "data/FM/msg2451812700405", "Subject: Kept\r\nTo: old@x.test\r\n\r\nkept text\r\n.\r\n");
    HostRequest post(host_, QEL_REQUEST_ACTION);
    post.setActionName("SendMail");
    for (const auto &[name, value] : Parameters{{"MessageID", "msg2451812700405"}, {"Status", "F"},
                                                 {"SMTPServer", smtp.hostAndPort()}, {"From", "site@site.test"},
                                                 {"To", "a@x.test"}, {"Subject", "Kept"}})
        post.addFormArgument(name, value);
    ASSERT_EQ(0, post.run(ProcessQELRequest));
    EXPECT_EQ(0, Run({{"mode", "SENDFAILEDMAIL"}}));
    EXPECT_EQ(0, request_->databaseStarts());
    smtp.finish(2000);
    const std::string dialogue = smtp.received(0);
    EXPECT_NE(std::string::npos, dialogue.find("RCPT TO: <a@x.test>\r\n")) << dialogue;
    EXPECT_NE(std::string::npos, dialogue.find("Subject: Kept\r\n"));
    EXPECT_NE(std::string::npos, dialogue.find("\r\nkept text\r\n.\r\n"));
}

// The tag and its resend mode read <data>/Settings/servers.conf before a job starts: a
// server the file asks STARTTLS of hears EHLO, and one that does not offer it hears QUIT
// next, also when the host does not name the settings folder this time (the file named
// before stays); a file that cannot be used is logged and nothing reaches any server.
TEST_F(SendMailTagTest, NewMailAndResendsFollowTheDataFoldersServerSettings) {
    std::vector<std::string> logged;
    host_.setLogSink([&logged](const std::string &line) { logged.push_back(line); });
    const std::string settings = folder_ / "data/Settings/servers.conf";
    std::filesystem::create_directories(folder_ / "data/Settings");
    std::filesystem::create_directories(folder_ / "data/FM");
    WriteWholeFile(settings, "[127.0.0.1]\nsecurity = starttls\n");
    chmod(settings.c_str(), 0600);
    WriteWholeFile(folder_ / "data/FM/msg2451812700405", "Subject: Kept\r\n\r\nkept text\r\n.\r\n");
    struct Case {
        const char *name;
        Parameters parameters;  // "SERVER" is the scripted server
        bool resend;            // the log first records the spooled message for that server
        bool refuseFolder;      // the host does not answer the settings folder
    } cases[] = {
        {"resend", {{"mode", "sendFailedMail"}}, true, false},
        {"new mail", kGood, false, false},
        {"new mail, the settings folder not named", kGood, false, true},
    };
    for (const Case &c : cases) {
        ScriptedServer smtp;
        smtp.connection()
            .send("220 smtp.test\r\n")
            .receiveUntil("\r\n")
            .send("250-smtp.test\r\n250 SIZE 1000\r\n")
            .receiveUntil("QUIT\r\n")
            .send("221 bye\r\n");
        smtp.start();
        if (c.resend) {
            HostRequest post(host_, QEL_REQUEST_ACTION);
            post.setActionName("SendMail");
            for (const auto &[name, value] : Parameters{{"MessageID", "msg2451812700405"}, {"Status", "F"},
                                                         {"SMTPServer", smtp.hostAndPort()},
                                                         {"From", "site@site.test"}, {"To", "a@x.test"}})
                post.addFormArgument(name, value);
            ASSERT_EQ(0, post.run(ProcessQELRequest));
        }
        Parameters parameters = c.parameters;
        for (auto &parameter : parameters)
            if (parameter.second == "SERVER")
                parameter.second = smtp.hostAndPort();
        EXPECT_EQ(0, Run(parameters, "Hello\n", [&](HostRequest &request) {
            if (c.refuseFolder)
                request.faults().refuse(QEL_SERVICE_GET_DATA_FOLDER_PATH, "Settings");
        })) << c.name;
        smtp.finish(2000);
        EXPECT_EQ("EHLO machine.test\r\nQUIT\r\n", smtp.received(0)) << c.name;
    }

    // A password that others may read: logged once, and no server hears anything.
    WriteWholeFile(settings, "[127.0.0.1]\nsecurity = tls\nuser = u\npassword = a-longer-secret\n");
    chmod(settings.c_str(), 0644);
    ScriptedServer smtp;
    Accept(smtp.connection());
    smtp.start();
    EXPECT_EQ(0, Run(With(kGood, "mailServer", smtp.hostAndPort())));
    smtp.finish(200);
    EXPECT_EQ(0u, smtp.acceptedCount());
    size_t mentions = 0;
    for (const std::string &line : logged) {
        mentions += line.find("servers.conf holds a password and other users may read it") != std::string::npos;
        EXPECT_EQ(std::string::npos, line.find("a-longer-secret")) << line;
    }
    EXPECT_EQ(1u, mentions);
}

}  // namespace
