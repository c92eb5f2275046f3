// POPTagTest.cpp: the qelPOP tag against the reference host's databases and a scripted
// POP3 server: new messages counted and stored as sent, messages fetched before skipped,
// and every way a message can fail to be stored leaving it on the server for later.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <functional>
#include <string>
#include <vector>

#include "foundation/TemporaryFolder.h"
#include "host/lib/DatabaseStore.h"
#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "host/lib/PreferenceStore.h"
#include "module/HostInterface.h"
#include "net/NetworkLimits.h"
#include "net/ScriptedServer.h"
#include "net/TestResolver.h"

using velquor::host::DatabaseStore;
using velquor::host::FieldValue;
using velquor::host::Host;
using velquor::host::HostRequest;

namespace {

constexpr int32_t Code(uint32_t code) { return static_cast<int32_t>(code); }
using Record = std::map<std::string, std::string>;

// A message as the server holds it: its unique identifier and its text (lines end CR LF).
struct Message {
    std::string uidl;
    std::string text;
};

// The server's side of a login as "demo" with the password "secret".
ScriptedServer::Script &LogIn(ScriptedServer::Script &script) {
    return script.send("+OK ready\r\n")
        .receiveUntil("USER demo\r\n")
        .send("+OK\r\n")
        .receiveUntil("PASS secret\r\n")
        .send("+OK\r\n");
}

// The server's side of one session: login, UIDL, LIST, then RETR (and DELE when asked) of
// the messages whose numbers are listed in retrieved (DELE of those in deleted), then QUIT. A message whose number is
// in cutShort gets only the first bytes of its answer and then the connection closes.
void Mailbox(ScriptedServer::Script &script, const std::vector<Message> &messages, const std::vector<int> &retrieved,
             const std::vector<int> &deleted = {}, int cutShort = 0) {
    std::string uidl = "+OK\r\n", list = "+OK\r\n";
    for (size_t i = 0; i < messages.size(); ++i) {
        uidl += std::to_string(i + 1) + " " + messages[i].uidl + "\r\n";
        list += std::to_string(i + 1) + " " + std::to_string(messages[i].text.size()) + "\r\n";
    }
    LogIn(script)
        .receiveUntil("UIDL\r\n")
        .send(uidl + ".\r\n")
        .receiveUntil("LIST\r\n")
        .send(list + ".\r\n");
    for (int number : retrieved) {
        std::string retr = "RETR " + std::to_string(number) + "\r\n";
        const std::string &text = messages[number - 1].text;
        if (number == cutShort) {
            script.receiveUntil(retr).send("+OK\r\n" + text.substr(0, text.size() / 2));
            return;
        }
        std::string stuffed;
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find("\r\n", start);
            end = end == std::string::npos ? text.size() : end + 2;
            std::string line = text.substr(start, end - start);
            stuffed += (line[0] == '.' ? "." : "") + line;
            start = end;
        }
        script.receiveUntil(retr).send("+OK " + std::to_string(text.size()) + " octets\r\n" + stuffed + ".\r\n");
        if (std::find(deleted.begin(), deleted.end(), number) != deleted.end())
            script.receiveUntil("DELE " + std::to_string(number) + "\r\n").send("+OK deleted\r\n");
    }
    script.receiveUntil("QUIT\r\n").send("+OK bye\r\n");
}

// Files of this process can grow to a given size and no further (a full disk, as a writer
// sees it), until the object goes.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = old_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, oldHandler_);
    }

private:
    struct rlimit old_;
    void (*oldHandler_)(int);
};

const Message kFirst = {"uid-1", "From: Ann Other <ann@x.test>\r\nTo: me@site.test\r\nSubject: First\r\n"
                                 "Received: from a\r\nReceived: from b\r\nReceived-SPF: pass\r\n\r\nHello\r\n"};
const Message kSecond = {"uid-2", "From: bob@x.test\r\nSubject: Second\r\nDate: Sat, 09 Mar 2024 14:05:09 GMT\r\n\r\n"
                                  "..starts with a dot\r\n.\r\nSee you...\r\n  \r\n"};
const Message kThird = {"uid-3", "Subject: Third\r\n\r\nthird text\r\n"};

class POPTagTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetNetworkLimits();
        std::filesystem::create_directories(folder_ / "site/mail");
        host_.folders().setSiteRoot(folder_ / "site");
        host_.folders().setDataRoot(folder_ / "data");
    }
    void TearDown() override { ResetNetworkLimits(); }

    using Parameters = std::vector<std::pair<std::string, std::string>>;

    // A qelPOP request of a page in /mail/ on host for the mailbox "demo" on the server,
    // into the database "Inbox", with more parameters.
    std::unique_ptr<HostRequest> NewRequest(Host &host, const ScriptedServer &server, const Parameters &extra) {
        auto request = std::make_unique<HostRequest>(host, QEL_REQUEST_TAG);
        request->setTagName("qelPOP");
        request->setRecording(true);
        request->setCGIVariable("SCRIPT_NAME", "/mail/inbox.html");
        request->setPageFolder(folder_ / "site/mail");
        request->setRegion("/mail/");
        for (const Parameters &parameters :
             {Parameters{{"username", "demo"}, {"password", "secret"}, {"mailServer", server.hostAndPort()},
                         {"databaseName", "Inbox"}},
              extra})
            for (const auto &[name, value] : parameters)
                request->addTagParameter(name, value);
        return request;
    }

    // Runs the tag against the server (result variable "inbox", files into "files"); the
    // request is kept for checks.
    int32_t Run(const ScriptedServer &server, Parameters extra = {}) {
        extra.insert(extra.begin(), {{"resultVariableName", "inbox"}, {"attachmentFolderLocation", "files"}});
        request_ = NewRequest(host_, server, extra);
        return request_->run(ProcessQELRequest);
    }

    std::string Count() const { return request_->pageVariable("inbox_ResultCount").value_or("(none)"); }

    // The records of the message database, each field as text.
    std::vector<Record> Records() {
        DatabaseStore &store = host_.databases();
        uint32_t handle = 0, count = 0;
        std::vector<Record> records;
        if (store.openDatabase(7, "Inbox", QEL_OPEN_SHARED, &handle) != 0)
            return records;
        store.selectRecords(7, handle, "");
        store.selectedCount(7, handle, &count);
        for (uint32_t i = 0; i < count && store.moveToNext(7, handle) == 0; ++i) {
            Record record;
            for (const char *field : {"Header", "Message", "Unique ID", "To", "From", "From Name", "From Email",
                                      "Date", "Subject", "Size", "Received", "AttachmentFileNames"}) {
                FieldValue value;
                store.getFieldValue(7, handle, field, &value);
                record[field] = value.asText();
            }
            records.push_back(record);
        }
        store.closeAll(7);
        return records;
    }

    TestResolver resolver_;
    TemporaryFolder folder_;
    Host host_;
    std::unique_ptr<HostRequest> request_;
};

TEST_F(POPTagTest, NewMessagesAreStoredAsSentAndCountedOnce) {
    {
        ScriptedServer server;
        Mailbox(server.connection(), {kFirst}, {1});
        server.start();
        EXPECT_EQ(0, Run(server));
        EXPECT_EQ("1", Count());
        server.finish();
        EXPECT_FALSE(server.clientWaitExpired());
    }
    ScriptedServer server;
    Mailbox(server.connection(), {kFirst, kSecond, kThird}, {2, 3}, {2, 3});
    server.start();
    EXPECT_EQ(0, Run(server, {{"deleteMessagesOnServer", "yes"}}));
    EXPECT_EQ("2", Count());
    server.finish();
    EXPECT_FALSE(server.clientWaitExpired());
    EXPECT_EQ(std::string::npos, server.received(0).find("RETR 1\r\n"));
    EXPECT_EQ(std::string::npos, server.received(0).find("DELE 1\r\n"));

    std::vector<Record> records = Records();
    ASSERT_EQ(3u, records.size());
    Record &first = records[0];
    EXPECT_EQ("uid-1", first["Unique ID"]);
    EXPECT_EQ("Ann Other", first["From Name"]);
    EXPECT_EQ("ann@x.test", first["From Email"]);
    EXPECT_EQ("Ann Other <ann@x.test>", first["From"]);
    EXPECT_EQ("from a", first["Received"]);  // the first line, never Received-SPF
    EXPECT_EQ(0u, first["Header"].find("+OK "));
    EXPECT_EQ("\r\nHello\r\n", first["Message"]);
    EXPECT_EQ("9", first["Size"]);
    Record &second = records[1];
    EXPECT_EQ("bob@x.test", second["From Email"]);
    EXPECT_EQ("", second["From Name"]);
    EXPECT_EQ("Sat, 09 Mar 2024 14:05:09 GMT", second["Date"]);
    EXPECT_EQ("\r\n..starts with a dot\r\n.\r\nSee you...\r\n  \r\n", second["Message"]);
    EXPECT_EQ("third text\r\n", records[2]["Message"].substr(2));
}

