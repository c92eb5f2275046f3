// HostFaultsTest.cpp: every tag scenario against a host that refuses one of its calls:
// each scenario runs once to count its N calls, then N times with the 1st, 2nd, ... Nth
// call refused. Every run must end with a result its tag may give, leave no host memory
// behind, break no call convention, close every database it opened and shut down every
// database system it started; and the scenario's own data must stay whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Object.h"
#include "foundation/TemporaryFolder.h"
#include "host/lib/DatabaseStore.h"
#include "host/lib/Host.h"
#include "host/lib/HostMemory.h"
#include "host/lib/HostRequest.h"
#include "host/lib/HostServices.h"
#include "host/lib/PreferenceStore.h"
#include "mail/Thread.h"
#include "module/HostInterface.h"
#include "net/NetworkLimits.h"
#include "net/ScriptedServer.h"
#include "net/SMTPDialogue.h"
#include "net/ServerSettings.h"
#include "net/TestResolver.h"
#include "tags/TestMailbox.h"

using velquor::host::DatabaseStore;
using velquor::host::FieldValue;
using velquor::host::Host;
using velquor::host::HostMemory;
using velquor::host::HostRequest;
using velquor::host::ServiceCall;

namespace {

constexpr int32_t Code(uint32_t code) { return static_cast<int32_t>(code); }
const int32_t kGeneral = Code(QEL_RESULT_GENERAL_FAILURE);
const int32_t kMissing = Code(QEL_RESULT_MISSING_PARAMETER);
const int32_t kInvalid = Code(QEL_RESULT_INVALID_PARAMETER);
const int32_t kBadAddress = Code(QEL_RESULT_INVALID_ADDRESS);
const int32_t kOperationFailed = Code(QEL_RESULT_OPERATION_FAILED);
const int32_t kFileNotFound = Code(QEL_RESULT_FILE_NOT_FOUND);
const int32_t kNotFound = Code(QEL_RESULT_NOT_FOUND);
const int32_t kNotAuthorised = Code(QEL_RESULT_NOT_AUTHORISED);

// What the failed-mail log's results may be: 0, a database service's code, the layout error.
const std::set<int32_t> kLogCodes = {0, kGeneral, kOperationFailed, kNotFound, kInvalid};

const char kAccepted[] = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n";
const char kLogDatabase[] = "__QELDB__SendMail_Log__";
// The owner the test reads the host's databases as; no request has this id.
constexpr uint64_t kReader = 0xFFFFFFFFull << 16;

using Record = std::map<std::string, std::string>;
using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string CodeText(int32_t code) {
    if (code == 0)
        return "0";
    std::string text = "'";
    for (int shift = 24; shift >= 0; shift -= 8)
        text += static_cast<char>((static_cast<uint32_t>(code) >> shift) & 0xFF);
    return text + "'";
}

void WriteWholeFile(const std::filesystem::path &path, const std::string &bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

// The names of the files in a folder (none when it does not exist).
std::set<std::string> FilesIn(const std::filesystem::path &folder) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(folder, error))
        names.insert(entry.path().filename().string());
    return names;
}

// The number after "handle=" in text from offset on; 0 when there is none.
uint32_t HandleIn(const std::string &text, size_t from) {
    size_t at = text.find("handle=", from);
    return at == std::string::npos ? 0 : static_cast<uint32_t>(std::strtoul(text.c_str() + at + 7, nullptr, 10));
}

// What the call record says about the request's use of the databases: every handle an
// open answered is closed again, and every started database system is shut down once.
std::string DatabaseUseProblems(const HostRequest &request) {
    std::multiset<uint32_t> open;
    int started = 0;
    std::string problems;
    for (const ServiceCall &call : request.calls()) {
        if (call.channel != ServiceCall::Channel::Database)
            continue;
        size_t arrow = call.text.find(" -> ");
        if (call.selector == QEL_DATABASE_STARTUP && call.answer == 0) {
            ++started;
        } else if (call.selector == QEL_DATABASE_SHUTDOWN) {
            if (started == 0)
                problems += "a shutdown without a started database system; ";
            else
                --started;
        } else if (call.selector == QEL_DATABASE_OPEN && call.answer == 0) {
            open.insert(HandleIn(call.text, arrow));
        } else if (call.selector == QEL_DATABASE_CLOSE) {
            auto found = open.find(HandleIn(call.text.substr(0, arrow), 0));
            if (found == open.end())
                problems += "a close of a handle that is not open: " + call.text + "; ";
            else
                open.erase(found);
        }
    }
    for (uint32_t handle : open)
        problems += "handle " + std::to_string(handle) + " left open; ";
    if (started != 0)
        problems += std::to_string(started) + " database system start(s) without shutdown; ";
    return problems;
}

// The records of a database of the host, the named fields of each as text.
std::vector<Record> RecordsOf(Host &host, const std::string &database, const std::vector<std::string> &fields) {
    DatabaseStore &store = host.databases();
    std::vector<Record> records;
    uint32_t handle = 0, count = 0;
    if (store.openDatabase(kReader, database, QEL_OPEN_SHARED, &handle) != 0)
        return records;
    store.selectRecords(kReader, handle, "");
    store.selectedCount(kReader, handle, &count);
    for (uint32_t i = 0; i < count && store.moveToNext(kReader, handle) == 0; ++i) {
        Record record;
        for (const std::string &field : fields) {
            FieldValue value;
            store.getFieldValue(kReader, handle, field, &value);
            record[field] = value.asText();
        }
        records.push_back(record);
    }
    store.closeAll(kReader);
    return records;
}

