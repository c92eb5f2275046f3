// FailedMailLogTest.cpp: the failed-mail log against the reference host's databases:
// status posts creating, updating and deleting records, the layout, refused Message IDs,
// and every database failure reported, logged and leaving nothing open.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "host/lib/DatabaseStore.h"
#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "module/HostInterface.h"

using velquor::host::DatabaseStore;
using velquor::host::FieldValue;
using velquor::host::Host;
using velquor::host::HostRequest;

namespace {

const char kLog[] = "__QELDB__SendMail_Log__";
const std::vector<std::string> kFields = {"Message ID", "Status", "Attempts", "SMTP Server", "From", "ReplyTo",
                                          "To",         "CC",     "BCC",      "Subject",     "Info"};
constexpr int32_t Code(uint32_t code) { return static_cast<int32_t>(code); }

using Post = std::vector<std::pair<std::string, std::string>>;
using Record = std::map<std::string, std::string>;

class FailedMailLogTest : public ::testing::Test {
protected:
    // Sends one status post as the host's action request; the request is kept for checks.
    int32_t Send(const Post &post, HostRequest *request = nullptr) {
        HostRequest own(host_, QEL_REQUEST_ACTION);
        HostRequest &used = request != nullptr ? *request : own;
        used.setActionName("SendMail");
        used.setRecording(true);
        for (const auto &[name, value] : post)
            used.addFormArgument(name, value);
        int32_t result = used.run(ProcessQELRequest);
        EXPECT_EQ(0, used.databaseStarts()) << "the database system was left started";
        return result;
    }

    static Post Failure(const std::string &id, const std::string &info, const std::string &status = "F") {
        return {{"MessageID", id}, {"Status", status}, {"SMTPServer", "mail.test"}, {"From", "a@site.test"},
                {"ReplyTo", "r@site.test"}, {"To", "b@x.test,c@x.test"}, {"CC", "d@x.test"},
                {"BCC", "e@x.test"}, {"Subject", "Hello"}, {"Info", info}};
    }

    // Every record of the log, each field as text.
    std::vector<Record> Records() {
        DatabaseStore &store = host_.databases();
        const uint64_t owner = 0xF00D;
        uint32_t handle = 0;
        std::vector<Record> records;
        if (store.openDatabase(owner, kLog, QEL_OPEN_SHARED, &handle) != 0)
            return records;
        uint32_t count = 0;
        store.selectRecords(owner, handle, "");
        store.selectedCount(owner, handle, &count);
        for (uint32_t i = 0; i < count && store.moveToNext(owner, handle) == 0; ++i) {
            Record record;
            for (const std::string &field : kFields) {
                FieldValue value;
                store.getFieldValue(owner, handle, field, &value);
                record[field] = value.asText();
            }
            records.push_back(record);
        }
        store.closeAll(owner);
        return records;
    }