TEST_F(POPTagTest, ALongTextIsCutAndFormDataFilesAreStored) {
    const std::string long_text(60000, 'l');
    const Message big = {"uid-big", "Subject: Big\r\n\r\n" + long_text + "\r\n"};
    const Message form = {"uid-form",
                          "Subject: Upload\r\nContent-Type: multipart/form-data; boundary=\"XYZ\"\r\n\r\n"
                          "--XYZ\r\nContent-Type: text/plain\r\n\r\nthe text\r\n"
                          "--XYZ\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nthe note\r\n"
                          "--XYZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"C:\\\\docs\\\\r.txt\"\r\n\r\n"
                          "file bytes\r\n--XYZ--\r\n"};
    ScriptedServer server;
    Mailbox(server.connection(), {big, form}, {1, 2});
    server.start();
    EXPECT_EQ(0, Run(server));
    server.finish();
    EXPECT_FALSE(server.clientWaitExpired());
    EXPECT_EQ("2", Count());
    std::vector<Record> records = Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(51200u, records[0]["Message"].size());
    EXPECT_EQ("51200", records[0]["Size"]);
    EXPECT_EQ("the text", records[1]["Message"]);  // a form field is no message text
    EXPECT_EQ("r.txt", records[1]["AttachmentFileNames"]);
    EXPECT_EQ("file bytes", ReadWholeFile(folder_ / "site/mail/files/r.txt"));
}

// A message that cannot be stored in full is taken back (record and files) and left on the
// server; the next message is stored, and a later call fetches the first.
TEST_F(POPTagTest, AMessageNotStoredInFullStaysOnTheServerForALaterCall) {
    const Message withFile = {"uid-file", "Subject: F\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n"
                                          "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n\r\n" +
                                              std::string(200000, 'A') + "\r\n--B--\r\n"};
    struct Case {
        const char *what;
        std::function<void(HostRequest &)> fault;
        rlim_t fileSizeLimit;  // 0: none
    } cases[] = {
        {"a refused record", [](HostRequest &r) { r.faults().failNth(QEL_DATABASE_UPDATE_RECORD, 1); }, 0},
        {"a refused field", [](HostRequest &r) { r.faults().failNth(QEL_DATABASE_SET_FIELD_VALUE, 3); }, 0},
        {"a full attachment folder", [](HostRequest &) {}, 100000},
    };
    for (const Case &c : cases) {
        Host host;
        host.folders().setSiteRoot(folder_ / "site");
        ScriptedServer server;
        Mailbox(server.connection(), {withFile, kThird}, {1, 2}, {2});
        server.start();
        std::unique_ptr<HostRequest> first =
            NewRequest(host, server, {{"attachmentFolderLocation", "kept"}, {"deleteMessagesOnServer", "1"}});
        HostRequest &request = *first;
        c.fault(request);
        {
            std::optional<FileSizeLimit> full;
            if (c.fileSizeLimit != 0)
                full.emplace(c.fileSizeLimit);
            EXPECT_EQ(0, request.run(ProcessQELRequest)) << c.what;
        }
        EXPECT_EQ("1", request.pageVariable("qelPOP_ResultCount").value_or("")) << c.what;
        server.finish();
        EXPECT_FALSE(server.clientWaitExpired());
        EXPECT_EQ(std::string::npos, server.received(0).find("DELE 1\r\n")) << c.what;
        EXPECT_NE(std::string::npos, server.received(0).find("DELE 2\r\n")) << c.what;
        EXPECT_FALSE(std::filesystem::exists(folder_ / "site/mail/kept/a.txt")) << c.what;
        ASSERT_FALSE(request.logEntries().empty()) << c.what;
        EXPECT_NE(std::string::npos, request.logEntries().back().text.find("(uid-file) was not stored")) << c.what;
        request.end();
        // Later, the message is fetched.
        ScriptedServer later;
        Mailbox(later.connection(), {withFile, kThird}, {1});
        later.start();
        std::unique_ptr<HostRequest> second = NewRequest(host, later, {{"attachmentFolderLocation", "kept"}});
        HostRequest &again = *second;
        EXPECT_EQ(0, again.run(ProcessQELRequest)) << c.what;
        EXPECT_EQ("1", again.pageVariable("qelPOP_ResultCount").value_or("")) << c.what;
        later.finish();
        EXPECT_FALSE(later.clientWaitExpired()) << c.what;
        EXPECT_TRUE(std::filesystem::exists(folder_ / "site/mail/kept/a.txt")) << c.what;
        std::filesystem::remove_all(folder_ / "site/mail/kept");
    }
}