// One run of a scenario: the request (its call record) on its host, the tag's result, and
// what the scenario's own checks found wrong ("" when nothing).
struct Outcome {
    std::unique_ptr<Host> host;
    std::unique_ptr<HostRequest> request;
    int32_t result = 0;
    std::string problems;
};

class HostFaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetNetworkLimits();
        // Everything the module allocates from here on is counted by the host.
        InstallHostMemoryFunctions(HostAllocate, HostRelease);
    }
    void TearDown() override {
        EXPECT_TRUE(QELThread::WaitUntilNoneRuns(60000));
        ForgetServerSettings();
        InstallHostMemoryFunctions(nullptr, nullptr);
        ResetNetworkLimits();
    }

    // The module keeps the mail server settings between requests; they are set back to
    // none before the host's blocks are counted.
    static void ForgetServerSettings() {
        QELServerSettings::Shared().setFilePath(QELString());
        QELServerSettings::Shared().refresh();
    }

    // A host of its own for one run, with the site and data folders of that run.
    std::unique_ptr<Host> NewHost(const std::string &run) {
        auto host = std::make_unique<Host>();
        std::filesystem::create_directories(root_ / run / "site/dir");
        host->folders().setSiteRoot(root_ / run / "site");
        host->folders().setDataRoot(root_ / run / "data");
        return host;
    }

    // A request on host whose nth call is refused (0: none), recording its calls.
    static std::unique_ptr<HostRequest> NewRequest(Host &host, uint32_t requestCode, uint32_t refuse) {
        auto request = std::make_unique<HostRequest>(host, requestCode);
        request->setRecording(true);
        if (refuse != 0)
            request->faults().failNthCall(refuse);
        return request;
    }

    // Runs the scenario without faults twice (the first may set up what the module keeps
    // for good), counts its calls N, then runs it N times refusing the kth call. The
    // checks of every run are described at the top of the file.
    void RefuseEachCallInTurn(const std::string &name, const std::set<int32_t> &codes,
                              const std::function<Outcome(uint32_t refuse)> &scenario) {
        SCOPED_TRACE(name);
        scenario(0);
        ForgetServerSettings();
        const int64_t liveBefore = HostMemory::counters().liveBlocks;
        Outcome clean = scenario(0);
        ASSERT_EQ(clean.result, 0) << name;
        ASSERT_EQ(clean.problems, "");
        ForgetServerSettings();
        EXPECT_EQ(HostMemory::counters().liveBlocks, liveBefore) << "a clean run leaves no block";
        const uint32_t count = clean.request->faults().callCount();
        ASSERT_GT(count, 0u);
        ASSERT_EQ(clean.request->calls().size(), count);
        std::set<int32_t> seen;
        for (uint32_t k = 1; k <= count; ++k) {
            const std::string expected = clean.request->calls()[k - 1].text;
            SCOPED_TRACE("refused call " + std::to_string(k) + " of " + std::to_string(count) + ": " + expected);
            const int64_t live = HostMemory::counters().liveBlocks;
            Outcome run = scenario(k);
            ForgetServerSettings();
            ASSERT_GE(run.request->calls().size(), k);
            const ServiceCall &refused = run.request->calls()[k - 1];
            EXPECT_EQ(refused.selector, clean.request->calls()[k - 1].selector) << "the same call as in the clean run";
            const bool served = refused.answer == Code(QEL_RESULT_UNKNOWN_REQUEST) || refused.protocolViolation;
            EXPECT_TRUE(refused.answer == kGeneral || served) << refused.text;
            EXPECT_EQ(codes.count(run.result), 1u) << "result " << CodeText(run.result);
            EXPECT_EQ(run.request->protocolViolations(), std::vector<std::string>());
            EXPECT_EQ(DatabaseUseProblems(*run.request), "");
            EXPECT_EQ(run.problems, "");
            EXPECT_EQ(HostMemory::counters().liveBlocks, live) << "the run leaves no block of the host's memory";
            seen.insert(run.result);
            if (HasFatalFailure())
                return;
        }
        std::string shown;
        for (int32_t code : seen)
            shown += " " + CodeText(code);
        std::printf("[ faults   ] %s: %u calls, results:%s\n", name.c_str(), count, shown.c_str());
    }

    TestResolver resolver_;
    TemporaryFolder folder_;
    const std::filesystem::path root_{folder_.path()};
};

// --- qelIncludeHTTP ------------------------------------------------------------------

TEST_F(HostFaultsTest, IncludeEndsWithItsResultsWhateverCallIsRefused) {
    const std::string content = "included text";
    RefuseEachCallInTurn("include", {0, kMissing, kInvalid}, [&](uint32_t refuse) {
        Outcome run;
        run.host = NewHost("include");
        ScriptedServer server;
        server.connection().receiveRequest().send("HTTP/1.0 200 OK\r\nContent-Length: " +
                                                  std::to_string(content.size()) + "\r\n\r\n" + content);
        server.start();
        run.request = NewRequest(*run.host, QEL_REQUEST_TAG, refuse);
        run.request->setTagName("qelIncludeHTTP");
        run.request->setVirtualHost("www.site.test");
        run.request->setCGIVariable("SCRIPT_NAME", "/dir/page.html");
        run.request->addTagParameter("url", "http://" + server.hostAndPort() + "/news.txt");
        run.request->addTagParameter("data", "content");
        run.result = run.request->run(ProcessQELRequest);
        // The page gets the whole content or nothing.
        if (run.request->output() != content && !run.request->output().empty())
            run.problems += "the page got \"" + run.request->output() + "\"; ";
        return run;
    });
}

