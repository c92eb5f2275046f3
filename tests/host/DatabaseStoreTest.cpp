// DatabaseStoreTest.cpp: the record database services on SQLite, driven through the raw
// HostDatabaseCallback in the sequences the failed-mail log and the POP tag use.
#include "ServiceCaller.h"
#include "TempFolder.h"

#include "host/lib/DatabaseStore.h"
#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "host/lib/SqliteConnection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace velquor::host {
namespace {

using test::ServiceCaller;
using namespace std::chrono_literals;

const int32_t kNotFound = static_cast<int32_t>(QEL_RESULT_NOT_FOUND);
const int32_t kInvalid = static_cast<int32_t>(QEL_RESULT_INVALID_PARAMETER);
const int32_t kRefused = static_cast<int32_t>(QEL_RESULT_OPERATION_FAILED);
const int32_t kGeneral = static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);
const uint32_t kTextField = 0x00070000u;

// One request with the database system started.
struct Session {
    explicit Session(Host &host) : request(host, QEL_REQUEST_TAG), caller(request.context()) {
        EXPECT_EQ(caller.startup(), 0);
    }
    uint32_t open(const std::string &name, uint32_t mode = QEL_OPEN_SHARED) {
        uint32_t handle = 0;
        EXPECT_EQ(caller.open(name, mode, &handle), 0) << name;
        return handle;
    }
    // CreateRecord, the text fields, AddRecord: the answer of AddRecord.
    int32_t add(uint32_t handle, const std::vector<std::pair<std::string, std::string>> &values) {
        EXPECT_EQ(caller.onHandle(QEL_DATABASE_CREATE_RECORD, handle), 0);
        for (const auto &[field, value] : values) {
            EXPECT_EQ(caller.setText(handle, field, value), 0) << field;
        }
        return caller.onHandle(QEL_DATABASE_ADD_RECORD, handle);
    }
    uint32_t currentId(uint32_t handle) {
        return static_cast<uint32_t>(caller.getNumber(handle, "QELIDFIELD", QEL_VALUE_IDENTIFIER));
    }
    std::string text(uint32_t handle, const std::string &field) { return caller.getText(handle, field).text; }

    HostRequest request;
    ServiceCaller caller;
};

class DatabaseStoreTest : public ::testing::Test {
protected:
    Host host;
};

TEST_F(DatabaseStoreTest, NewNameOpensEmptyAndFieldsKeepTheirTypes) {
    Session s(host);
    uint32_t handle = s.open("__QELDB__SendMail_Log__");
    EXPECT_EQ(s.caller.fieldCount(handle), 0u);
    EXPECT_EQ(s.caller.addField(handle, "Message ID", 0x04050000u), 0);
    EXPECT_EQ(s.caller.addField(handle, "Status", 0x02060001u), 0);
    EXPECT_EQ(s.caller.addField(handle, "status", kTextField), kRefused) << "names ignore case";
    EXPECT_EQ(s.caller.addField(handle, "QELIDFIELD", kTextField), kRefused);
    EXPECT_EQ(s.caller.fieldCount(handle), 2u) << "QELIDFIELD is not counted";
    EXPECT_EQ(s.caller.close(handle), 0);

    handle = s.open("__qeldb__sendmail_log__");
    EXPECT_EQ(s.caller.fieldCount(handle), 2u) << "database names ignore case";
    std::vector<FieldInfo> fields = host.databases().fields("__QELDB__SendMail_Log__");
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].name, "Message ID");
    EXPECT_EQ(fields[0].type, 0x04050000u);
    EXPECT_EQ(fields[1].type, 0x02060001u);
}