// A record that reserves a message but was never completed (the fetch that made it ended
// early) is counted in the log and kept; its message stays on the server, while the
// others are fetched as usual. Without such records the log says nothing of them.
TEST_F(POPTagTest, AnUnfinishedReservationIsReportedAndItsMessageStays) {
    const std::string reported = "qelPOP: 1 record reserves a message that no fetch stored";
    struct Case {
        bool reservation;
        std::vector<int> retrieved;
        std::string count;
    } cases[] = {{false, {1, 2}, "2"}, {true, {2}, "1"}};
    for (const Case &c : cases) {
        Host host;
        host.folders().setSiteRoot(folder_ / "site");
        ScriptedServer empty;
        Mailbox(empty.connection(), {}, {});
        empty.start();
        ASSERT_EQ(0, NewRequest(host, empty, {})->run(ProcessQELRequest));  // lays the database out
        empty.finish();
        if (c.reservation) {
            DatabaseStore &store = host.databases();
            uint32_t handle = 0;
            ASSERT_EQ(0, store.openDatabase(7, "Inbox", QEL_OPEN_SHARED, &handle));
            ASSERT_EQ(0, store.createRecord(7, handle));
            ASSERT_EQ(0, store.setFieldValue(7, handle, "Unique ID", FieldValue::ofText(kFirst.uidl)));
            ASSERT_EQ(0, store.setFieldValue(7, handle, "Header", FieldValue::ofText("")));
            ASSERT_EQ(0, store.addRecord(7, handle));
            store.closeAll(7);
        }
        ScriptedServer server;
        Mailbox(server.connection(), {kFirst, kThird}, c.retrieved, c.retrieved);
        server.start();
        std::unique_ptr<HostRequest> request = NewRequest(host, server, {{"deleteMessagesOnServer", "1"}});
        EXPECT_EQ(0, request->run(ProcessQELRequest));
        server.finish();
        EXPECT_FALSE(server.clientWaitExpired()) << c.reservation;
        EXPECT_EQ(c.count, request->pageVariable("qelPOP_ResultCount").value_or(""));
        EXPECT_EQ(!c.reservation, server.received(0).find("RETR 1\r\n") != std::string::npos);
        EXPECT_EQ(!c.reservation, server.received(0).find("DELE 1\r\n") != std::string::npos);
        bool logged = false;
        for (const auto &entry : request->logEntries())
            logged = logged || entry.text.find(reported) == 0;
        EXPECT_EQ(c.reservation, logged);
        request->end();
    }
}