// --- qelSendMail -----------------------------------------------------------------------

// An SMTP server that refuses the one recipient, so the message must be spooled and
// reported with an "F" post.
void RefuseRecipient(ScriptedServer::Script &script) {
    SMTPDialogue(script, "550 no such user");
}

// An SMTP server that takes the message.
void AcceptMessage(ScriptedServer::Script &script) {
    SMTPDialogue(script);
}

TEST_F(HostFaultsTest, SendLosesNoMessageWhateverCallIsRefused) {
    int runs = 0;
    RefuseEachCallInTurn(
        "send", {0, kMissing, kInvalid, kBadAddress, kOperationFailed, kFileNotFound, kGeneral},
        [&](uint32_t refuse) {
            Outcome run;
            const std::string name = "send" + std::to_string(++runs);
            run.host = NewHost(name);
            WriteWholeFile(root_ / name / "site/dir/note.txt", "an attached note\n");
            ScriptedServer smtp, status;
            RefuseRecipient(smtp.connection());
            status.connection().receiveRequest().send(kAccepted);
            smtp.start();
            status.start();
            run.request = NewRequest(*run.host, QEL_REQUEST_TAG, refuse);
            run.request->setTagName("qelSendMail");
            run.request->setVirtualHost(status.hostAndPort());
            run.request->setCGIVariable("SCRIPT_NAME", "/dir/page.html");
            run.request->setPageFolder((root_ / name / "site/dir/").string());
            run.request->setRegion("/");
            run.request->setTagBody("Hello\n");
            for (const auto &[parameter, value] :
                 Pairs{{"mailServer", smtp.hostAndPort()}, {"from", "site@site.test"}, {"to", "a@x.test"},
                       {"subject", "Hi"}, {"attachmentFileLocation", "note.txt"}})
                run.request->addTagParameter(parameter, value);
            run.result = run.request->run(ProcessQELRequest);
            EXPECT_TRUE(QELThread::WaitUntilNoneRuns(60000));
            // The message leaves only with a job: one that could not deliver it (the server
            // refuses it, or the settings forbid sending) keeps it in the spool and names it
            // in its "F" post. Both servers have recorded what the finished job sent.
            const bool sent = smtp.acceptedCount() > 0 || status.acceptedCount() > 0;
            std::set<std::string> spooled;
            for (const std::string &file : FilesIn(root_ / name / "data/FM"))
                if (file.rfind("msg", 0) == 0)
                    spooled.insert(file);
            // A tag the host does not name is no tag of the module's: nothing runs.
            const bool named =
                refuse == 0 || run.request->calls()[refuse - 1].selector != QEL_SERVICE_GET_TAG_NAME;
            if (run.result == 0 && !sent && named)
                run.problems += "the tag answered 0 but no message went out; ";
            if (sent && spooled.size() != 1)
                run.problems += "an undelivered message was not spooled; ";
            if (sent && spooled.size() == 1 &&
                status.received(0).find("MessageID=" + *spooled.begin() + "&Status=F") == std::string::npos)
                run.problems += "the spool file " + *spooled.begin() + " was not reported: " + status.received(0) + "; ";
            if (!sent && !spooled.empty())
                run.problems += "a spool file without a delivery; ";
            return run;
        });
}

// --- the failed-mail log: status posts ---------------------------------------------------

const std::vector<std::string> kLogFields = {"Message ID", "Status", "Attempts", "SMTP Server", "From",
                                             "ReplyTo",    "To",     "CC",       "BCC",         "Subject",
                                             "Info",       "QELIDFIELD"};

// A status post ('MAct') on host with these form values.
std::unique_ptr<HostRequest> StatusPost(Host &host, const Pairs &form, uint32_t refuse) {
    auto request = std::make_unique<HostRequest>(host, QEL_REQUEST_ACTION);
    request->setRecording(true);
    if (refuse != 0)
        request->faults().failNthCall(refuse);
    request->setActionName("SendMail");
    request->setVirtualHost("www.site.test");
    request->setCGIVariable("SCRIPT_NAME", "/dir/SendMail");
    request->setCGIVariable("REQUEST_METHOD", "POST");
    for (const auto &[name, value] : form)
        request->addFormArgument(name, value);
    return request;
}

Pairs Failure(const std::string &messageID, const std::string &info, const std::string &server = "smtp.test:25") {
    return {{"MessageID", messageID}, {"Status", "F"},       {"SMTPServer", server}, {"From", "site@site.test"},
            {"ReplyTo", ""},          {"To", "a@x.test"},    {"CC", ""},             {"BCC", ""},
            {"Subject", "Hi"},        {"Info", info}};
}

