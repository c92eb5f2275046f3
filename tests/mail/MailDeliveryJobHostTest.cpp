// MailDeliveryJobHostTest.cpp: delivery jobs of this process reporting to a real
// velquor-host running libvelquor.so: undelivered mail ends as a spool file in the host's
// data folder "FM" and a record of the failed-mail log, and resends work from there.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "host/HostProcess.h"
#include "host/TempFolder.h"
#include "host/lib/DatabaseStore.h"
#include "mail/EmailMessage.h"
#include "mail/Thread.h"
#include "module/HostInterface.h"
#include "net/NetworkLimits.h"
#include "net/ScriptedServer.h"
#include "net/SMTPDialogue.h"
#include "net/TestResolver.h"
#include "platform/Clock.h"

using velquor::host::DatabaseStore;
using velquor::host::FieldValue;
using velquor::host::test::HostProcess;
using velquor::host::test::TempFolder;
using velquor::host::test::readWholeFile;

namespace {

QELString Q(const std::string &text) { return QELString(text.data(), static_cast<uint32_t>(text.size())); }

using Record = std::map<std::string, std::string>;

// An SMTP server's side of a dialogue that refuses the message text (or takes it).
void Dialogue(ScriptedServer::Script &script, bool accept) {
    SMTPDialogue(script, "250 ok", accept ? "250 queued" : "554 refused");
}

std::string TextOf(const std::string &dialogue) {
    size_t start = dialogue.find("DATA\r\n");
    size_t end = dialogue.find("\r\n.\r\n");
    return start == std::string::npos || end == std::string::npos ? std::string()
                                                                   : dialogue.substr(start + 6, end + 5 - start - 6);
}

class MailDeliveryJobHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char *module = std::getenv("VELQUOR_MODULE");
        if (HostProcess::binary().empty() || module == nullptr)
            GTEST_SKIP() << "velquor-host or libvelquor.so is not built";
        std::filesystem::create_directories(folder_ / "site");
        std::string error;
        ASSERT_TRUE(host_.start({"--site", folder_ / "site", "--data", data_, "--listen", "127.0.0.1:0", "--module",
                                 module},
                                {}, folder_ / "stderr.txt", &error))
            << error;
        ResetNetworkLimits();
        FixWallClock(1709993109);
    }
    void TearDown() override {
        EXPECT_TRUE(QELThread::WaitUntilNoneRuns(20000));
        ReleaseWallClock();
        if (host_.running()) {
            EXPECT_EQ(host_.stop(), std::optional<int>(0)) << readWholeFile(folder_ / "stderr.txt");
        }
    }

    // Runs one job to its end: a new message, or the resend of a spooled one, whose
    // server refuses (or takes) it; answers what the server saw.
    std::string Run(bool accept, const std::string &storedMessageID = std::string(), const char *subject = "Hello") {
        ScriptedServer smtp;
        Dialogue(smtp.connection(), accept);
        smtp.start();
        QELString spool = Q(data_ + "/FM");
        QELString url = Q("http://127.0.0.1:" + std::to_string(host_.port()) + "/SendMail");
        QELEmailMessage message =
            storedMessageID.empty() ? QELEmailMessage(spool, url) : QELEmailMessage(spool, Q(storedMessageID), url);
        message.SetSMTPServer(Q(smtp.hostAndPort()));
        message.SetFrom(QELString("site@site.test"));
        message.AddTo(QELString("to@x.test"));
        message.SetSubject(QELString(subject));
        message.SetBodyHeaders(QELString("Content-Type: text/plain"));
        message.SetBody(QELString("first\r\n.\r\n..x\r\nlast\r\n"));
        EXPECT_TRUE(message.CreateDeliveryJob());
        EXPECT_TRUE(QELThread::WaitUntilNoneRuns(20000));
        smtp.finish();
        return smtp.received(0);
    }

    std::vector<std::string> SpoolFiles() {
        std::vector<std::string> names;
        if (DIR *listing = opendir((data_ + "/FM").c_str())) {
            while (struct dirent *entry = readdir(listing))
                if (entry->d_name[0] != '.')
                    names.push_back(entry->d_name);
            closedir(listing);
        }
        return names;
    }

    // The records of the failed-mail log, read from the host's database file.
    std::vector<Record> Records() {
        std::string error;
        std::shared_ptr<DatabaseStore> store = DatabaseStore::open(data_ + "/velquor.sqlite", &error);
        std::vector<Record> records;
        uint32_t handle = 0, count = 0;
        if (!store || store->openDatabase(1, "__QELDB__SendMail_Log__", QEL_OPEN_SHARED, &handle) != 0)
            return records;
        store->selectRecords(1, handle, "");
        store->selectedCount(1, handle, &count);
        for (uint32_t i = 0; i < count && store->moveToNext(1, handle) == 0; ++i) {
            Record record;
            for (const char *field : {"Message ID", "Status", "Attempts", "Subject", "Info"}) {
                FieldValue value;
                store->getFieldValue(1, handle, field, &value);
                record[field] = value.asText();
            }
            records.push_back(record);
        }
        store->closeAll(1);
        return records;
    }

    TestResolver resolver_;
    TempFolder folder_;
    std::string data_ = folder_ / "data";
    HostProcess host_;
};