// A message database whose layout a stopped process left unfinished (its first fields, no
// record) gets the rest of its fields and stores the messages; one holding a record is not
// touched and takes nothing.
TEST_F(POPTagTest, AnUnfinishedLayoutIsCompletedWhileItHoldsNoRecord) {
    for (bool withRecord : {false, true}) {
        Host host;
        host.folders().setSiteRoot(folder_ / "site");
        DatabaseStore &store = host.databases();
        uint32_t handle = 0;
        ASSERT_EQ(0, store.openDatabase(7, "Inbox", QEL_OPEN_EXCLUSIVE, &handle));
        ASSERT_EQ(0, store.addField(7, handle, "Header", 0x00070000u));
        ASSERT_EQ(0, store.addField(7, handle, "Message", 0x00070000u));
        ASSERT_EQ(0, store.addField(7, handle, "Read", 0x00010000u));
        if (withRecord) {
            ASSERT_EQ(0, store.createRecord(7, handle));
            ASSERT_EQ(0, store.setFieldValue(7, handle, "Header", FieldValue::ofText("kept")));
            ASSERT_EQ(0, store.addRecord(7, handle));
        }
        store.closeAll(7);
        ScriptedServer server;
        Mailbox(server.connection(), {kFirst}, withRecord ? std::vector<int>{} : std::vector<int>{1});
        server.start();
        std::unique_ptr<HostRequest> request = NewRequest(host, server, {});
        const int32_t result = request->run(ProcessQELRequest);
        server.finish();
        EXPECT_FALSE(server.clientWaitExpired()) << withRecord;
        EXPECT_EQ(withRecord ? "0" : "1", request->pageVariable("qelPOP_ResultCount").value_or("")) << withRecord;
        if (withRecord) {
            EXPECT_NE(0, result);
            EXPECT_EQ(0u, request->countCalls(QEL_DATABASE_ADD_FIELD));
        } else {
            EXPECT_EQ(0, result);
            EXPECT_EQ(16u, request->countCalls(QEL_DATABASE_ADD_FIELD));
            ASSERT_FALSE(request->logEntries().empty());
            EXPECT_EQ("qelPOP: the database Inbox was left with 3 of its fields and no record; the others are added",
                      request->logEntries()[0].text);
        }
        request->end();
    }
}

// A retrieval cut short leaves the session out of step, and its deletions are undone: the
// tag logs in again, finds the messages by identifier (another client may have removed
// one meanwhile), deletes again what it stored and stores the next message. A message
// larger than any retrieval may be is left unread.
TEST_F(POPTagTest, ARetrievalCutShortOrTooLargeIsLeftAndTheNextIsStored) {
    const Message huge = {"uid-huge", "Subject: H\r\n\r\n" + std::string(5000, 'h') + "\r\n"};
    {
        ScriptedServer server;
        Mailbox(server.connection(), {kSecond, kFirst, kThird}, {1, 2}, {1}, 2);
        LogIn(server.connection())
            .receiveUntil("UIDL\r\n")
            .send("+OK\r\n1 uid-2\r\n2 uid-3\r\n.\r\n")
            .receiveUntil("DELE 1\r\n")
            .send("+OK\r\n")
            .receiveUntil("RETR 2\r\n")
            .send("+OK\r\n" + kThird.text + ".\r\n")
            .receiveUntil("DELE 2\r\n")
            .send("+OK\r\n")
            .receiveUntil("QUIT\r\n")
            .send("+OK\r\n");
        server.start();
        EXPECT_EQ(0, Run(server, {{"deleteMessagesOnServer", "yes"}}));
        EXPECT_EQ("2", Count());
        server.finish();
        EXPECT_FALSE(server.clientWaitExpired());
        EXPECT_EQ(2u, server.acceptedCount());
    }
    std::vector<Record> records = Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("uid-2", records[0]["Unique ID"]);
    EXPECT_EQ("uid-3", records[1]["Unique ID"]);

    QELNetworkLimits limits = kDefaultNetworkLimits;
    limits.pop3RetrievalByteCap = 1000;
    SetNetworkLimits(limits);
    ScriptedServer server;
    Mailbox(server.connection(), {huge, kFirst}, {2});
    server.start();
    EXPECT_EQ(0, Run(server));
    EXPECT_EQ("1", Count());
    server.finish();
    EXPECT_FALSE(server.clientWaitExpired());
    EXPECT_EQ(std::string::npos, server.received(0).find("RETR 1\r\n"));
    EXPECT_NE(std::string::npos, request_->logEntries().at(0).text.find("left on the server unread"));
}