TEST_F(HostFaultsTest, StatusPostsKeepOneWholeRecordWhateverCallIsRefused) {
    struct Case {
        const char *name;
        bool recordBefore;  // a first failure was posted before
        Pairs post;
    };
    const Case cases[] = {
        {"first failure", false, Failure("msg123", "second")},
        {"further failure", true, Failure("msg123", "second")},
        {"delivered", true, {{"MessageID", "msg123"}, {"Status", "S"}}},
    };
    for (const Case &c : cases) {
        RefuseEachCallInTurn(std::string("status post, ") + c.name, kLogCodes, [&](uint32_t refuse) {
            Outcome run;
            run.host = NewHost("status");
            if (c.recordBefore) {
                auto first = StatusPost(*run.host, Failure("msg123", "first"), 0);
                EXPECT_EQ(first->run(ProcessQELRequest), 0);
            }
            run.request = StatusPost(*run.host, c.post, refuse);
            run.result = run.request->run(ProcessQELRequest);
            const bool delivered = c.post[1].second == "S";
            std::vector<Record> records = RecordsOf(*run.host, kLogDatabase, kLogFields);
            if (records.size() > 1)
                run.problems += std::to_string(records.size()) + " records for one message; ";
            // A record that took this post counts it: Attempts goes on from the stored count.
            for (const Record &record : records)
                if (record.at("Info") == "second" && record.at("Attempts") != (c.recordBefore ? "2" : "1"))
                    run.problems += "the post was stored with Attempts " + record.at("Attempts") + "; ";
            // Whatever was refused, the log keeps working: the same post again succeeds.
            auto again = StatusPost(*run.host, c.post, 0);
            int32_t repeated = again->run(ProcessQELRequest);
            records = RecordsOf(*run.host, kLogDatabase, kLogFields);
            if (repeated != 0)
                run.problems += "the post again answered " + CodeText(repeated) + "; ";
            else if (records.size() != (delivered ? 0u : 1u))
                run.problems += "after the post again: " + std::to_string(records.size()) + " records; ";
            return run;
        });
    }
}

// --- the failed-mail administration pages ---------------------------------------------------

TEST_F(HostFaultsTest, AdministrationPagesKeepRecordsAndSpoolFilesTogetherWhateverCallIsRefused) {
    struct Case {
        const char *name;
        Pairs form;  // "RECORD" stands for the record ID of msg101
    };
    const Case cases[] = {
        {"list", {}},
        {"show", {{"qelSendMailAction", "Edit"}, {"qelSendMailRecordID", "RECORD"}, {"qelSendMailMessageID", "101"}}},
        {"resend",
         {{"qelSendMailAction", "Send"}, {"qelSendMailRecordID", "RECORD"}, {"qelSendMailMessageID", "101"},
          {"qelSendMailPage", "1"}}},
        {"delete",
         {{"qelSendMailAction", "DeleteMessage"}, {"qelSendMailConfirmation", "Yes"},
          {"qelSendMailRecordID", "RECORD"}, {"qelSendMailMessageID", "101"}, {"qelSendMailPage", "1"}}},
    };
    const std::string spooled = "From: site@site.test\r\nTo: a@x.test\r\nSubject: Hi\r\n\r\nHello\r\n.\r\n";
    for (const Case &c : cases) {
        int runs = 0;
        RefuseEachCallInTurn(
            std::string("administration page, ") + c.name, {0, kGeneral, kInvalid, kMissing, kOperationFailed, kNotFound},
            [&](uint32_t refuse) {
                Outcome run;
                const std::string name = std::string("admin-") + c.name + std::to_string(++runs);
                run.host = NewHost(name);
                const std::filesystem::path spool = root_ / name / "data/FM";
                ScriptedServer smtp, status;
                AcceptMessage(smtp.connection());
                status.connection().receiveRequest().send(kAccepted);
                smtp.start();
                status.start();
                for (const char *id : {"msg101", "msg102"}) {
                    auto post = StatusPost(*run.host, Failure(id, "refused", smtp.hostAndPort()), 0);
                    EXPECT_EQ(post->run(ProcessQELRequest), 0);
                    WriteWholeFile(spool / id, spooled);
                }
                std::string record;
                for (const Record &r : RecordsOf(*run.host, kLogDatabase, kLogFields))
                    if (r.at("Message ID") == "101")
                        record = r.at("QELIDFIELD");
                run.request = NewRequest(*run.host, QEL_REQUEST_TAG, refuse);
                run.request->setTagName("qelSendMail");
                run.request->setVirtualHost(status.hostAndPort());
                run.request->setCGIVariable("SCRIPT_NAME", "/admin/failed.html");
                run.request->setCGIVariable("REQUEST_METHOD", "POST");
                run.request->setRegion("/");
                run.request->addTagParameter("mode", "admin");
                for (const auto &[field, value] : c.form)
                    run.request->addFormArgument(field, value == "RECORD" ? record : value);
                run.result = run.request->run(ProcessQELRequest);
                EXPECT_TRUE(QELThread::WaitUntilNoneRuns(60000));
                std::set<std::string> records;
                for (const Record &r : RecordsOf(*run.host, kLogDatabase, kLogFields))
                    records.insert("msg" + r.at("Message ID"));
                const std::set<std::string> files = FilesIn(spool);
                // A record without its spool file, or a spool file without its record, is
                // a message lost to the administrator; only a delivery (reported "S") may
                // take the spool file before the record.
                const bool delivered = smtp.received(0).find("\r\n.\r\n") != std::string::npos &&
                                       status.received(0).find("MessageID=msg101&Status=S") != std::string::npos;
                for (const char *id : {"msg101", "msg102"}) {
                    const bool kept = files.count(id) == 1;
                    if (kept != (records.count(id) == 1) && !(delivered && std::string(id) == "msg101"))
                        run.problems += std::string(id) + (kept ? " lost its record; " : " lost its spool file; ");
                }
                return run;
            });
    }
}