TEST_F(DatabaseStoreTest, OpenNeedsAStartedSystemAndAValidMode) {
    HostRequest request(host, QEL_REQUEST_TAG);
    request.setRecording(true);
    ServiceCaller caller(request.context());
    uint32_t handle = 0;
    EXPECT_EQ(caller.open("x", QEL_OPEN_SHARED, &handle), kGeneral);
    EXPECT_EQ(caller.startup("source,user,password"), 0);
    EXPECT_EQ(caller.open("x", 1, &handle), kInvalid);
    EXPECT_EQ(caller.open("", QEL_OPEN_SHARED, &handle), static_cast<int32_t>(QEL_RESULT_INVALID_PARAMETER));
    EXPECT_EQ(caller.open("x", QEL_OPEN_SHARED, &handle), 0);
    EXPECT_EQ(caller.shutdown(), 0);
    EXPECT_EQ(caller.fieldCount(handle), 0u);
    EXPECT_EQ(host.databases().openHandles(), 0u) << "shutdown closes what the request left open";
    EXPECT_EQ(caller.shutdown(), kGeneral);
    EXPECT_EQ(request.callsOf(QEL_DATABASE_STARTUP)[0].value, "source,user,password");
}

TEST_F(DatabaseStoreTest, UniqueFieldRefusesARepeatedValueAndStoresNothing) {
    Session s(host);
    uint32_t handle = s.open("Inbox");
    ASSERT_EQ(s.caller.addField(handle, "Header", kTextField), 0);
    ASSERT_EQ(s.caller.addField(handle, "Unique ID", QEL_FIELD_UNIQUE_TEXT), 0);
    EXPECT_EQ(s.add(handle, {{"Unique ID", "uid-1"}, {"Header", "first"}}), 0);
    EXPECT_EQ(s.add(handle, {{"Unique ID", "uid-1"}, {"Header", "second"}}), kRefused);
    EXPECT_EQ(s.add(handle, {{"Unique ID", "uid-2"}}), 0);
    EXPECT_EQ(s.caller.select(handle, ""), 0);
    EXPECT_EQ(s.caller.selectedCount(handle), 2u);
    EXPECT_EQ(s.caller.select(handle, "Header = 'second'"), 0);
    EXPECT_EQ(s.caller.selectedCount(handle), 0u) << "the refused record left nothing";

    // UpdateRecord is held to the same rule.
    EXPECT_EQ(s.caller.select(handle, "Unique ID = 'uid-2'"), 0);
    EXPECT_EQ(s.caller.onHandle(QEL_DATABASE_MOVE_TO_FIRST, handle), 0);
    EXPECT_EQ(s.caller.setText(handle, "Unique ID", "uid-1"), 0);
    EXPECT_EQ(s.caller.onHandle(QEL_DATABASE_UPDATE_RECORD, handle), kRefused);
    EXPECT_EQ(s.caller.onHandle(QEL_DATABASE_MOVE_TO_FIRST, handle), 0);
    EXPECT_EQ(s.text(handle, "Unique ID"), "uid-2");
}