TEST_F(POPTagTest, RefusedSettingsEndTheTagBeforeAnyWork) {
    ScriptedServer server;
    server.start();
    struct Case {
        std::vector<std::pair<std::string, std::string>> parameters;
        int32_t result;
        const char *count;  // the result variable, "(none)" when it is not set
    } cases[] = {
        {{{"username", "demo\r\nUSER root"}}, Code(QEL_RESULT_INVALID_PARAMETER), "0"},
        {{{"password", std::string("se\0cret", 7)}}, Code(QEL_RESULT_INVALID_PARAMETER), "0"},
        {{{"attachmentFolderLocation", "../../elsewhere"}}, Code(QEL_RESULT_NOT_AUTHORISED), "0"},
    };
    for (const Case &c : cases) {
        request_ = std::make_unique<HostRequest>(host_, QEL_REQUEST_TAG);
        request_->setTagName("qelPOP");
        request_->setRecording(true);
        request_->setPageFolder(folder_ / "site/mail");
        std::map<std::string, std::string> values = {{"username", "demo"}, {"password", "secret"},
                                                     {"mailServer", server.hostAndPort()}, {"databaseName", "Inbox"},
                                                     {"resultVariableName", "inbox"}};
        for (const auto &[name, value] : c.parameters)
            values[name] = value;
        for (const auto &[name, value] : values)
            request_->addTagParameter(name, value);
        EXPECT_EQ(c.result, request_->run(ProcessQELRequest));
        EXPECT_EQ(c.count, Count());
        EXPECT_EQ(0u, request_->countCalls(QEL_DATABASE_STARTUP));
    }
    request_ = std::make_unique<HostRequest>(host_, QEL_REQUEST_TAG);
    request_->setTagName("qelPOP");
    request_->addTagParameter("username", "demo");
    request_->addTagParameter("password", "secret");
    request_->addTagParameter("mailServer", server.hostAndPort());
    EXPECT_EQ(Code(QEL_RESULT_MISSING_PARAMETER), request_->run(ProcessQELRequest));
    EXPECT_TRUE(request_->pageVariables().empty());
    server.finish(100);
    EXPECT_EQ(0u, server.acceptedCount());
}

// A database of another layout takes no record, and nothing is deleted on the server.
TEST_F(POPTagTest, ADatabaseOfAnotherLayoutTakesNothing) {
    DatabaseStore &store = host_.databases();
    uint32_t handle = 0;
    ASSERT_EQ(0, store.openDatabase(1, "Inbox", QEL_OPEN_EXCLUSIVE, &handle));
    ASSERT_EQ(0, store.addField(1, handle, "Name", 0x00070000u));
    store.closeAll(1);
    ScriptedServer server;
    LogIn(server.connection())
        .receiveUntil("UIDL\r\n")
        .send("+OK\r\n1 uid-1\r\n.\r\n")
        .receiveUntil("LIST\r\n")
        .send("+OK\r\n1 10\r\n.\r\n")
        .receiveUntil("QUIT\r\n")
        .send("+OK\r\n");
    server.start();
    EXPECT_EQ(Code(QEL_RESULT_GENERAL_FAILURE), Run(server, {{"deleteMessagesOnServer", "yes"}}));
    ASSERT_TRUE(request_->errorInfo().has_value());
    EXPECT_EQ("The database could not be opened.", request_->errorInfo()->message);
    server.finish();
    EXPECT_FALSE(server.clientWaitExpired());
    EXPECT_EQ(std::string::npos, server.received(0).find("RETR"));
    EXPECT_EQ(std::string::npos, server.received(0).find("DELE"));
    EXPECT_EQ(0u, request_->countCalls(QEL_DATABASE_ADD_RECORD));
}

// Switched off for its region, the tag makes no connection and no database call.
TEST_F(POPTagTest, SwitchedOffForItsRegionTheTagDoesNothing) {
    host_.preferences().set("/mail/", "qelPOP", "no");
    ScriptedServer server;
    server.start();
    EXPECT_EQ(0, Run(server));
    EXPECT_EQ(0u, request_->countCalls(QEL_DATABASE_STARTUP));
    EXPECT_EQ("(none)", Count());
    server.finish(100);
    EXPECT_EQ(0u, server.acceptedCount());
}

}  // namespace