// --- qelPOP ------------------------------------------------------------------------------

const std::vector<TestMailbox::Message> kMessages = {
    {"uid-1", "From: Ann Other <ann@x.test>\r\nTo: me@site.test\r\nSubject: First\r\n\r\nHello\r\n"},
    {"uid-2", "From: bob@x.test\r\nSubject: Second\r\n\r\n..starts with a dot\r\n.\r\nSee you\r\n"},
    {"uid-3", "From: form@x.test\r\nSubject: Upload\r\nMIME-Version: 1.0\r\n"
              "Content-Type: multipart/form-data; boundary=\"XYZ\"\r\n\r\n"
              "--XYZ\r\nContent-Type: text/plain\r\n\r\nA file is attached.\r\n"
              "--XYZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"r.txt\"\r\n"
              "Content-Type: text/plain\r\n\r\nfile content\r\n--XYZ--\r\n"},
};

const std::vector<std::string> kMessageFields = {"Unique ID", "Header",  "Message", "To",   "From", "From Name",
                                                 "From Email", "Subject", "Size",    "Read", "AttachmentFileNames"};

TEST_F(HostFaultsTest, FetchDeletesOnlyWhatItStoredWholeWhateverCallIsRefused) {
    int runs = 0;
    std::map<std::string, Record> whole;  // the records of the clean run, by Unique ID
    RefuseEachCallInTurn("POP fetch", {0, kMissing, kNotAuthorised, kGeneral}, [&](uint32_t refuse) {
        Outcome run;
        const std::string name = "pop" + std::to_string(++runs);
        run.host = NewHost(name);
        std::filesystem::create_directories(root_ / name / "site/mail");
        TestMailbox mailbox(kMessages);
        auto fetch = [&](uint32_t nth) {
            auto request = NewRequest(*run.host, QEL_REQUEST_TAG, nth);
            request->setTagName("qelPOP");
            request->setCGIVariable("SCRIPT_NAME", "/mail/inbox.html");
            request->setPageFolder((root_ / name / "site/mail").string());
            request->setRegion("/mail/");
            for (const auto &[parameter, value] :
                 Pairs{{"username", "demo"}, {"password", "secret"}, {"mailServer", mailbox.hostAndPort()},
                       {"databaseName", "Inbox"}, {"attachmentFolderLocation", "files"},
                       {"deleteMessagesOnServer", "yes"}})
                request->addTagParameter(parameter, value);
            return request;
        };
        run.request = fetch(refuse);
        run.result = run.request->run(ProcessQELRequest);
        std::map<std::string, std::vector<Record>> stored;
        for (const Record &record : RecordsOf(*run.host, "Inbox", kMessageFields))
            stored[record.at("Unique ID")].push_back(record);
        if (refuse == 0 && whole.empty())
            for (const auto &[uid, records] : stored)
                whole[uid] = records.front();
        // Deleted on the server means stored whole, once.
        for (const std::string &uid : mailbox.deleted())
            if (stored[uid].size() != 1 || stored[uid].front() != whole[uid])
                run.problems += uid + " was deleted on the server but not stored whole; ";
        // Whatever was refused, the next fetch gets every message in whole, and nothing twice.
        auto again = fetch(0);
        int32_t repeated = again->run(ProcessQELRequest);
        stored.clear();
        for (const Record &record : RecordsOf(*run.host, "Inbox", kMessageFields))
            stored[record.at("Unique ID")].push_back(record);
        if (repeated != 0)
            run.problems += "the next fetch answered " + CodeText(repeated) + "; ";
        for (const TestMailbox::Message &message : kMessages) {
            const std::vector<Record> &records = stored[message.uidl];
            if (records.size() != 1 || records.front() != whole[message.uidl])
                run.problems += message.uidl + " is not stored whole once after the next fetch (" +
                                std::to_string(records.size()) + " records); ";
        }
        // The attachment folders (the page's, or the default when the host did not give
        // it) hold the files of the stored records and no other.
        std::set<std::string> named;
        for (const auto &[uid, records] : stored)
            for (const Record &record : records)
                if (!record.at("AttachmentFileNames").empty())
                    named.insert(record.at("AttachmentFileNames"));
        std::set<std::string> files = FilesIn(root_ / name / "site/mail/files");
        for (const std::string &file : FilesIn(root_ / name / "site/mail/Attachments"))
            files.insert(file);
        if (files != named)
            run.problems += std::to_string(files.size()) + " files in the attachment folder for " +
                            std::to_string(named.size()) + " named; ";
        return run;
    });
}

// --- the region preference page -------------------------------------------------------------