TEST_F(DatabaseStoreTest, CriteriaNameAFieldAndQuoteTheValue) {
    Session s(host);
    uint32_t handle = s.open("Log");
    ASSERT_EQ(s.caller.addField(handle, "Message ID", kTextField), 0);
    ASSERT_EQ(s.caller.addField(handle, "Subject", kTextField), 0);
    ASSERT_EQ(s.add(handle, {{"Message ID", "245"}, {"Subject", "O'Brien's note"}}), 0);
    ASSERT_EQ(s.add(handle, {{"Message ID", "246"}, {"Subject", "x"}}), 0);
    ASSERT_EQ(s.add(handle, {{"Message ID", "245"}, {"Subject", "again"}}), 0);

    struct Case {
        const char *criteria;
        int32_t answer;
        uint32_t count;
    } cases[] = {
        {"", 0, 3},
        {"Message ID = '245'", 0, 2},
        {"message id = '246'", 0, 1},
        {"Subject = 'O''Brien''s note'", 0, 1},
        {"Subject = 'x'' OR ''1''=''1'", 0, 0},  // a quoted attempt is just a value
        {"Subject = 'x' OR '1'='1'", kInvalid, 0},
        {"Subject = 'x'; DROP TABLE velquor_fields; --'", kInvalid, 0},
        {"Subject='x'", kInvalid, 0},
        {"Subject = 'x", kInvalid, 0},
        {"Nothing = 'x'", kNotFound, 0},
        {"QELIDFIELD = '2'", 0, 1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(s.caller.select(handle, c.criteria), c.answer) << c.criteria;
        if (c.answer == 0) {
            EXPECT_EQ(s.caller.selectedCount(handle), c.count) << c.criteria;
        }
    }
    EXPECT_EQ(host.databases().fields("Log").size(), 2u) << "the catalogue is intact";
    EXPECT_EQ(s.caller.select(handle, "Subject = 'O''Brien''s note'"), 0);
    EXPECT_EQ(s.caller.onHandle(QEL_DATABASE_MOVE_TO_FIRST, handle), 0);
    EXPECT_EQ(s.text(handle, "Subject"), "O'Brien's note");
}

TEST_F(DatabaseStoreTest, NewRecordBecomesCurrentWithMoveToLastAndTakesItsFields) {
    Session s(host);
    uint32_t handle = s.open("Inbox");
    ASSERT_EQ(s.caller.addField(handle, "Unique ID", QEL_FIELD_UNIQUE_TEXT), 0);
    ASSERT_EQ(s.caller.addField(handle, "Read", 0x00010000u), 0);
    ASSERT_EQ(s.caller.addField(handle, "Message", kTextField), 0);
    ASSERT_EQ(s.caller.addField(handle, "Size", kTextField), 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(s.add(handle, {{"Unique ID", "u" + std::to_string(i)}}), 0);
        ASSERT_EQ(s.caller.onHandle(QEL_DATABASE_MOVE_TO_LAST, handle), 0);
        EXPECT_EQ(s.text(handle, "Unique ID"), "u" + std::to_string(i));
        EXPECT_EQ(s.caller.setNumber(handle, "Read", 0, QEL_VALUE_IDENTIFIER), 0);
        EXPECT_EQ(s.caller.setText(handle, "Message", std::string(100 + i, 'm')), 0);
        EXPECT_EQ(s.caller.setText(handle, "Size", std::to_string(100 + i)), 0);
        EXPECT_EQ(s.caller.onHandle(QEL_DATABASE_UPDATE_RECORD, handle), 0);
    }
    EXPECT_EQ(s.caller.select(handle, "Unique ID = 'u1'"), 0);
    EXPECT_EQ(s.caller.onHandle(QEL_DATABASE_MOVE_TO_FIRST, handle), 0);
    ServiceCaller::Output message = s.caller.getText(handle, "Message");
    EXPECT_EQ(message.calls, 2) << "a long value goes through the 'MBtS' retry";
    EXPECT_EQ(message.text, std::string(101, 'm'));
    int32_t answer = -1;
    EXPECT_EQ(s.caller.getNumber(handle, "Size", QEL_VALUE_INTEGER, &answer), 101) << "a text read as integer";
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(s.caller.getNumber(handle, "Read", QEL_VALUE_IDENTIFIER), 0);
    EXPECT_EQ(s.caller.getText(handle, "QELIDFIELD").text, "2");
}

TEST_F(DatabaseStoreTest, FailedMailLogRecordLifecycle) {
    Session s(host);
    uint32_t handle = s.open("__QELDB__SendMail_Log__");
    ASSERT_EQ(s.caller.addField(handle, "Message ID", 0x04050000u), 0);
    ASSERT_EQ(s.caller.addField(handle, "Attempts", 0x02020000u), 0);
    ASSERT_EQ(s.caller.addField(handle, "Info", kTextField), 0);
    // First "F" post: create.
    ASSERT_EQ(s.caller.onHandle(QEL_DATABASE_CREATE_RECORD, handle), 0);
    ASSERT_EQ(s.caller.setText(handle, "Message ID", "245"), 0);
    ASSERT_EQ(s.caller.setNumber(handle, "Attempts", 1, QEL_VALUE_INTEGER), 0);
    ASSERT_EQ(s.caller.onHandle(QEL_DATABASE_ADD_RECORD, handle), 0);
    // Second "F" post: select, first, read, update.
    ASSERT_EQ(s.caller.select(handle, "Message ID = '245'"), 0);
    ASSERT_EQ(s.caller.selectedCount(handle), 1u);
    ASSERT_EQ(s.caller.onHandle(QEL_DATABASE_MOVE_TO_FIRST, handle), 0);
    int32_t attempts = s.caller.getNumber(handle, "Attempts", QEL_VALUE_INTEGER);
    EXPECT_EQ(attempts, 1);
    ASSERT_EQ(s.caller.setNumber(handle, "Attempts", attempts + 1, QEL_VALUE_INTEGER), 0);
    ASSERT_EQ(s.caller.setText(handle, "Info", "550 no such user"), 0);
    EXPECT_EQ(s.caller.getNumber(handle, "Attempts", QEL_VALUE_INTEGER), 2) << "the edit reads back";
    ASSERT_EQ(s.caller.onHandle(QEL_DATABASE_UPDATE_RECORD, handle), 0);
    ASSERT_EQ(s.caller.select(handle, "Message ID = '245'"), 0);
    ASSERT_EQ(s.caller.onHandle(QEL_DATABASE_MOVE_TO_FIRST, handle), 0);
    EXPECT_EQ(s.caller.getNumber(handle, "Attempts", QEL_VALUE_INTEGER), 2);
    EXPECT_EQ(s.text(handle, "Info"), "550 no such user");
    // "S" post: delete by identifier; the identifier is never given out again.
    uint32_t id = s.currentId(handle);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(s.caller.onRecord(QEL_DATABASE_DELETE_RECORD, handle, id), 0);
    EXPECT_EQ(s.caller.onRecord(QEL_DATABASE_DELETE_RECORD, handle, id), kNotFound);
    EXPECT_EQ(s.caller.getText(handle, "Info").answer, kNotFound) << "the current record is gone";
    EXPECT_EQ(s.add(handle, {{"Message ID", "300"}}), 0);
    EXPECT_EQ(s.caller.onHandle(QEL_DATABASE_MOVE_TO_LAST, handle), kNotFound) << "outside the selection";
    EXPECT_EQ(s.caller.select(handle, ""), 0);
    EXPECT_EQ(s.caller.onHandle(QEL_DATABASE_MOVE_TO_LAST, handle), 0);
    EXPECT_EQ(s.currentId(handle), 2u);
}

TEST_F(DatabaseStoreTest, CursorMovesOverTheSelection) {
    Session s(host);
    uint32_t handle = s.open("Numbers");
    ASSERT_EQ(s.caller.addField(handle, "N", kTextField), 0);
    ASSERT_EQ(s.caller.addField(handle, "Parity", kTextField), 0);
    for (int n = 1; n <= 7; ++n) {
        ASSERT_EQ(s.add(handle, {{"N", std::to_string(n)}, {"Parity", n % 2 ? "odd" : "even"}}), 0);
    }
    ASSERT_EQ(s.caller.select(handle, "Parity = 'odd'"), 0);  // 1 3 5 7
    EXPECT_EQ(s.caller.getText(handle, "N").answer, kNotFound) << "no current record before a move";
    struct Step {
        uint32_t selector;
        int32_t by;  // MoveByRecords count, or MoveToRecord identifier
        int32_t answer;
        const char *n;  // the current record afterwards
    } steps[] = {
        {QEL_DATABASE_MOVE_TO_NEXT, 0, 0, "1"},  // from before the first record
        {QEL_DATABASE_MOVE_TO_NEXT, 0, 0, "3"},
        {QEL_DATABASE_MOVE_BY_RECORDS, 2, 0, "7"},
        {QEL_DATABASE_MOVE_TO_NEXT, 0, kNotFound, "7"},  // past the end: stays
        {QEL_DATABASE_MOVE_BY_RECORDS, -3, 0, "1"},
        {QEL_DATABASE_MOVE_BY_RECORDS, -1, kNotFound, "1"},
        {QEL_DATABASE_MOVE_BY_RECORDS, 4, kNotFound, "1"},
        {QEL_DATABASE_MOVE_BY_RECORDS, 3, 0, "7"},
        {QEL_DATABASE_MOVE_TO_FIRST, 0, 0, "1"},
        {QEL_DATABASE_MOVE_TO_LAST, 0, 0, "7"},
        {QEL_DATABASE_MOVE_TO_RECORD, 5, 0, "5"},
        {QEL_DATABASE_MOVE_TO_RECORD, 4, kNotFound, "5"},  // not in the selection
        {QEL_DATABASE_MOVE_TO_RECORD, 99, kNotFound, "5"},
        {QEL_DATABASE_MOVE_BY_RECORDS, 0, 0, "5"},
    };
    for (const Step &step : steps) {
        int32_t answer = 0;
        if (step.selector == QEL_DATABASE_MOVE_BY_RECORDS) {
            answer = s.caller.moveBy(handle, step.by);
        } else if (step.selector == QEL_DATABASE_MOVE_TO_RECORD) {
            answer = s.caller.onRecord(step.selector, handle, static_cast<uint32_t>(step.by));
        } else {
            answer = s.caller.onHandle(step.selector, handle);
        }
        EXPECT_EQ(answer, step.answer) << std::hex << step.selector << std::dec << " " << step.by;
        EXPECT_EQ(s.text(handle, "N"), step.n) << std::hex << step.selector << std::dec << " " << step.by;
    }
    // Paging as the administration list does: 7 records, 3 per page, page 3.
    ASSERT_EQ(s.caller.select(handle, ""), 0);
    ASSERT_EQ(s.caller.onHandle(QEL_DATABASE_MOVE_TO_FIRST, handle), 0);
    ASSERT_EQ(s.caller.moveBy(handle, 6), 0);
    EXPECT_EQ(s.text(handle, "N"), "7");
    EXPECT_NE(s.caller.onHandle(QEL_DATABASE_MOVE_TO_NEXT, handle), 0);
    EXPECT_NE(s.caller.onHandle(QEL_DATABASE_MOVE_TO_NEXT, handle), 0);

    ASSERT_EQ(s.caller.select(handle, "Parity = 'none'"), 0);
    EXPECT_EQ(s.caller.onHandle(QEL_DATABASE_MOVE_TO_FIRST, handle), kNotFound);
    EXPECT_EQ(s.caller.onHandle(QEL_DATABASE_MOVE_TO_LAST, handle), kNotFound);
}

TEST_F(DatabaseStoreTest, FieldValueFormsAndRefusals) {
    Session s(host);
    uint32_t handle = s.open("Forms");
    ASSERT_EQ(s.caller.addField(handle, "Count", 0x02020000u), 0);
    ASSERT_EQ(s.caller.addField(handle, "Flag", 0x00010000u), 0);
    EXPECT_EQ(s.caller.setText(handle, "Count", "1"), kNotFound) << "no pending and no current record";
    EXPECT_EQ(s.caller.onHandle(QEL_DATABASE_ADD_RECORD, handle), kRefused) << "AddRecord needs CreateRecord";
    ASSERT_EQ(s.caller.onHandle(QEL_DATABASE_CREATE_RECORD, handle), 0);
    EXPECT_EQ(s.caller.setNumber(handle, "Count", -42, QEL_VALUE_INTEGER), 0);
    EXPECT_EQ(s.caller.setNumber(handle, "Flag", 1, QEL_VALUE_IDENTIFIER), 0);
    EXPECT_EQ(s.caller.setText(handle, "QELIDFIELD", "9"), kRefused);
    EXPECT_EQ(s.caller.setText(handle, "Missing", "9"), kNotFound);
    ASSERT_EQ(s.caller.onHandle(QEL_DATABASE_ADD_RECORD, handle), 0);
    ASSERT_EQ(s.caller.onHandle(QEL_DATABASE_MOVE_TO_LAST, handle), 0);
    EXPECT_EQ(s.caller.getNumber(handle, "Count", QEL_VALUE_INTEGER), -42);
    EXPECT_EQ(s.caller.getText(handle, "Count").text, "-42");
    EXPECT_EQ(s.caller.getNumber(handle, "Flag", QEL_VALUE_IDENTIFIER), 1);
    int32_t answer = 0;
    s.caller.getNumber(handle, "Missing", QEL_VALUE_INTEGER, &answer);
    EXPECT_EQ(answer, kNotFound);

    // A 4-byte value with another size breaks the conventions.
    uint32_t h = handle;
    char field[] = "Count";
    uint32_t count = sizeof field;
    int32_t value = 5;
    uint32_t size = 8;
    uint32_t type = QEL_VALUE_INTEGER;
    EXPECT_EQ(s.caller.database(QEL_DATABASE_SET_FIELD_VALUE, &h, field, &count, &value, &size, &type), kInvalid);
    EXPECT_EQ(s.request.protocolViolations().size(), 1u);
}

TEST_F(DatabaseStoreTest, HandlesBelongToTheirRequestAndAreReleasedAtItsEnd) {
    host.databases().setLockWait(50ms);
    Session other(host);
    uint32_t foreign = 0;
    {
        Session s(host);
        foreign = s.open("Shared", QEL_OPEN_EXCLUSIVE);
        EXPECT_EQ(other.caller.fieldCount(foreign), 0u);
        EXPECT_EQ(other.caller.onHandle(QEL_DATABASE_MOVE_TO_FIRST, foreign), kNotFound) << "another request's handle";
        uint32_t blocked = 0;
        EXPECT_EQ(other.caller.open("shared", QEL_OPEN_SHARED, &blocked), kGeneral) << "held exclusively";
        EXPECT_EQ(host.databases().openHandles(), 1u);
    }
    EXPECT_EQ(host.databases().openHandles(), 0u);
    uint32_t handle = 0;
    EXPECT_EQ(other.caller.open("Shared", QEL_OPEN_EXCLUSIVE, &handle), 0) << "the ended request's lock is gone";
    uint32_t second = 0;
    EXPECT_EQ(other.caller.open("Shared", QEL_OPEN_SHARED, &second), 0) << "one request never blocks itself";
}

TEST_F(DatabaseStoreTest, ConcurrentOpensWaitBoundedThenProceed) {
    host.databases().setLockWait(5s);
    Session holder(host);
    uint32_t exclusive = holder.open("Busy", QEL_OPEN_EXCLUSIVE);

    std::atomic<bool> opened{false};
    int32_t answer = -1;
    auto started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration waited{};
    std::thread waiter([&] {
        Session s(host);
        uint32_t handle = 0;
        answer = s.caller.open("Busy", QEL_OPEN_SHARED, &handle);
        waited = std::chrono::steady_clock::now() - started;
        opened = true;
    });
    std::this_thread::sleep_for(150ms);
    EXPECT_FALSE(opened.load()) << "a shared open waits while the database is held exclusively";
    EXPECT_EQ(holder.caller.close(exclusive), 0);
    waiter.join();
    EXPECT_EQ(answer, 0);
    EXPECT_GE(waited, 150ms);

    // The other way round, with a short bound: an exclusive open gives up.
    host.databases().setLockWait(100ms);
    uint32_t shared = holder.open("Busy", QEL_OPEN_SHARED);
    std::thread late([&] {
        Session s(host);
        uint32_t handle = 0;
        auto begin = std::chrono::steady_clock::now();
        answer = s.caller.open("Busy", QEL_OPEN_EXCLUSIVE, &handle);
        waited = std::chrono::steady_clock::now() - begin;
    });
    late.join();
    EXPECT_EQ(answer, kGeneral);
    EXPECT_GE(waited, 100ms);
    EXPECT_LT(waited, 3s);
    EXPECT_EQ(holder.caller.close(shared), 0);
}

TEST_F(DatabaseStoreTest, EachHandleFindsItsOwnNewRecordWhileOthersAdd) {
    Session a(host);
    Session b(host);
    uint32_t ha = a.open("Inbox");
    ASSERT_EQ(a.caller.addField(ha, "Unique ID", QEL_FIELD_UNIQUE_TEXT), 0);
    uint32_t hb = b.open("Inbox");
    ASSERT_EQ(a.add(ha, {{"Unique ID", "from-a"}}), 0);
    ASSERT_EQ(b.add(hb, {{"Unique ID", "from-b"}}), 0);
    ASSERT_EQ(a.caller.onHandle(QEL_DATABASE_MOVE_TO_LAST, ha), 0);
    ASSERT_EQ(b.caller.onHandle(QEL_DATABASE_MOVE_TO_LAST, hb), 0);
    EXPECT_EQ(a.text(ha, "Unique ID"), "from-a");
    EXPECT_EQ(b.text(hb, "Unique ID"), "from-b");
    ASSERT_EQ(a.caller.select(ha, ""), 0);
    EXPECT_EQ(a.caller.selectedCount(ha), 2u) << "a new selection sees everything";
}

TEST_F(DatabaseStoreTest, ManyRequestThreadsAddAtOnce) {
    {
        Session setup(host);
        uint32_t handle = setup.open("Parallel", QEL_OPEN_EXCLUSIVE);
        ASSERT_EQ(setup.caller.addField(handle, "Unique ID", QEL_FIELD_UNIQUE_TEXT), 0);
    }
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            Session s(host);
            uint32_t handle = s.open("Parallel");
            for (int i = 0; i < 25; ++i) {
                // Every thread offers the same 25 identifiers; each is stored once.
                if (s.add(handle, {{"Unique ID", std::to_string(i)}}) != 0) {
                    ++refused;
                    continue;
                }
                EXPECT_EQ(s.caller.onHandle(QEL_DATABASE_MOVE_TO_LAST, handle), 0);
                EXPECT_EQ(s.text(handle, "Unique ID"), std::to_string(i)) << "thread " << t;
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    Session check(host);
    uint32_t handle = check.open("Parallel");
    EXPECT_EQ(check.caller.selectedCount(handle), 25u);
    EXPECT_EQ(refused.load(), 75);
}

// Runs work in one request of a host whose databases are in the file at path: one run
// of the host.
void inOneRun(const std::string &path, const std::function<void(Session &)> &work) {
    std::string error;
    Host host;
    host.useDatabases(DatabaseStore::open(path, &error));
    ASSERT_TRUE(error.empty()) << error;
    Session s(host);
    work(s);
}

TEST(DatabaseStoreFile, ValuesLayoutAndUniquenessSurviveAReopen) {
    test::TempFolder folder;
    std::string path = folder / "databases.sqlite";
    std::string error;
    inOneRun(path, [](Session &s) {
        uint32_t handle = s.open("Inbox");
        ASSERT_EQ(s.caller.addField(handle, "Unique ID", QEL_FIELD_UNIQUE_TEXT), 0);
        ASSERT_EQ(s.caller.addField(handle, "From Name", kTextField), 0);
        ASSERT_EQ(s.add(handle, {{"Unique ID", "u1"}, {"From Name", "Ann \"A\" Example"}}), 0);
        ASSERT_EQ(s.add(handle, {{"Unique ID", "u2"}}), 0);
        ASSERT_EQ(s.caller.onRecord(QEL_DATABASE_DELETE_RECORD, handle, 2), 0);
    });
    Host host;
    std::shared_ptr<DatabaseStore> store = DatabaseStore::open(path, &error);
    ASSERT_NE(store, nullptr) << error;
    host.useDatabases(store);
    Session s(host);
    uint32_t handle = s.open("inbox");
    EXPECT_EQ(s.caller.fieldCount(handle), 2u);
    EXPECT_EQ(s.caller.selectedCount(handle), 1u);
    ASSERT_EQ(s.caller.onHandle(QEL_DATABASE_MOVE_TO_FIRST, handle), 0);
    EXPECT_EQ(s.text(handle, "From Name"), "Ann \"A\" Example");
    EXPECT_EQ(s.add(handle, {{"Unique ID", "u1"}}), kRefused);
    EXPECT_EQ(s.add(handle, {{"Unique ID", "u3"}}), 0);
    ASSERT_EQ(s.caller.onHandle(QEL_DATABASE_MOVE_TO_LAST, handle), 0);
    EXPECT_EQ(s.currentId(handle), 3u) << "a deleted identifier is not reused";
    EXPECT_EQ(store->fields("Inbox")[0].type, QEL_FIELD_UNIQUE_TEXT);

    EXPECT_FALSE(store->dropDatabase("Inbox", &error)) << "open";
    s.request.end();
    EXPECT_TRUE(store->dropDatabase("Inbox", &error)) << error;
    EXPECT_TRUE(store->fields("Inbox").empty());
}

// A file with the Inbox database of two fields, left by an earlier run.
void storeInbox(const std::string &path) {
    inOneRun(path, [](Session &s) {
        uint32_t handle = s.open("Inbox");
        ASSERT_EQ(s.caller.addField(handle, "Unique ID", QEL_FIELD_UNIQUE_TEXT), 0);
        ASSERT_EQ(s.caller.addField(handle, "Header", kTextField), 0);
    });
}

void runSql(const std::string &path, const std::string &sql) {
    SqliteConnection connection;
    std::string error;
    ASSERT_TRUE(connection.open(path, 1000, &error)) << error;
    ASSERT_TRUE(connection.execute(sql, &error)) << error;
}

TEST(DatabaseStoreFile, ACatalogueThatCannotBeReadIsAnErrorNeverAnEmptyOne) {
    struct Case {
        const char *sql;  // what became of the catalogue since the last run
        const char *part;
    } cases[] = {
        {"ALTER TABLE velquor_databases RENAME TO old_databases; CREATE TABLE velquor_databases (folded TEXT)",
         "databases"},
        {"ALTER TABLE velquor_fields RENAME TO old_fields; CREATE TABLE velquor_fields (folded TEXT)", "fields"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sql);
        test::TempFolder folder;
        std::string path = folder / "databases.sqlite";
        storeInbox(path);
        runSql(path, c.sql);
        std::string error;
        EXPECT_EQ(DatabaseStore::open(path, &error), nullptr);
        EXPECT_NE(error.find(std::string("cannot read the database catalogue (") + c.part + ")"), std::string::npos)
            << error;
    }
}

TEST(DatabaseStoreFile, MemoryChangesOnlyWithWhatSQLiteStored) {
    // Each refusal is a trigger that makes SQLite refuse one catalogue write.
    struct Case {
        const char *trigger;
        std::function<bool(Session &, DatabaseStore &)> change;  // true when the store took the change
    } cases[] = {
        {"BEFORE INSERT ON velquor_databases",
         [](Session &s, DatabaseStore &) {
             uint32_t handle = 0;
             return s.caller.open("Outbox", QEL_OPEN_SHARED, &handle) == 0;
         }},
        {"BEFORE INSERT ON velquor_fields",
         [](Session &s, DatabaseStore &) { return s.caller.addField(s.open("Inbox"), "Size", kTextField) == 0; }},
        {"BEFORE DELETE ON velquor_databases",
         [](Session &, DatabaseStore &store) {
             std::string error;
             return store.dropDatabase("Inbox", &error);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.trigger);
        test::TempFolder folder;
        std::string path = folder / "databases.sqlite";
        storeInbox(path);
        std::string error;
        std::shared_ptr<DatabaseStore> store = DatabaseStore::open(path, &error);
        ASSERT_NE(store, nullptr) << error;
        runSql(path, std::string("CREATE TRIGGER refuse ") + c.trigger + " BEGIN SELECT RAISE(ABORT, 'refused'); END");
        Host host;
        host.useDatabases(store);
        {
            Session s(host);
            EXPECT_FALSE(c.change(s, *store));
        }
        EXPECT_EQ(store->databaseNames(), std::vector<std::string>{"Inbox"});
        EXPECT_EQ(store->fields("Inbox").size(), 2u);
        runSql(path, "DROP TRIGGER refuse");
        std::shared_ptr<DatabaseStore> reopened = DatabaseStore::open(path, &error);
        ASSERT_NE(reopened, nullptr) << error;
        EXPECT_EQ(reopened->databaseNames(), store->databaseNames()) << "memory and file agree";
        EXPECT_EQ(reopened->fields("Inbox").size(), 2u);
    }
}

TEST(DatabaseStoreCriteria, ParsesOnlyTheOneForm) {
    std::string field;
    std::string value;
    EXPECT_TRUE(DatabaseStore::parseCriteria("Message ID = 'it''s'", &field, &value));
    EXPECT_EQ(field, "Message ID");
    EXPECT_EQ(value, "it's");
    EXPECT_TRUE(DatabaseStore::parseCriteria("A = ''", &field, &value));
    EXPECT_EQ(value, "");
    EXPECT_TRUE(DatabaseStore::parseCriteria("A = ' = ''x'''", &field, &value));
    EXPECT_EQ(field, "A");
    EXPECT_EQ(value, " = 'x'");
    for (const char *bad : {" = 'x'", "A = 'x", "A = x", "A = 'a'b'", "A = '''", "A = ' = 'x'''"}) {
        EXPECT_FALSE(DatabaseStore::parseCriteria(bad, &field, &value)) << bad;
    }
}

} // namespace
} // namespace velquor::host