    Host host_;
};

TEST_F(FailedMailLogTest, FailuresCreateAndCountRecordsAndDeliveryRemovesThem) {
    struct Step {
        Post post;
        std::vector<Record> expected;  // the records afterwards: Message ID, Status, Attempts, Info
    };
    auto record = [](const char *id, const char *status, const char *attempts, const char *info) {
        return Record{{"Message ID", id}, {"Status", status}, {"Attempts", attempts}, {"Info", info}};
    };
    const std::string longest(25, '9');
    const Step steps[] = {
        {Failure("msg245", "550- Mailbox Unavailable"), {record("245", "F", "1", "550- Mailbox Unavailable")}},
        {Failure("MSG245", "DNS lookup failed (mail.test)"), {record("245", "F", "2", "DNS lookup failed (mail.test)")}},
        {Failure("msg245", "later", "Q"), {record("245", "Q", "3", "later")}},
        {Failure("msg777", "", "S"), {record("245", "Q", "3", "later")}},
        {Failure("msg777", "", "Q"), {record("245", "Q", "3", "later")}},
        {Failure("245", "without prefix"), {record("245", "F", "4", "without prefix")}},
        {Failure("msg" + longest, "long"),
         {record("245", "F", "4", "without prefix"), record(longest.c_str(), "F", "1", "long")}},
        {Failure("msg245", "", "S"), {record(longest.c_str(), "F", "1", "long")}},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        EXPECT_EQ(0, Send(steps[i].post)) << "step " << i;
        std::vector<Record> records = Records();
        ASSERT_EQ(steps[i].expected.size(), records.size()) << "step " << i;
        for (size_t r = 0; r < records.size(); ++r)
            for (const auto &[field, value] : steps[i].expected[r])
                EXPECT_EQ(value, records[r][field]) << "step " << i << " field " << field;
    }
    // Every posted text lands in its field.
    Record last = Records().at(0);
    EXPECT_EQ("mail.test", last["SMTP Server"]);
    EXPECT_EQ("a@site.test", last["From"]);
    EXPECT_EQ("r@site.test", last["ReplyTo"]);
    EXPECT_EQ("b@x.test,c@x.test", last["To"]);
    EXPECT_EQ("d@x.test", last["CC"]);
    EXPECT_EQ("e@x.test", last["BCC"]);
    EXPECT_EQ("Hello", last["Subject"]);
}

TEST_F(FailedMailLogTest, TheLayoutIsAddedOnFirstUseWithItsTypes) {
    HostRequest request(host_, QEL_REQUEST_ACTION);
    ASSERT_EQ(0, Send(Failure("msg1", "x"), &request));
    std::vector<std::string> added;
    for (const auto &call : request.callsOf(QEL_DATABASE_ADD_FIELD))
        added.push_back(call.name);
    EXPECT_EQ(kFields, added);
    const uint32_t types[] = {0x04050000u, 0x02060001u, 0x02020000u, 0x00070000u, 0x00070000u, 0x00070000u,
                              0x00070000u, 0x00070000u, 0x00070000u, 0x00070000u, 0x00070000u};
    auto calls = request.callsOf(QEL_DATABASE_ADD_FIELD);
    for (size_t i = 0; i < calls.size(); ++i)
        EXPECT_NE(std::string::npos, calls[i].text.find("type=" + std::to_string(types[i]))) << calls[i].text;
}

// Another request may lay the database out between this one's first count and its
// exclusive reopen: the recount sees the layout and adds nothing.
TEST_F(FailedMailLogTest, ALayoutMadeMeanwhileIsKept) {
    ASSERT_EQ(0, Send(Failure("msg1", "first")));
    HostRequest request(host_, QEL_REQUEST_ACTION);
    request.faults().failNth(QEL_DATABASE_GET_FIELD_COUNT, 1);
    EXPECT_EQ(0, Send(Failure("msg2", "second"), &request));
    EXPECT_EQ(0u, request.countCalls(QEL_DATABASE_ADD_FIELD));
    EXPECT_EQ(2u, Records().size());
    EXPECT_FALSE(request.errorInfo().has_value());
}

// A process that stopped while laying the log out left its first fields: the next post
// adds the rest (and logs it) and its record is stored. The same count of fields holding
// a record is no unfinished layout and is refused.
TEST_F(FailedMailLogTest, ALayoutLeftUnfinishedIsCompletedWhileItHoldsNoRecord) {
    const uint32_t types[] = {0x04050000u, 0x02060001u, 0x02020000u, 0x00070000u, 0x00070000u, 0x00070000u,
                              0x00070000u, 0x00070000u, 0x00070000u, 0x00070000u, 0x00070000u};
    struct Case {
        size_t present;
        bool withRecord;
    } cases[] = {{1, false}, {4, false}, {10, false}, {4, true}};
    for (const Case &c : cases) {
        Host host;
        DatabaseStore &store = host.databases();
        uint32_t handle = 0;
        ASSERT_EQ(0, store.openDatabase(1, kLog, QEL_OPEN_EXCLUSIVE, &handle));
        for (size_t i = 0; i < c.present; ++i)
            ASSERT_EQ(0, store.addField(1, handle, kFields[i], types[i]));
        if (c.withRecord) {
            ASSERT_EQ(0, store.createRecord(1, handle));
            ASSERT_EQ(0, store.setFieldValue(1, handle, "Message ID", FieldValue::ofText("7")));
            ASSERT_EQ(0, store.addRecord(1, handle));
        }
        store.closeAll(1);
        HostRequest request(host, QEL_REQUEST_ACTION);
        request.setActionName("SendMail");
        request.setRecording(true);
        for (const auto &[name, value] : Failure("msg9", "x"))
            request.addFormArgument(name, value);
        const int32_t result = request.run(ProcessQELRequest);
        std::vector<std::string> added;
        for (const auto &call : request.callsOf(QEL_DATABASE_ADD_FIELD))
            added.push_back(call.name);
        if (c.withRecord) {
            EXPECT_EQ(Code(QEL_RESULT_OPERATION_FAILED), result);
            EXPECT_TRUE(added.empty());
            continue;
        }
        EXPECT_EQ(0, result) << c.present;
        EXPECT_EQ(std::vector<std::string>(kFields.begin() + static_cast<std::ptrdiff_t>(c.present), kFields.end()),
                  added);
        ASSERT_FALSE(request.logEntries().empty());
        EXPECT_EQ("qelSendMail: the &quot;__QELDB__SendMail_Log__&quot; database was left with " +
                      std::to_string(c.present) + " of its fields and no record; the others have been added",
                  request.logEntries()[0].text);
        ASSERT_EQ(0, store.openDatabase(1, kLog, QEL_OPEN_SHARED, &handle));
        uint32_t count = 0;
        store.selectRecords(1, handle, "Message ID = '9'");
        store.selectedCount(1, handle, &count);
        EXPECT_EQ(1u, count) << c.present;
        store.closeAll(1);
    }
}

TEST_F(FailedMailLogTest, PostsThatNameNoSpoolFileChangeNothing) {
    ASSERT_EQ(0, Send(Failure("msg5", "kept")));
    const std::string tooLong = "msg" + std::string(26, '1');
    for (const std::string &id : {std::string("msg0123"), std::string("msg"), std::string("msg12a"),
                                  std::string("12.5"), tooLong, std::string("../../etc/passwd"), std::string("")}) {
        HostRequest request(host_, QEL_REQUEST_ACTION);
        EXPECT_EQ(0, Send(Failure(id, "changed"), &request)) << id;
        ASSERT_EQ(1u, request.logEntries().size()) << id;
        EXPECT_NE(std::string::npos, request.logEntries()[0].text.find("nothing was changed")) << id;
        EXPECT_EQ(0u, request.countCalls(QEL_DATABASE_SELECT_RECORDS)) << id;
    }
    for (const Post &post : {Post{{"Status", "F"}}, Post{{"MessageID", "msg6"}}}) {
        HostRequest request(host_, QEL_REQUEST_ACTION);
        EXPECT_EQ(0, Send(post, &request));
        EXPECT_FALSE(request.errorInfo().has_value());
    }
    std::vector<Record> records = Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("kept", records[0]["Info"]);
}

TEST_F(FailedMailLogTest, ADatabaseOfAnotherLayoutIsRefusedAndLeftAlone) {
    for (size_t fields : {10u, 12u}) {
        Host host;
        DatabaseStore &store = host.databases();
        uint32_t handle = 0;
        ASSERT_EQ(0, store.openDatabase(1, kLog, QEL_OPEN_EXCLUSIVE, &handle));
        for (size_t i = 0; i < fields; ++i)
            ASSERT_EQ(0, store.addField(1, handle, "F" + std::to_string(i), 0x00070000u));
        store.closeAll(1);
        HostRequest request(host, QEL_REQUEST_ACTION);
        request.setActionName("SendMail");
        request.setRecording(true);
        for (const auto &[name, value] : Failure("msg9", "x"))
            request.addFormArgument(name, value);
        EXPECT_EQ(Code(QEL_RESULT_OPERATION_FAILED), request.run(ProcessQELRequest)) << fields;
        EXPECT_EQ(0, request.databaseStarts());
        ASSERT_TRUE(request.errorInfo().has_value());
        EXPECT_EQ("The &quot;__QELDB__SendMail_Log__&quot; database is not the proper database layout for "
                  "qelSendMail use.",
                  request.errorInfo()->message);
        EXPECT_EQ("Delete the &quot;__QELDB__SendMail_Log__&quot; database and qelSendMail will recreate it "
                  "automatically.",
                  request.errorInfo()->explanation);
        ASSERT_EQ(1u, request.logEntries().size());
        EXPECT_EQ(request.errorInfo()->message, request.logEntries()[0].text);
        EXPECT_EQ(0u, request.countCalls(QEL_DATABASE_ADD_FIELD));
        EXPECT_EQ(0u, request.countCalls(QEL_DATABASE_ADD_RECORD));
    }
}

// Every failing service is reported with its text, logged, answered with its code, and
// leaves neither a database open nor the database system started.
TEST_F(FailedMailLogTest, EveryDatabaseFailureIsReportedAndLogged) {
    const std::string name = "&quot;__QELDB__SendMail_Log__&quot; database";
    const std::string report = "Contact the system administrator and report this problem.";
    struct Case {
        uint32_t selector;
        bool existing;  // the message has a record already
        const char *status;
        std::string message;
        std::string explanation;
    } cases[] = {
        {QEL_DATABASE_STARTUP, false, "F", "The database system failed to initialize.", report},
        {QEL_DATABASE_OPEN, false, "F", "The database system was unable to open the " + name + ".",
         "The database may be locked for exclusive use.  Try again in a few moments."},
        {QEL_DATABASE_SELECT_RECORDS, false, "F", "The database system was unable to search the " + name + ".", report},
        {QEL_DATABASE_CREATE_RECORD, false, "F",
         "The database system was unable to create a record in the " + name + ".", report},
        {QEL_DATABASE_SET_FIELD_VALUE, false, "F",
         "The database system was unable to set the field values in the " + name + ".", report},
        {QEL_DATABASE_ADD_RECORD, false, "F", "The database system was unable to add a record to the " + name + ".",
         report},
        {QEL_DATABASE_MOVE_TO_FIRST, true, "F",
         "The database system was unable to move to the requested record in the " + name + ".", report},
        {QEL_DATABASE_SET_FIELD_VALUE, true, "F",
         "The database system was unable to set the field values in the " + name + ".", report},
        {QEL_DATABASE_UPDATE_RECORD, true, "F", "The database system was unable to update a record to the " + name + ".",
         report},
        {QEL_DATABASE_DELETE_RECORD, true, "S",
         "The database system was unable to delete the requested record from the " + name + ".", report},
    };
    for (const Case &c : cases) {
        Host host;
        if (c.existing) {
            HostRequest first(host, QEL_REQUEST_ACTION);
            first.setActionName("SendMail");
            for (const auto &[field, value] : Failure("msg42", "first"))
                first.addFormArgument(field, value);
            ASSERT_EQ(0, first.run(ProcessQELRequest));
        }
        HostRequest request(host, QEL_REQUEST_ACTION);
        request.setActionName("SendMail");
        for (const auto &[field, value] : Failure("msg42", "again", c.status))
            request.addFormArgument(field, value);
        request.faults().refuse(c.selector, {}, 1234);
        EXPECT_EQ(1234, request.run(ProcessQELRequest)) << c.message;
        EXPECT_EQ(0, request.databaseStarts()) << c.message;
        ASSERT_TRUE(request.errorInfo().has_value()) << c.message;
        EXPECT_EQ(c.message, request.errorInfo()->message);
        EXPECT_EQ(c.explanation, request.errorInfo()->explanation) << c.message;
        ASSERT_FALSE(request.logEntries().empty()) << c.message;
        EXPECT_EQ(c.message, request.logEntries().back().text);
        request.end();
        // Nothing is left locked: another post gets through.
        HostRequest after(host, QEL_REQUEST_ACTION);
        after.setActionName("SendMail");
        for (const auto &[field, value] : Failure("msg43", "after"))
            after.addFormArgument(field, value);
        EXPECT_EQ(0, after.run(ProcessQELRequest)) << c.message;
    }
}

}  // namespace