TEST_F(HostFaultsTest, PreferencePagesAnswerZeroWhateverCallIsRefused) {
    struct Case {
        const char *name;
        uint32_t requestCode;
        Pairs form;
    };
    const Case cases[] = {
        {"build", QEL_REQUEST_GET_PREFERENCES, {}},
        {"store",
         QEL_REQUEST_SET_PREFERENCES,
         {{"qelIncludeHTTP", "yes"}, {"qelSendMail", "yes"}, {"qelSendMailPreference_UseMailServerName", "Always"},
          {"qelSendMailPreference_mailServerName", "smtp.site.test"}, {"qelSendMailPreference_UseGMT", "yes"},
          {"qelSendMailPreference_GMTOffset", "1.5"}}},
    };
    for (const Case &c : cases) {
        RefuseEachCallInTurn(std::string("preferences, ") + c.name, {0}, [&](uint32_t refuse) {
            Outcome run;
            run.host = NewHost("preferences");
            run.host->preferences().set("/", "qelPOP", "no");
            run.host->preferences().set("/", "gmtOffset", "2");
            run.request = NewRequest(*run.host, c.requestCode, refuse);
            run.request->setRegion("/");
            for (const auto &[field, value] : c.form)
                run.request->addFormArgument(field, value);
            run.result = run.request->run(ProcessQELRequest);
            return run;
        });
    }
}

}  // namespace

// --- answers out of line: sizes, 'MBtS' and counts -------------------------------------------

// How the tampering host below changes the answers of one service (0: of every service).
struct Tamper {
    enum Kind { kNone, kSizeBeyondBuffer, kTooSmallAsking, kCount };
    Kind kind = kNone;
    uint32_t selector = 0;
    uint32_t value = 0;  // the size or count written back
    uint32_t times = 0;  // kTooSmallAsking: the first calls that get it, unserved
    std::vector<int32_t> answers;  // what each call of the selector was answered
};
Tamper gTamper;

Tamper Tampering(Tamper::Kind kind, uint32_t selector, uint32_t value, uint32_t times = 0) {
    Tamper tamper;
    tamper.kind = kind;
    tamper.selector = selector;
    tamper.value = value;
    tamper.times = times;
    return tamper;
}

bool Tampered(uint32_t selector) { return gTamper.selector == 0 || gTamper.selector == selector; }

// The size arguments of the page services that answer into a buffer.
std::vector<void *> SizeArguments(uint32_t selector, void *a2, void *a4) {
    switch (selector) {
    case QEL_SERVICE_GET_TAG_NAME: case QEL_SERVICE_GET_ACTION_NAME: case QEL_SERVICE_GET_TAG_BODY:
    case QEL_SERVICE_GET_VIRTUAL_HOST: case QEL_SERVICE_GET_PAGE_FOLDER_PATH: case QEL_SERVICE_GET_DATA_FOLDER_PATH:
    case QEL_SERVICE_RESOLVE_FOLDER_PATH: case QEL_SERVICE_REGISTER_ACTION:
        return {a2};
    case QEL_SERVICE_GET_PREFERENCE: case QEL_SERVICE_GET_TAG_PARAMETER: case QEL_SERVICE_GET_FORM_ARGUMENT:
    case QEL_SERVICE_GET_CGI_VARIABLE:
        return {a4};
    case QEL_SERVICE_GET_TAG_PARAMETER_AT:
        return {a2, a4};
    default:
        return {};
    }
}

void WriteNumber(void *pointer, uint32_t value) { std::memcpy(pointer, &value, sizeof value); }

// The reference host's page services, with the answers of gTamper.
int32_t TamperingPageCallback(uintptr_t hostRef, uint32_t selector, void *a1, void *a2, void *a3, void *a4, void *a5) {
    const bool tampered = Tampered(selector);
    const std::vector<void *> sizes = SizeArguments(selector, a2, a4);
    int32_t answer = 0;
    if (tampered && gTamper.kind == Tamper::kTooSmallAsking && !sizes.empty() && gTamper.times > 0) {
        --gTamper.times;
        for (void *size : sizes)
            WriteNumber(size, gTamper.value);
        answer = Code(QEL_ANSWER_BUFFER_TOO_SMALL);
    } else {
        answer = HostServiceCallback(hostRef, selector, a1, a2, a3, a4, a5);
        if (tampered && gTamper.kind == Tamper::kSizeBeyondBuffer && answer == 0)
            for (void *size : sizes)
                WriteNumber(size, gTamper.value);
    }
    if (tampered && gTamper.selector != 0)
        gTamper.answers.push_back(answer);
    return answer;
}

// The reference host's database services, with the answers of gTamper: text values and
// counts written back as it says.
int32_t TamperingDatabaseCallback(uintptr_t hostRef, uint32_t selector, void *a1, void *a2, void *a3, void *a4,
                                  void *a5, void *a6) {
    uint32_t type = 0;
    if (selector == QEL_DATABASE_GET_FIELD_VALUE && a6 != nullptr)
        std::memcpy(&type, a6, sizeof type);
    if (Tampered(selector) && gTamper.kind == Tamper::kTooSmallAsking && type == QEL_VALUE_TEXT && gTamper.times > 0) {
        --gTamper.times;
        WriteNumber(a5, gTamper.value);
        gTamper.answers.push_back(Code(QEL_ANSWER_BUFFER_TOO_SMALL));
        return Code(QEL_ANSWER_BUFFER_TOO_SMALL);
    }
    int32_t answer = HostDatabaseServiceCallback(hostRef, selector, a1, a2, a3, a4, a5, a6);
    if (answer != 0 || !Tampered(selector))
        return answer;
    if (gTamper.kind == Tamper::kSizeBeyondBuffer && type == QEL_VALUE_TEXT)
        WriteNumber(a5, gTamper.value);
    if (gTamper.kind == Tamper::kCount &&
        (selector == QEL_DATABASE_GET_FIELD_COUNT || selector == QEL_DATABASE_GET_SELECTED_COUNT))
        WriteNumber(a6, gTamper.value);
    return answer;
}

