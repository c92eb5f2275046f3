// FailedMailPagesTest.cpp: the failed-mail administration pages on the reference host's
// log database: paging, the exact fragments, escaping that round-trips through Edit and
// Save, refused Message IDs, changes only by POST, deletion, and resends.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/TemporaryFolder.h"
#include "host/lib/DatabaseStore.h"
#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "mail/MailDeliveryJob.h"
#include "mail/Thread.h"
#include "module/HostInterface.h"
#include "net/ScriptedServer.h"
#include "net/TestResolver.h"
#include "tags/FailedMailLog.h"
#include "tags/FailedMailPages.h"

using velquor::host::FieldValue;
using velquor::host::Host;
using velquor::host::HostRequest;

namespace {

constexpr int32_t Code(uint32_t code) { return static_cast<int32_t>(code); }
QELString Q(const std::string &text) { return QELString(text.data(), static_cast<uint32_t>(text.size())); }

using Form = std::vector<std::pair<std::string, std::string>>;
using Record = std::map<std::string, std::string>;

const std::vector<std::string> kFields = {"Message ID", "Attempts", "SMTP Server", "From", "ReplyTo",
                                          "To",         "CC",       "BCC",         "Subject"};
const char kScript[] = "/admin/f\"<.html";
const char kAction[] = "\r\n<form method=\"post\" action=\"/admin/f&quot;&lt;.html\">";
const char kAccepted[] = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n";

// What the entry points below hand the pages: the spool folder, the status URL, the
// Message ID of a resend and whether it started.
std::string gSpool, gStatusURL, gResendID;
bool gStarted = false;

// The tag's database modes around the pages: the log opened, the work done, closed.
template <bool resend>
int32_t LogEntry(HostContext *context) {
    QELHostServices host(*context);
    QELHostDatabase database(*context);
    uint32_t handle = 0;
    int32_t code = QELFailedMailLog::OpenLog(host, database, handle);
    if (code != 0)
        return code;
    if (resend) {
        code = QELFailedMailPages::Resend(host, database, handle, Q(gResendID), Q(gSpool), Q(gStatusURL), &gStarted);
    } else {
        QELString output;
        code = QELFailedMailPages::Run(host, database, handle, Q(gSpool), Q(gStatusURL), output);
        host.WriteText(output);
    }
    QELFailedMailLog::CloseLog(database, handle);
    return code;
}
// The admin mode, writing the fragment, and the resend of one message.
const HostRequest::EntryPoint AdminEntry = LogEntry<false>;
const HostRequest::EntryPoint ResendEntry = LogEntry<true>;

size_t Count(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// The text between the first head in page and the next end; "(none)" without head.
std::string Between(const std::string &page, const std::string &head, const std::string &end) {
    size_t at = page.find(head);
    if (at == std::string::npos)
        return "(none)";
    at += head.size();
    return page.substr(at, page.find(end, at) - at);
}

// The value of the first hidden field of that name.
std::string Hidden(const std::string &page, const std::string &name) {
    return Between(page, "name=\"" + name + "\" value=\"", "\"");
}

// A textarea's text with its entities decoded, as a browser posts it back.
std::string TextArea(const std::string &page, const std::string &name) {
    std::string text = Between(page, "name=\"" + name + "\" wrap=\"soft\">", "</textarea>"), decoded;
    const std::pair<const char *, char> entities[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'},
                                                      {"&quot;", '"'}, {"&#39;", '\''}};
    for (size_t i = 0; i < text.size();) {
        bool replaced = false;
        for (const auto &[entity, c] : entities)
            if (text.compare(i, strlen(entity), entity) == 0) {
                decoded += c;
                i += strlen(entity);
                replaced = true;
                break;
            }
        if (!replaced)
            decoded += text[i++];
    }
    return decoded;
}

// An SMTP server's side of a dialogue that takes the message for the recipients.
void Accept(ScriptedServer::Script &script, const std::vector<std::string> &recipients) {
    script.send("220 smtp.test ready\r\n").receiveUntil("HELO machine.test\r\n").send("250 smtp.test\r\n");
    script.receiveUntil("MAIL FROM: <").send("250 sender ok\r\n");
    for (const std::string &recipient : recipients)
        script.receiveUntil("RCPT TO: <" + recipient + ">\r\n").send("250 recipient ok\r\n");
    script.receiveUntil("DATA\r\n").send("354 go ahead\r\n").receiveUntil("\r\n.\r\n").send("250 queued\r\n");
    script.receiveUntil("QUIT\r\n").send("221 bye\r\n");
}

class FailedMailPagesTest : public ::testing::Test {
protected:
    struct Outcome {
        int32_t result = 0;
        std::string output, message, explanation;
    };

    void SetUp() override {
        gSpool = spool_.path();
        gStatusURL = "http://127.0.0.1:1/SendMail";
    }
    void TearDown() override { EXPECT_TRUE(QELThread::WaitUntilNoneRuns(20000)); }

    // The failure post of a delivery job creates the record of msg<id>.
    void AddRecord(Host &host, const std::string &id, const Record &fields = {}) {
        Record post = {{"MessageID", "msg" + id}, {"Status", "F"},           {"SMTPServer", "mail.test"},
                       {"From", "a@site.test"},   {"ReplyTo", "r@site.test"}, {"To", "b@x.test,c@x.test"},
                       {"CC", "d@x.test"},        {"BCC", "e@x.test"},        {"Subject", "Hello"}};
        for (const auto &[name, value] : fields)
            post[name] = value;
        HostRequest request(host, QEL_REQUEST_ACTION);
        request.setActionName("SendMail");
        for (const auto &[name, value] : post)
            request.addFormArgument(name, value);
        ASSERT_EQ(0, request.run(ProcessQELRequest));
    }

    // One request of the administration page; prepare may add faults or recording.
    Outcome Admin(Host &host, const Form &form, const std::string &method = "POST", const char *displayLimit = "10") {
        HostRequest request(host, QEL_REQUEST_TAG);
        request.setTagName("qelSendMail");
        request.setCGIVariable("SCRIPT_NAME", kScript);
        if (!method.empty())
            request.setCGIVariable("REQUEST_METHOD", method);
        if (displayLimit != nullptr)
            request.addTagParameter("displayLimit", displayLimit);
        for (const auto &[name, value] : form)
            request.addFormArgument(name, value);
        if (prepare_)
            prepare_(request);
        Outcome outcome;
        outcome.result = request.run(AdminEntry);
        outcome.output = request.output();
        if (request.errorInfo()) {
            outcome.message = request.errorInfo()->message;
            outcome.explanation = request.errorInfo()->explanation;
        }
        EXPECT_EQ(0, request.databaseStarts());
        if (inspect_)
            inspect_(request);
        return outcome;
    }
    Outcome Admin(const Form &form, const std::string &method = "POST") { return Admin(host_, form, method); }

    // Every record of the log by Message ID, with its identifier as "id".
    std::map<std::string, Record> Records() {
        auto &store = host_.databases();
        const uint64_t owner = 0xBEEF;
        uint32_t handle = 0, count = 0;
        std::map<std::string, Record> records;
        if (store.openDatabase(owner, "__QELDB__SendMail_Log__", QEL_OPEN_SHARED, &handle) != 0)
            return records;
        store.selectRecords(owner, handle, "");
        store.selectedCount(owner, handle, &count);
        for (uint32_t i = 0; i < count && store.moveToNext(owner, handle) == 0; ++i) {
            Record record;
            FieldValue value;
            for (const std::string &field : kFields) {
                store.getFieldValue(owner, handle, field, &value);
                record[field] = value.asText();
            }
            store.getFieldValue(owner, handle, "QELIDFIELD", &value);
            record["id"] = value.asText();
            records[record["Message ID"]] = record;
        }
        store.closeAll(owner);
        return records;
    }

    // The form fields that name a message of the list, as its buttons post them; more
    // replaces or adds fields.
    Form Message(const std::string &action, const std::string &id, const Form &more = {}) {
        Form form = {{"qelSendMailAction", action},
                     {"qelSendMailRecordID", Records()[id]["id"]},
                     {"qelSendMailMessageID", id},
                     {"qelSendMailPage", "1"}};
        for (const auto &field : more) {
            auto same = std::find_if(form.begin(), form.end(), [&](const auto &f) { return f.first == field.first; });
            if (same != form.end())
                same->second = field.second;
            else
                form.push_back(field);
        }
        return form;
    }

    Host host_;
    TemporaryFolder spool_;
    TestResolver resolver_;
    // Run on each page request before and after the module.
    std::function<void(HostRequest &)> prepare_, inspect_;
};

TEST_F(FailedMailPagesTest, ListPagesFollowTheDisplayLimit) {
    struct Case {
        int records;
        const char *limit, *action, *pageField, *page;
        std::string firstShown;
        size_t rows;
        const char *shownPage, *previous, *next;  // "(none)": no such button
    } cases[] = {
        {23, "10", "DisplayList", "", "", "1", 10, "1", "(none)", "2"},
        {23, "10", "&gt;&gt;", "qelSendMailNextPage", "3", "21", 3, "3", "2", "(none)"},
        {23, "10", ">>", "qelSendMailNextPage", "9", "21", 3, "3", "2", "(none)"},
        {23, "10", "&lt;&lt;", "qelSendMailPrevPage", "2", "11", 10, "2", "1", "3"},
        {23, "10", "<<", "qelSendMailPrevPage", "0", "1", 10, "1", "(none)", "2"},
        {23, "10", "cancel", "qelSendMailPage", "-4", "1", 10, "1", "(none)", "2"},
        {23, "10", "PostSend", "qelSendMailPage", "x", "1", 10, "1", "(none)", "2"},
        {23, "0", "DisplayList", "", "", "1", 10, "1", "(none)", "2"},
        {23, "51", "DisplayList", "", "", "1", 10, "1", "(none)", "2"},
        {23, nullptr, "DisplayList", "", "", "1", 10, "1", "(none)", "2"},
        {23, "50", "DisplayList", "", "", "1", 23, "1", "(none)", "(none)"},
        {20, "10", "DisplayList", "", "", "1", 10, "1", "(none)", "2"},
        {20, "10", ">>", "qelSendMailNextPage", "2", "11", 10, "2", "1", "(none)"},
        {21, "10", ">>", "qelSendMailNextPage", "2", "11", 10, "2", "1", "3"},
        {21, "10", ">>", "qelSendMailNextPage", "3", "21", 1, "3", "2", "(none)"},
    };
    std::map<int, std::unique_ptr<Host>> hosts;
    for (const Case &c : cases) {
        std::unique_ptr<Host> &host = hosts[c.records];
        if (!host) {
            host = std::make_unique<Host>();
            for (int i = 1; i <= c.records; ++i)
                AddRecord(*host, std::to_string(i));
        }
        Form form = {{"qelSendMailAction", c.action}};
        if (*c.pageField)
            form.push_back({c.pageField, c.page});
        const std::string label = std::to_string(c.records) + " " + c.action + " " + c.page;
        Outcome page = Admin(*host, form, "POST", c.limit);
        ASSERT_EQ(0, page.result) << label;
        EXPECT_EQ(c.firstShown, Hidden(page.output, "qelSendMailMessageID")) << label;
        EXPECT_EQ(c.rows, Count(page.output, "name=\"qelSendMailRecordID\"")) << label;
        EXPECT_EQ(c.rows / 2, Count(page.output, "<tr bgcolor=\"#aaaaaa\">")) << label;
        EXPECT_EQ(c.shownPage, Hidden(page.output, "qelSendMailPage")) << label;
        EXPECT_EQ(c.previous, Hidden(page.output, "qelSendMailPrevPage")) << label;
        EXPECT_EQ(c.next, Hidden(page.output, "qelSendMailNextPage")) << label;
        EXPECT_EQ(std::string(c.previous) != "(none)", page.output.find("value=\"&lt;&lt;\"> ") != std::string::npos);
        EXPECT_EQ(std::string(c.next) != "(none)", page.output.find("value=\"&gt;&gt;\"> ") != std::string::npos);
    }
}

TEST_F(FailedMailPagesTest, ListShowsTheExactRowsEscapedAfterCutting) {
    EXPECT_EQ("No failed mail.", Admin({}).output);
    AddRecord(host_, "245", {{"From", "x&y <a@site.test>"}, {"Subject", std::string(21, 's') + "&<bcde"}});
    const std::string button = "<input type=\"submit\" name=\"qelSendMailAction\" value=\"";
    EXPECT_EQ(std::string("\r\n<table border=\"0\" cellpadding=\"2\" cellspacing=\"2\" align=\"center\">"
                          "\r\n<tr bgcolor=\"#999999\"><th>From</th><th>To</th><th>Subject</th><th>Tries</th>"
                          "<th>Operation</th></tr>") +
                  kAction +
                  "<input type=\"hidden\" name=\"qelSendMailRecordID\" value=\"1\">"
                  "<input type=\"hidden\" name=\"qelSendMailMessageID\" value=\"245\">"
                  "<input type=\"hidden\" name=\"qelSendMailPage\" value=\"1\">"
                  "<tr bgcolor=\"#cccccc\"><td align=\"left\">x&amp;y &lt;a@site.test&gt;</td>"
                  "<td align=\"left\">b@x.test<br>c@x.test</td><td align=\"left\">sssssssssssssssssssss&amp;...</td>"
                  "<td align=\"right\">1</td><td align=\"center\">" +
                  button + "Edit\"> " + button + "Send\"> " + button + "Delete\"> </td></tr></form>" + kAction +
                  "<tr><td align=\"center\" colspan=\"5\"></td></tr></form>\r\n</table>",
              Admin({}).output);

    // Subjects up to 25 bytes are whole; five To addresses show three.
    struct Case {
        std::string subject, to, shownSubject, shownTo;
    } cases[] = {
        {std::string(25, 'a'), "1@x.test,2@x.test,3@x.test,4@x.test,5@x.test", std::string(25, 'a'),
         "1@x.test<br>2@x.test<br>3@x.test"},
        {std::string(26, 'a'), "1@x.test", std::string(22, 'a') + "...", "1@x.test"},
        {"<script>\"&'", "<i>@x.test", "&lt;script&gt;&quot;&amp;&#39;", "&lt;i&gt;@x.test"},
    };
    for (const Case &c : cases) {
        Host host;
        AddRecord(host, "7", {{"Subject", c.subject}, {"To", c.to}});
        std::string page = Admin(host, {}).output;
        EXPECT_NE(std::string::npos, page.find("<td align=\"left\">" + c.shownTo + "</td><td align=\"left\">" +
                                               c.shownSubject + "</td>"))
            << page;
    }
}

TEST_F(FailedMailPagesTest, UnknownOperationsWriteNothing) {
    AddRecord(host_, "5");
    for (const char *action : {"Bogus", "", "List"}) {
        Outcome page = Admin({{"qelSendMailAction", action}});
        EXPECT_EQ(0, page.result) << action;
        EXPECT_EQ("", page.output) << action;
    }
}

TEST_F(FailedMailPagesTest, EditShowsTheFieldsAndTheSpooledText) {
    AddRecord(host_, "245", {{"Subject", "<b>Hi</b>"}});
    WriteWholeFile(spool_ / "msg245", "Subject: x\r\nTo: b@x.test\r\n\r\nline & <one>\r\n..dot\r\n\r\n.\r\nafter\r\n");
    Outcome page = Admin(Message("Edit", "245", {{"qelSendMailPage", "2"}}), "GET");
    ASSERT_EQ(0, page.result) << page.message;
    std::string rows;
    const std::pair<const char *, const char *> fields[] = {
        {"SMTP Server", "SMTPServer\" wrap=\"soft\">mail.test"}, {"From", "From\" wrap=\"soft\">a@site.test"},
        {"Reply-To", "ReplyTo\" wrap=\"soft\">r@site.test"},     {"To", "To\" wrap=\"soft\">b@x.test,c@x.test"},
        {"CC", "CC\" wrap=\"soft\">d@x.test"},                   {"BCC", "BCC\" wrap=\"soft\">e@x.test"},
        {"Subject", "Subject\" wrap=\"soft\">&lt;b&gt;Hi&lt;/b&gt;"}};
    for (const auto &[label, area] : fields)
        rows += std::string("\r\n<tr><td bgcolor=\"#cccccc\" align=\"right\"> ") + label +
                ":</td><td><textarea rows=\"2\" cols=\"30\" name=\"qelSendMail" + area + "</textarea>";
    EXPECT_EQ(std::string("\r\n<table border=\"0\" align=\"center\"><tr><td align=\"left\">\r\n") + kAction +
                  "\r\n\r\n<p><strong>Make any changes and select the &quot;Save&quot; button:</strong>"
                  "\r\n<dl><dd><table border=\"1\" align=\"center\">"
                  "\r\n<tr bgcolor=\"#999999\"><th>Header</th><th>Value</th></tr>" +
                  rows +
                  "</td></tr>\r\n</table></dl>"
                  "\r\n<input type=\"hidden\" name=\"qelSendMailRecordID\" value=\"1\">"
                  "\r\n<input type=\"hidden\" name=\"qelSendMailMessageID\" value=\"245\">"
                  "\r\n<input type=\"hidden\" name=\"qelSendMailPage\" value=\"2\">"
                  "\r\n<table border=\"0\" cellspacing=\"3\" cellpadding=\"3\" align=\"center\"><tr>"
                  "<td><input type=\"submit\" name=\"qelSendMailAction\" value=\"Save\"></td>"
                  "<td><input type=\"submit\" name=\"qelSendMailAction\" value=\"Cancel\"></td>\r\n</tr></table>"
                  "\r\n</form>\r\n\r\n<p><strong>Message text:</strong>\r\n<p>\r\n<pre>"
                  "\r\n\r\nline &amp; &lt;one&gt;\r\n.dot\r\n\r\n</pre>\r\n</td></tr></table>",
              page.output);

    // Without a Message ID the form shows no spooled text.
    page = Admin(Message("Edit", "245", {{"qelSendMailMessageID", ""}}), "GET");
    EXPECT_EQ(0, page.result);
    EXPECT_NE(std::string::npos, page.output.find("name=\"qelSendMailMessageID\" value=\"\">"));
    EXPECT_NE(std::string::npos, page.output.find("<pre>\r\n</pre>"));
}

TEST_F(FailedMailPagesTest, EditThenSaveChangesNothing) {
    const Record awkward = {{"Subject", "<script>\"&'</script> &amp; &#39;"}, {"From", "\"A&B\" <a@site.test>"},
                            {"To", "<b@x.test>,'c'@x.test"}, {"SMTPServer", "mail.test:2525"}};
    AddRecord(host_, "245", awkward);
    const auto before = Records();
    Outcome edit = Admin(Message("Edit", "245"));
    ASSERT_EQ(0, edit.result);
    Form save = Message("Save", "245");
    for (const char *field : {"SMTPServer", "From", "ReplyTo", "To", "CC", "BCC", "Subject"})
        save.push_back({std::string("qelSendMail") + field, TextArea(edit.output, std::string("qelSendMail") + field)});
    Outcome saved = Admin(save);
    EXPECT_EQ(0, saved.result) << saved.message;
    EXPECT_EQ(before, Records());
    EXPECT_NE(std::string::npos, saved.output.find("&lt;script&gt;&quot;&amp;&#39;&lt;/script&gt; &amp;..."));
}

TEST_F(FailedMailPagesTest, SaveSetsAllSevenFieldsOrRefusesLineBreaks) {
    AddRecord(host_, "245");
    const Form values = {{"qelSendMailSMTPServer", "smtp.new"}, {"qelSendMailFrom", "f@new.test"},
                         {"qelSendMailReplyTo", ""},            {"qelSendMailTo", "t@new.test"},
                         {"qelSendMailCC", "c@new.test"},       {"qelSendMailBCC", "b@new.test"},
                         {"qelSendMailSubject", "New"}};
    Outcome saved = Admin(Message("Save", "245", values));
    EXPECT_EQ(0, saved.result) << saved.message;
    EXPECT_NE(std::string::npos, saved.output.find("<td align=\"left\">f@new.test</td>"));
    const Record expected = {{"Message ID", "245"}, {"Attempts", "1"}, {"SMTP Server", "smtp.new"},
                             {"From", "f@new.test"}, {"ReplyTo", ""},   {"To", "t@new.test"},
                             {"CC", "c@new.test"},   {"BCC", "b@new.test"}, {"Subject", "New"}, {"id", "1"}};
    EXPECT_EQ(expected, Records()["245"]);

    struct Case {
        std::string field, value, label;
    } cases[] = {{"qelSendMailSubject", "a\r\nBcc: x@y.test", "Subject"},
                 {"qelSendMailTo", "t@x.test\n", "To"},
                 {"qelSendMailSMTPServer", std::string("s\0x", 3), "SMTP Server"},
                 {"qelSendMailFrom", "\rf@x.test", "From"}};
    for (const Case &c : cases) {
        Outcome refused = Admin(Message("Save", "245", {{c.field, c.value}}));
        EXPECT_EQ(Code(QEL_RESULT_INVALID_PARAMETER), refused.result) << c.label;
        EXPECT_EQ("The " + c.label + " value may not hold a line break or a NUL character.", refused.message);
        EXPECT_EQ("", refused.output);
        EXPECT_EQ(expected, Records()["245"]) << c.label;
    }
}

TEST_F(FailedMailPagesTest, MessageIDsNotOfTheRecordAreRefusedAndTouchNoFile) {
    AddRecord(host_, "245");
    AddRecord(host_, "246");
    ASSERT_EQ(0, mkdir((spool_ / "msg..").c_str(), 0700));
    WriteWholeFile(spool_ / "msg../x", "To: x\r\n\r\nsecret\r\n.\r\n");
    WriteWholeFile(spool_ / "msg245", "To: x\r\n\r\nbody\r\n.\r\n");
    WriteWholeFile(spool_ / "msg246", "To: x\r\n\r\nother\r\n.\r\n");
    const auto before = Records();
    for (const char *action : {"Edit", "Send", "Delete", "DeleteMessage"}) {
        for (const char *id : {"../x", "246", "0245", "245 ", "-245", "2.45e2"}) {
            Outcome page = Admin(Message(action, "245", {{"qelSendMailMessageID", id}, {"qelSendMailConfirmation", "Yes"}}));
            EXPECT_EQ(Code(QEL_RESULT_INVALID_PARAMETER), page.result) << action << " " << id;
            EXPECT_EQ("The message ID could not be found.", page.message) << action << " " << id;
            EXPECT_EQ("Please select an existing message.", page.explanation);
            EXPECT_EQ("", page.output) << action << " " << id;
            EXPECT_EQ(0u, QELThread::RunningCount()) << action << " " << id;
        }
    }
    EXPECT_EQ(before, Records());
    EXPECT_EQ("To: x\r\n\r\nsecret\r\n.\r\n", ReadWholeFile(spool_ / "msg../x"));
    EXPECT_EQ("To: x\r\n\r\nbody\r\n.\r\n", ReadWholeFile(spool_ / "msg245"));
    EXPECT_EQ("To: x\r\n\r\nother\r\n.\r\n", ReadWholeFile(spool_ / "msg246"));

    // An empty one names no file: Send does nothing, Delete and DeleteMessage ask for it (a
    // record never goes without its spool file).
    const Form empty = {{"qelSendMailMessageID", ""}, {"qelSendMailConfirmation", "Yes"}};
    Outcome send = Admin(Message("Send", "245", empty));
    EXPECT_EQ(0, send.result);
    EXPECT_EQ("", send.output);
    EXPECT_EQ(0u, QELThread::RunningCount());
    Outcome confirm = Admin(Message("Delete", "245", empty));
    EXPECT_EQ(Code(QEL_RESULT_MISSING_PARAMETER), confirm.result);
    EXPECT_EQ("The message ID could not be found.", confirm.message);
    EXPECT_EQ("Please select an existing message for deletion.", confirm.explanation);
    Outcome deletion = Admin(Message("DeleteMessage", "245", empty));
    EXPECT_EQ(Code(QEL_RESULT_MISSING_PARAMETER), deletion.result);
    EXPECT_EQ("The message ID could not be found.", deletion.message);
    EXPECT_EQ(before, Records());
    EXPECT_TRUE(PathExists(spool_ / "msg245"));
}

// Spool files that no record names, and temporary ones of deliveries that never ended,
// are counted above the list and in the host log; none of them is touched.
TEST_F(FailedMailPagesTest, SpoolFilesNoRecordNamesAreCountedAndKept) {
    const std::vector<std::string> files = {"msg245", "msg246", "MSG247", "msg0248", "spool.tmp", "spool1.tmp",
                                            "notes.txt"};
    for (const std::string &file : files)
        WriteWholeFile(spool_ / file, "To: x\r\n\r\nbody\r\n.\r\n");
    std::string logged;
    inspect_ = [&](HostRequest &request) {
        logged.clear();
        for (const auto &entry : request.logEntries())
            logged += entry.text + "\n";
    };
    struct Case {
        std::vector<std::string> records;
        std::string notice;
    } cases[] = {
        {{}, "The spool folder holds 3 message files that no failed-mail record names and 2 unfinished spool files "
             "of deliveries that never ended; they are kept for inspection."},
        {{"245"}, "The spool folder holds 2 message files that no failed-mail record names and 2 unfinished spool "
                  "files of deliveries that never ended; they are kept for inspection."},
        {{"245", "246"}, "The spool folder holds 1 message file that no failed-mail record names and 2 unfinished "
                         "spool files of deliveries that never ended; they are kept for inspection."},
    };
    for (const Case &c : cases) {
        Host host;
        for (const std::string &id : c.records)
            AddRecord(host, id);
        const std::string page = Admin(host, {}).output;
        EXPECT_EQ(0u, page.find("<p>" + c.notice + "</p>")) << page;
        EXPECT_EQ(c.records.empty(), page.find("No failed mail.") != std::string::npos) << page;
        EXPECT_EQ("qelSendMail: " + c.notice + "\n", logged);
    }
    for (const std::string &file : files)
        EXPECT_EQ("To: x\r\n\r\nbody\r\n.\r\n", ReadWholeFile(spool_ / file)) << file;
    // Nothing to count, nothing said.
    for (const std::string &file : files)
        ASSERT_EQ(0, unlink((spool_ / file).c_str()));
    Host host;
    AddRecord(host, "245");
    WriteWholeFile(spool_ / "msg245", "To: x\r\n\r\nbody\r\n.\r\n");
    EXPECT_EQ(std::string::npos, Admin(host, {}).output.find("<p>"));
    EXPECT_EQ("", logged);
}

TEST_F(FailedMailPagesTest, ChangesNeedAPost) {
    AddRecord(host_, "245");
    WriteWholeFile(spool_ / "msg245", "To: x\r\n\r\nbody\r\n.\r\n");
    const auto before = Records();
    for (const char *method : {"GET", "HEAD", "post", ""}) {
        for (const char *action : {"Send", "Save", "DeleteMessage"}) {
            Outcome page = Admin(Message(action, "245", {{"qelSendMailConfirmation", "Yes"},
                                                         {"qelSendMailSubject", "changed"}}),
                                 method);
            EXPECT_EQ(0, page.result) << method << " " << action;
            EXPECT_EQ("245", Hidden(page.output, "qelSendMailMessageID")) << method << " " << action;
            EXPECT_EQ(0u, QELThread::RunningCount());
        }
    }
    EXPECT_EQ(before, Records());
    EXPECT_TRUE(PathExists(spool_ / "msg245"));
}

TEST_F(FailedMailPagesTest, DeleteConfirmsThenRemovesRecordThenSpoolFile) {
    AddRecord(host_, "245");
    WriteWholeFile(spool_ / "msg245", "To: x\r\n\r\nbody\r\n.\r\n");
    const std::pair<const char *, const char *> missing[] = {{"qelSendMailRecordID", "The record ID could not be found."},
                                                             {"qelSendMailMessageID", "The message ID could not be found."},
                                                             {"qelSendMailPage", "The page ID could not be found."}};
    for (const auto &[field, message] : missing) {
        Form form;
        for (const auto &pair : Message("Delete", "245"))
            if (pair.first != field)
                form.push_back(pair);
        Outcome page = Admin(form, "GET");
        EXPECT_EQ(Code(QEL_RESULT_MISSING_PARAMETER), page.result) << field;
        EXPECT_EQ(message, page.message);
        EXPECT_EQ("Please select an existing message for deletion.", page.explanation);
    }
    Outcome confirm = Admin(Message("Delete", "245", {{"qelSendMailPage", "x"}}), "GET");
    EXPECT_EQ(std::string("\r\n<table border=\"0\" align=\"center\"><tr><td align=\"left\">\r\n") + kAction +
                  "\r\n<p><dd>Are you sure you want to delete this message?</dl>"
                  "\r\n<input type=\"hidden\" name=\"qelSendMailRecordID\" value=\"1\">"
                  "\r\n<input type=\"hidden\" name=\"qelSendMailMessageID\" value=\"245\">"
                  "\r\n<input type=\"hidden\" name=\"qelSendMailPage\" value=\"1\">"
                  "\r\n<input type=\"hidden\" name=\"qelSendMailAction\" value=\"DeleteMessage\">"
                  "\r\n<p><input type=\"submit\" name=\"qelSendMailConfirmation\" value=\"Yes\">"
                  "\r\n<input type=\"submit\" name=\"qelSendMailConfirmation\" value=\"No\">"
                  "\r\n</form>\r\n</td></tr></table>",
              confirm.output);

    for (const char *answer : {"No", "yes", ""}) {
        Outcome kept = Admin(Message("DeleteMessage", "245", {{"qelSendMailConfirmation", answer}}));
        EXPECT_EQ(0, kept.result);
        EXPECT_EQ("245", Hidden(kept.output, "qelSendMailMessageID")) << answer;
    }
    // A refused deletion keeps the spool file; a deletion removes the record, then the file.
    prepare_ = [](HostRequest &request) { request.faults().refuse(QEL_DATABASE_DELETE_RECORD, {}, 4321); };
    Outcome refused = Admin(Message("DeleteMessage", "245", {{"qelSendMailConfirmation", "Yes"}}));
    EXPECT_EQ(4321, refused.result);
    EXPECT_EQ("The database system was unable to delete a record from the &quot;__QELDB__SendMail_Log__&quot; "
              "database.",
              refused.message);
    EXPECT_EQ("Contact the system administrator and report this problem.", refused.explanation);
    EXPECT_TRUE(PathExists(spool_ / "msg245"));
    prepare_ = nullptr;
    Outcome deleted = Admin(Message("DeleteMessage", "245", {{"qelSendMailConfirmation", "Yes"}}));
    EXPECT_EQ(0, deleted.result);
    EXPECT_EQ("No failed mail.", deleted.output);
    EXPECT_TRUE(Records().empty());
    EXPECT_FALSE(PathExists(spool_ / "msg245"));
}

TEST_F(FailedMailPagesTest, DatabaseFailuresAreReportedWithTheirTexts) {
    for (int i = 1; i <= 12; ++i)
        AddRecord(host_, std::to_string(i));
    const std::string name = "&quot;__QELDB__SendMail_Log__&quot; database.";
    struct Case {
        uint32_t selector;
        Form form;
        std::string message;
    } cases[] = {
        {QEL_DATABASE_SELECT_RECORDS, {}, "The database system was unable to search the " + name},
        {QEL_DATABASE_MOVE_BY_RECORDS, {{"qelSendMailAction", ">>"}, {"qelSendMailNextPage", "2"}},
         "The database system was unable to move to the requested record in the " + name},
        {QEL_DATABASE_MOVE_TO_RECORD, Message("Edit", "3"),
         "The database system was unable to move to the requested record in the " + name},
        {QEL_DATABASE_UPDATE_RECORD, Message("Save", "3"),
         "The database system was unable to update a record to the " + name},
    };
    for (const Case &c : cases) {
        prepare_ = [&](HostRequest &request) { request.faults().refuse(c.selector, {}, 1234); };
        Outcome page = Admin(c.form);
        EXPECT_EQ(1234, page.result) << c.message;
        EXPECT_EQ(c.message, page.message);
        EXPECT_EQ("Contact the system administrator and report this problem.", page.explanation);
    }
    // Every field is set even when one fails, and nothing is stored then.
    size_t sets = 0, updates = 0;
    prepare_ = [&](HostRequest &request) {
        request.setRecording(true);
        request.faults().failNth(QEL_DATABASE_SET_FIELD_VALUE, 2, {}, 99);
    };
    inspect_ = [&](HostRequest &request) {
        sets = request.countCalls(QEL_DATABASE_SET_FIELD_VALUE);
        updates = request.countCalls(QEL_DATABASE_UPDATE_RECORD);
    };
    const auto before = Records();
    Outcome page = Admin(Message("Save", "3", {{"qelSendMailSubject", "x"}}));
    EXPECT_EQ(99, page.result);
    EXPECT_EQ("The database system was unable to set the field values in the " + name, page.message);
    EXPECT_EQ(7u, sets);
    EXPECT_EQ(0u, updates);
    EXPECT_EQ(before, Records());
}

TEST_F(FailedMailPagesTest, ASendWhileItsResendRunsIsRefused) {
    ScriptedServer smtp, status;
    AddRecord(host_, "245", {{"SMTPServer", smtp.hostAndPort()}, {"To", "b@x.test, c@x.test"}});
    // The server greets only once the test lets it: until then the resend runs.
    ScriptedServer::Script &dialogue = smtp.connection();
    dialogue.awaitRelease();
    Accept(dialogue, {"b@x.test", "c@x.test", "d@x.test", "e@x.test"});
    status.connection().receiveRequest().send(kAccepted);
    smtp.start();
    status.start();
    WriteWholeFile(spool_ / "msg245", "To: x\r\n\r\nbody\r\n.\r\n");
    gStatusURL = "http://" + status.hostAndPort() + "/admin/SendMail";

    // The page number is checked before anything starts.
    Form noPage = Message("Send", "245");
    noPage.pop_back();
    Outcome refused = Admin(noPage);
    EXPECT_EQ(Code(QEL_RESULT_MISSING_PARAMETER), refused.result);
    EXPECT_EQ("The page ID could not be found.", refused.message);
    EXPECT_EQ("Please select an existing message.", refused.explanation);
    EXPECT_EQ(0u, QELThread::RunningCount());

    Outcome sent = Admin(Message("Send", "245", {{"qelSendMailPage", "2"}}));
    ASSERT_EQ(0, sent.result) << sent.message;
    EXPECT_EQ(std::string("\r\n<table border=\"0\" align=\"center\"><tr><td align=\"center\">\r\n") + kAction +
                  "\r\n<p><dd><strong>The message is now being resent.  If successful, the message will be "
                  "removed from the list.</strong></dl>"
                  "\r\n<input type=\"hidden\" name=\"qelSendMailPage\" value=\"2\">"
                  "\r\n<input type=\"hidden\" name=\"qelSendMailAction\" value=\"PostSend\">"
                  "\r\n<p><input type=\"submit\" name=\"Continue\" value=\"Continue\">\r\n</form>\r\n</td></tr></table>",
              sent.output);
    ASSERT_TRUE(QELMailDeliveryJob::IsBeingResent(QELString("msg245")));

    const auto before = Records();
    for (const char *action : {"Send", "Save", "DeleteMessage"}) {
        Outcome again = Admin(Message(action, "245", {{"qelSendMailConfirmation", "Yes"}}));
        EXPECT_EQ(Code(QEL_RESULT_GENERAL_FAILURE), again.result) << action;
        EXPECT_EQ("This message is being resent.", again.message) << action;
        EXPECT_EQ("Try again in a moment.", again.explanation);
    }
    gResendID = "msg245";
    HostRequest resend(host_, QEL_REQUEST_TAG);
    EXPECT_EQ(Code(QEL_RESULT_GENERAL_FAILURE), resend.run(ResendEntry));
    EXPECT_FALSE(gStarted);
    EXPECT_EQ(before, Records());
    EXPECT_TRUE(PathExists(spool_ / "msg245"));

    smtp.release();
    ASSERT_TRUE(QELThread::WaitUntilNoneRuns(20000));
    smtp.finish();
    status.finish();
    EXPECT_FALSE(smtp.clientWaitExpired());
    EXPECT_NE(std::string::npos, smtp.received(0).find("MAIL FROM: <a@site.test>"));
    EXPECT_EQ(1u, smtp.acceptedCount());
    EXPECT_EQ(0u, status.received(0).find("POST /admin/SendMail "));
}

TEST_F(FailedMailPagesTest, ResendStartsOnlyForALoggedMessage) {
    AddRecord(host_, "245", {{"SMTPServer", "127.0.0.1:1"}});
    for (const char *id : {"msg999", "msg0245", "../msg245", ""}) {
        gResendID = id;
        gStarted = true;
        HostRequest request(host_, QEL_REQUEST_TAG);
        EXPECT_EQ(0, request.run(ResendEntry)) << id;
        EXPECT_FALSE(gStarted) << id;
        EXPECT_EQ(0u, QELThread::RunningCount()) << id;
    }
    ScriptedServer status;
    status.connection().receiveRequest().send(kAccepted);
    status.start();
    gStatusURL = "http://" + status.hostAndPort() + "/SendMail";
    gResendID = "MSG245";
    HostRequest request(host_, QEL_REQUEST_TAG);
    EXPECT_EQ(0, request.run(ResendEntry));
    EXPECT_TRUE(gStarted);
    ASSERT_TRUE(QELThread::WaitUntilNoneRuns(20000));
    status.finish();
    // No spool file: the message counts as delivered before.
    EXPECT_NE(std::string::npos, status.received(0).find("MessageID=msg245&Status=S"));
}

}  // namespace