TEST_F(MailDeliveryJobHostTest, FailuresAreSpooledAndLoggedAndAResendEndsBoth) {
    const std::string first = Run(false);
    std::vector<std::string> files = SpoolFiles();
    ASSERT_EQ(1u, files.size());
    const std::string id = files[0];
    std::vector<Record> records = Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(id.substr(3), records[0]["Message ID"]);
    EXPECT_EQ("F", records[0]["Status"]);
    EXPECT_EQ("1", records[0]["Attempts"]);
    EXPECT_EQ("554- Transaction Failed", records[0]["Info"]);

    // Failing again: the same file, rewritten, and the count goes up. With the clock
    // fixed and the record unchanged, the text is the first one byte for byte.
    const std::string second = Run(false, id);
    EXPECT_EQ(TextOf(first), TextOf(second));
    EXPECT_NE(std::string::npos, TextOf(second).find("\r\n..\r\n...x\r\n"));
    EXPECT_EQ(std::vector<std::string>{id}, SpoolFiles());
    records = Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("2", records[0]["Attempts"]);

    // Delivered at last: no file, no record.
    const std::string third = Run(true, id);
    EXPECT_EQ(TextOf(first), TextOf(third));
    EXPECT_TRUE(SpoolFiles().empty());
    EXPECT_TRUE(Records().empty());
}

// Two jobs failing in the same instant on a new database: two files, two records.
TEST_F(MailDeliveryJobHostTest, JobsFailingAtOnceKeepAFileAndARecordEach) {
    ScriptedServer one, two;
    Dialogue(one.connection(), false);
    Dialogue(two.connection(), false);
    one.start();
    two.start();
    QELString url = Q("http://127.0.0.1:" + std::to_string(host_.port()) + "/SendMail");
    for (ScriptedServer *smtp : {&one, &two}) {
        QELEmailMessage message(Q(data_ + "/FM"), url);
        message.SetSMTPServer(Q(smtp->hostAndPort()));
        message.SetFrom(QELString("site@site.test"));
        message.AddTo(QELString("to@x.test"));
        message.SetSubject(Q(smtp == &one ? "one" : "two"));
        message.SetBody(QELString("text\r\n"));
        ASSERT_TRUE(message.CreateDeliveryJob());
    }
    ASSERT_TRUE(QELThread::WaitUntilNoneRuns(20000));
    EXPECT_EQ(2u, SpoolFiles().size());
    std::vector<Record> records = Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_NE(records[0]["Message ID"], records[1]["Message ID"]);
}

}  // namespace