TEST_F(HostFaultsTest, AnswersOutOfLineEndInAListedResult) {
    const std::string content = "included text";
    const uint32_t kFar = 0xFFFFFFF0u;
    // The scenarios: an include of a scripted server's text, a status post, the failed-mail list.
    enum Scenario { kInclude, kStatusPost, kList };
    struct Case {
        const char *name;
        Scenario scenario;
        Tamper tamper;
        std::function<void(HostRequest &)> faults;  // the fault plan's part, when any
        std::set<int32_t> results;
        std::vector<int32_t> answers;  // what the tampered selector's calls were answered, when checked
    };
    const int32_t kTooSmall = Code(QEL_ANSWER_BUFFER_TOO_SMALL);
    const Case cases[] = {
        {"every page answer's size beyond its buffer", kInclude, Tampering(Tamper::kSizeBeyondBuffer, 0, kFar), nullptr,
         {0}, {}},
        {"tag parameter sizes beyond the buffer", kInclude,
         Tampering(Tamper::kSizeBeyondBuffer, QEL_SERVICE_GET_TAG_PARAMETER, kFar), nullptr, {0, kInvalid, kMissing}, {}},
        {"text field sizes beyond the buffer", kList, Tampering(Tamper::kSizeBeyondBuffer, QEL_DATABASE_GET_FIELD_VALUE, kFar),
         nullptr, {0}, {}},
        {"'MBtS' twice: the default", kInclude, {},
         [](HostRequest &request) { request.faults().bufferTooSmall(QEL_SERVICE_GET_TAG_PARAMETER, 2, "url"); },
         {kMissing}, {}},
        {"'MBtS' asking 0 bytes: one more call, then the default", kInclude,
         Tampering(Tamper::kTooSmallAsking, QEL_SERVICE_GET_TAG_PARAMETER, 0, 1), nullptr, {kMissing}, {kTooSmall, kTooSmall}},
        {"'MBtS' asking 0xFFFFFFFF bytes: a failed allocation", kInclude,
         Tampering(Tamper::kTooSmallAsking, QEL_SERVICE_GET_TAG_PARAMETER, 0xFFFFFFFFu, 1), nullptr, {kGeneral}, {kTooSmall}},
        {"'MBtS' asking 0xFFFFFFFF bytes of a database text", kList,
         Tampering(Tamper::kTooSmallAsking, QEL_DATABASE_GET_FIELD_VALUE, 0xFFFFFFFFu, 1), nullptr, {kGeneral},
         {kTooSmall}},
        {"field counts of 0xFFFFFFFF", kStatusPost, Tampering(Tamper::kCount, QEL_DATABASE_GET_FIELD_COUNT, 0xFFFFFFFFu),
         nullptr, {kOperationFailed}, {}},
        {"record counts of 0xFFFFFFFF, a status post", kStatusPost,
         Tampering(Tamper::kCount, QEL_DATABASE_GET_SELECTED_COUNT, 0xFFFFFFFFu), nullptr, kLogCodes, {}},
        {"record counts of 0xFFFFFFFF, the list", kList,
         Tampering(Tamper::kCount, QEL_DATABASE_GET_SELECTED_COUNT, 0xFFFFFFFFu), nullptr, {0}, {}},
    };
    int runs = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "answers" + std::to_string(++runs);
        std::unique_ptr<Host> host = NewHost(name);
        ScriptedServer server;
        server.connection().receiveRequest().send("HTTP/1.0 200 OK\r\nContent-Length: " +
                                                  std::to_string(content.size()) + "\r\n\r\n" + content);
        server.start();
        // The list shows one logged message.
        if (c.scenario != kInclude) {
            ASSERT_EQ(StatusPost(*host, Failure("msg101", "first"), 0)->run(ProcessQELRequest), 0);
        }
        std::unique_ptr<HostRequest> request;
        if (c.scenario == kStatusPost) {
            request = StatusPost(*host, Failure("msg101", "second"), 0);
        } else {
            request = NewRequest(*host, QEL_REQUEST_TAG, 0);
            request->setVirtualHost("www.site.test");
            request->setCGIVariable("SCRIPT_NAME", "/dir/page.html");
            request->setTagName(c.scenario == kInclude ? "qelIncludeHTTP" : "qelSendMail");
            request->addTagParameter(c.scenario == kInclude ? "url" : "mode",
                                     c.scenario == kInclude ? "http://" + server.hostAndPort() + "/news.txt" : "admin");
        }
        if (c.faults)
            c.faults(*request);
        request->context()->callback = TamperingPageCallback;
        request->context()->databaseCallback = TamperingDatabaseCallback;
        ForgetServerSettings();
        const int64_t live = HostMemory::counters().liveBlocks;
        gTamper = c.tamper;
        const int32_t result = request->run(ProcessQELRequest);
        const std::vector<int32_t> answers = gTamper.answers;
        gTamper = Tamper();
        EXPECT_EQ(c.results.count(result), 1u) << "result " << CodeText(result);
        if (!c.answers.empty()) {
            const size_t shown = std::min(answers.size(), c.answers.size());
            EXPECT_EQ(std::vector<int32_t>(answers.begin(), answers.begin() + shown), c.answers);
        }
        EXPECT_EQ(request->protocolViolations(), std::vector<std::string>());
        EXPECT_EQ(DatabaseUseProblems(*request), "");
        ForgetServerSettings();
        EXPECT_EQ(HostMemory::counters().liveBlocks, live) << "the request leaves no block of the host's memory";
    }
}

