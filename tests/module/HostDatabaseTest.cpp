// HostDatabaseTest.cpp: the module's wrappers of the host's database services against
// the reference host's SQLite databases.
#include <gtest/gtest.h>

#include <string>

#include "foundation/Decimal.h"
#include "host/lib/HostRequest.h"
#include "module/HostDatabase.h"

using velquor::host::HostRequest;

namespace {

std::string Text(const QELString &text) { return std::string(text.text(), text.length()); }

class HostDatabaseTest : public ::testing::Test {
protected:
    HostDatabaseTest() : request_(QEL_REQUEST_TAG), database_(*request_.context()) { request_.setRecording(true); }

    // Starts the database system (once) and opens a database, as the tags do.
    uint32_t Open(const char *name) {
        if (!started_) {
            EXPECT_EQ(0, database_.DatabaseStartup("", "", ""));
            started_ = true;
        }
        uint32_t handle = 0;
        EXPECT_EQ(0, database_.OpenDatabase(name, QEL_OPEN_SHARED, "", handle));
        return handle;
    }

    HostRequest request_;
    QELHostDatabase database_;
    bool started_ = false;
};

TEST_F(HostDatabaseTest, StartupSendsTheConnectionTextOnlyWithAllThreeValues) {
    database_.DatabaseStartup("source", "user", "");
    database_.DatabaseStartup("", "user", "secret");
    database_.DatabaseStartup("source", "user", "secret");
    auto calls = request_.callsOf(QEL_DATABASE_STARTUP);
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ("", calls[0].value);
    EXPECT_EQ("", calls[1].value);
    EXPECT_EQ("source,user,secret", calls[2].value);
    EXPECT_EQ(0, database_.DatabaseShutdown());
}

TEST_F(HostDatabaseTest, NewDatabaseHasNoFieldsUntilTheCallerAddsThem) {
    uint32_t handle = Open("Inbox");
    EXPECT_EQ(0u, database_.GetFieldCount(handle));
    EXPECT_EQ(0, database_.AddField(handle, "Unique ID", QEL_FIELD_UNIQUE_TEXT));
    EXPECT_EQ(0, database_.AddField(handle, "Size", 0x04040004u));
    EXPECT_EQ(2u, database_.GetFieldCount(handle));
    EXPECT_EQ(0, database_.CloseDatabase(handle));
}

TEST_F(HostDatabaseTest, ValuesOfEveryFormRoundTrip) {
    uint32_t handle = Open("Log");
    database_.AddField(handle, "Subject", 0x01010100u);
    database_.AddField(handle, "Attempts", 0x04040004u);
    database_.AddField(handle, "Read", 0x05050001u);
    database_.AddField(handle, "Offset", 0x01010100u);
    ASSERT_EQ(0, database_.CreateRecord(handle));
    ASSERT_EQ(0, database_.SetFieldValue(handle, "Subject", QELString(std::string(100, 's').c_str())));
    ASSERT_EQ(0, database_.SetFieldValue(handle, "Attempts", int32_t{-3}));
    ASSERT_EQ(0, database_.SetFieldFlag(handle, "Read", true));
    ASSERT_EQ(0, database_.SetFieldValue(handle, "Offset", QELDecimal("5.5")));
    ASSERT_EQ(0, database_.AddRecord(handle));
    ASSERT_EQ(0, database_.MoveToLastRecord(handle));

    EXPECT_EQ(std::string(100, 's'), Text(database_.GetFieldText(handle, "Subject")));
    EXPECT_EQ(-3, database_.GetFieldInteger(handle, "Attempts"));
    EXPECT_EQ(1u, database_.GetFieldIdentifier(handle, "Read"));
    QELDecimal offset = database_.GetFieldDecimal(handle, "Offset");
    EXPECT_EQ("5.5", Text(offset.toText()));
    EXPECT_NE(0u, database_.GetFieldIdentifier(handle, "QELIDFIELD"));
    // A field that does not exist leaves the 4-byte value as it was: 0.
    EXPECT_EQ(0, database_.GetFieldInteger(handle, "No Such Field"));
    EXPECT_TRUE(database_.GetFieldText(handle, "No Such Field").isEmpty());
    EXPECT_TRUE(database_.GetFieldDecimal(handle, "No Such Field").isEmpty());
}

TEST_F(HostDatabaseTest, IntegerValueIsWhatTheHostLeftWhateverTheAnswer) {
    HostContext context = *request_.context();
    context.databaseCallback = [](uintptr_t, uint32_t selector, void *, void *, void *, void *a4, void *,
                                  void *a6) -> int32_t {
        if (selector == QEL_DATABASE_GET_FIELD_VALUE)
            *static_cast<int32_t *>(a4) = 42;
        else if (a6 != nullptr)
            *static_cast<uint32_t *>(a6) = 9;  // a count written beside a failure is not taken
        return static_cast<int32_t>(QEL_RESULT_NOT_FOUND);
    };
    QELHostDatabase database(context);
    EXPECT_EQ(42, database.GetFieldInteger(1, "Attempts"));
    EXPECT_EQ(0u, database.GetFieldCount(1));  // counts are 0 when the host fails
    EXPECT_EQ(0u, database.GetSelectedRecordCount(1));
}

TEST_F(HostDatabaseTest, SelectionCursorAndDeletion) {
    uint32_t handle = Open("__QELDB__SendMail_Log__");
    database_.AddField(handle, "Message ID", 0x01010100u);
    database_.AddField(handle, "Status", 0x01010100u);
    const char *statuses[] = {"F", "S", "F", "F"};
    for (int i = 0; i < 4; ++i) {
        database_.CreateRecord(handle);
        database_.SetFieldValue(handle, "Message ID", QELString(std::to_string(1000 + i).c_str()));
        database_.SetFieldValue(handle, "Status", statuses[i]);
        ASSERT_EQ(0, database_.AddRecord(handle));
    }
    ASSERT_EQ(0, database_.SelectRecords(handle, "Status = 'F'"));
    EXPECT_EQ(3u, database_.GetSelectedRecordCount(handle));
    ASSERT_EQ(0, database_.MoveToFirstRecord(handle));
    EXPECT_EQ("1000", Text(database_.GetFieldText(handle, "Message ID")));
    ASSERT_EQ(0, database_.MoveByRecords(handle, 2));
    EXPECT_EQ("1003", Text(database_.GetFieldText(handle, "Message ID")));
    EXPECT_NE(0, database_.MoveToNextRecord(handle));

    uint32_t id = database_.GetFieldIdentifier(handle, "QELIDFIELD");
    ASSERT_EQ(0, database_.DeleteRecord(handle, id));
    database_.SelectRecords(handle, "Status = 'F'");
    EXPECT_EQ(2u, database_.GetSelectedRecordCount(handle));
    EXPECT_NE(0, database_.MoveToRecord(handle, id));
    ASSERT_EQ(0, database_.SelectRecords(handle, ""));
    EXPECT_EQ(3u, database_.GetSelectedRecordCount(handle));
}

TEST_F(HostDatabaseTest, RepeatedUniqueValueIsRefusedAndNothingStored) {
    uint32_t handle = Open("Mail");
    database_.AddField(handle, "Unique ID", QEL_FIELD_UNIQUE_TEXT);
    database_.CreateRecord(handle);
    database_.SetFieldValue(handle, "Unique ID", "uid-1");
    ASSERT_EQ(0, database_.AddRecord(handle));
    database_.CreateRecord(handle);
    database_.SetFieldValue(handle, "Unique ID", "uid-1");
    EXPECT_NE(0, database_.AddRecord(handle));
    database_.SelectRecords(handle, "");
    EXPECT_EQ(1u, database_.GetSelectedRecordCount(handle));
}

}  // namespace