// --- the host's memory functions ----------------------------------------------------------------

// An 'MIni' without an allocate function leaves the module on its own heap: every later
// request works and takes no block of the host's.
TEST_F(HostFaultsTest, ANullAllocateFunctionAfterInitialisationLeavesTheModuleOnItsOwnHeap) {
    std::unique_ptr<Host> host = NewHost("null-allocate");
    HostRequest initialise(*host, QEL_REQUEST_INITIALISE);
    initialise.context()->allocate = nullptr;
    EXPECT_EQ(initialise.run(ProcessQELRequest), 0);
    const HostMemory::Counters before = HostMemory::counters();
    const std::string content = "included text";
    ScriptedServer server;
    server.connection().receiveRequest().send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(content.size()) +
                                              "\r\n\r\n" + content);
    server.start();
    HostRequest include(*host, QEL_REQUEST_TAG);
    include.setTagName("qelIncludeHTTP");
    include.setVirtualHost("www.site.test");
    include.setCGIVariable("SCRIPT_NAME", "/dir/page.html");
    include.addTagParameter("url", "http://" + server.hostAndPort() + "/news.txt");
    EXPECT_EQ(include.run(ProcessQELRequest), 0);
    EXPECT_EQ(include.output(), content);
    EXPECT_EQ(HostMemory::counters().allocations, before.allocations);
}

// The request's thread, whose allocations succeed while those of every other thread fail.
std::thread::id gAllocatingThread;
std::atomic<int> gRefusedElsewhere{0};

void *AllocateOnTheRequestsThreadOnly(uint32_t size) {
    if (std::this_thread::get_id() != gAllocatingThread) {
        ++gRefusedElsewhere;
        return nullptr;
    }
    return HostAllocate(size);
}

// A delivery job whose allocations fail ends without a crash, its memory given back.
TEST_F(HostFaultsTest, AnAllocatorThatFailsOnTheDeliveryThreadEndsTheJob) {
    std::unique_ptr<Host> host = NewHost("job-allocation");
    gAllocatingThread = std::this_thread::get_id();
    gRefusedElsewhere = 0;
    InstallHostMemoryFunctions(AllocateOnTheRequestsThreadOnly, HostRelease);
    const int64_t live = HostMemory::counters().liveBlocks;
    ScriptedServer smtp;
    AcceptMessage(smtp.connection());
    smtp.start();
    HostRequest request(*host, QEL_REQUEST_TAG);
    request.setTagName("qelSendMail");
    request.setVirtualHost("www.site.test");
    request.setCGIVariable("SCRIPT_NAME", "/dir/page.html");
    request.setRegion("/");
    request.setTagBody("Hello\n");
    for (const auto &[name, value] :
         Pairs{{"mailServer", smtp.hostAndPort()}, {"from", "site@site.test"}, {"to", "a@x.test"}})
        request.addTagParameter(name, value);
    EXPECT_EQ(request.run(ProcessQELRequest), 0);
    EXPECT_TRUE(QELThread::WaitUntilNoneRuns(60000)) << "the job ends";
    EXPECT_GT(gRefusedElsewhere.load(), 0) << "the job met the failing allocator";
    EXPECT_EQ(smtp.acceptedCount(), 0u);
    InstallHostMemoryFunctions(HostAllocate, HostRelease);
    ForgetServerSettings();
    EXPECT_EQ(HostMemory::counters().liveBlocks, live);
}

// Whatever allocation fails, a status post and a fetch close what they opened of the
// databases and shut down the database system they started.
TEST_F(HostFaultsTest, AFailedAllocationAnywhereLeavesNoDatabaseOpen) {
    struct Case {
        const char *name;
        std::function<std::unique_ptr<HostRequest>(Host &host, TestMailbox &mailbox)> request;
    };
    const Case cases[] = {
        {"status post", [](Host &host, TestMailbox &) { return StatusPost(host, Failure("msg123", "first"), 0); }},
        {"fetch",
         [](Host &host, TestMailbox &mailbox) {
             auto request = NewRequest(host, QEL_REQUEST_TAG, 0);
             request->setTagName("qelPOP");
             for (const auto &[parameter, value] :
                  Pairs{{"username", "demo"}, {"password", "secret"}, {"mailServer", mailbox.hostAndPort()},
                        {"databaseName", "Inbox"}})
                 request->addTagParameter(parameter, value);
             return request;
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bool succeeded = false;
        uint32_t successes = 0;
        for (; !succeeded && successes < 20000; ++successes) {
            std::unique_ptr<Host> host = NewHost("allocation");
            TestMailbox mailbox({kMessages[0]});
            std::unique_ptr<HostRequest> request = c.request(*host, mailbox);
            const uint64_t refusals = HostMemory::counters().refusals;
            HostMemory::failAfter(successes);
            const int32_t result = request->run(ProcessQELRequest);
            HostMemory::stopFailing();
            succeeded = result == 0 && HostMemory::counters().refusals == refusals;
            const std::string problems = DatabaseUseProblems(*request);
            EXPECT_EQ(problems, "") << "failing after " << successes << " allocations";
            if (!problems.empty())
                break;
        }
        EXPECT_TRUE(succeeded);
    }
}
