// CrashRecoveryTest.cpp: velquor-host whose spool, attachment or data folder is full or
// read-only (a small tmpfs or a read-only mount in a private mount namespace), and
// velquor-host killed at seeded moments while deliveries fail and while qelPOP fetches: no
// message lost, nothing half stored, and what a kill leaves behind counted and kept.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/HostProcess.h"
#include "host/POP3ServerProcess.h"
#include "host/TempFolder.h"
#include "host/lib/DatabaseStore.h"
#include "module/HostInterface.h"
#include "net/ScriptedServer.h"
#include "net/SMTPDialogue.h"
#include "tags/StoredRecords.h"

using velquor::host::DatabaseStore;
using velquor::host::FieldValue;
using velquor::host::test::HostProcess;
using velquor::host::test::POP3ServerProcess;
using velquor::host::test::RawClient;
using velquor::host::test::TempFolder;
using velquor::host::test::readWholeFile;
using velquor::host::test::writeWholeFile;

namespace {

using Record = StoredRecord;
using Clock = std::chrono::steady_clock;

// Every wait for the host's background work ends after this (sanitizers make it slow).
constexpr std::chrono::seconds kPatience(90);
const char kSpoolEnd[] = "\r\n.\r\n";

bool EndsWith(const std::string &text, const std::string &end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The words that start velquor-host in a private mount namespace after the shell commands
// `mounts` have run there (they see the folder names as the host will).
std::vector<std::string> Launcher(const std::string &mounts) {
    return {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", mounts + " && exec \"$@\"", "sh"};
}

// Whether this machine lets the tests mount a tmpfs in a private namespace (root and
// unshare are needed); why not in *why.
bool MountsPossible(std::string *why) {
    TempFolder probe;
    const std::string command = "/usr/bin/unshare -m --propagation private /bin/sh -c 'mount -t tmpfs -o size=4k "
                                "tmpfs " + probe.path() + "' >/dev/null 2>&1";
    if (access("/usr/bin/unshare", X_OK) != 0) {
        *why = "/usr/bin/unshare is missing";
        return false;
    }
    if (std::system(command.c_str()) != 0) {
        *why = "a tmpfs cannot be mounted in a private mount namespace (not root?)";
        return false;
    }
    return true;
}

// A test that cannot build its fault situation fails in CI and is skipped elsewhere.
#define REQUIRE_PRIVATE_MOUNTS()                                                                    \
    do {                                                                                            \
        std::string why;                                                                            \
        if (!MountsPossible(&why)) {                                                                \
            if (std::getenv("VELQUOR_CI") != nullptr)                                               \
                FAIL() << "no disk fault can be made: " << why;                                     \
            GTEST_SKIP() << "no disk fault can be made: " << why;                                   \
        }                                                                                           \
    } while (0)

// Shell words that mount a tmpfs of 4 KB over folder and fill it to the last byte.
std::string FullTmpfs(const std::string &folder) {
    return "mount -t tmpfs -o size=4k tmpfs " + folder + " && (head -c 8192 /dev/zero > " + folder +
           "/fill 2>/dev/null; true)";
}
// Shell words that make folder read-only (a read-only bind mount of itself).
std::string ReadOnly(const std::string &folder) {
    return "mount --bind " + folder + " " + folder + " && mount -o remount,bind,ro " + folder;
}

// An SMTP server's side of one dialogue that refuses the recipient.
void Refusal(ScriptedServer::Script &script) {
    SMTPDialogue(script, "550 no such user");
}

// The spool folder's files: "msg" files and unfinished temporary ones.
struct SpoolListing {
    std::set<std::string> messages, temporaries;
};
SpoolListing ListSpool(const std::string &folder) {
    SpoolListing listing;
    std::error_code ignored;
    for (auto it = std::filesystem::directory_iterator(folder, ignored); it != std::filesystem::directory_iterator();
         ++it) {
        const std::string name = it->path().filename().string();
        if (name.rfind("msg", 0) == 0)
            listing.messages.insert(name);
        else if (name.rfind("spool", 0) == 0 && EndsWith(name, ".tmp"))
            listing.temporaries.insert(name);
    }
    return listing;
}

class CrashRecoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = std::getenv("VELQUOR_MODULE") != nullptr ? std::getenv("VELQUOR_MODULE") : "";
        if (HostProcess::binary().empty() || module_.empty())
            GTEST_SKIP() << "velquor-host or libvelquor.so is not built";
        std::filesystem::create_directories(folder_ / "site/mail/files");
        std::filesystem::create_directories(data_ + "/FM");
        writeWholeFile(folder_ / "site/mail/admin.html", "<html><body><qelSendMail mode=\"admin\" /></body></html>\n");
    }
    void TearDown() override {
        if (host_ && host_->running()) {
            EXPECT_EQ(host_->stop(), std::optional<int>(0)) << readWholeFile(folder_ / "host.err");
        }
    }

    // Starts velquor-host on the site and data folders, through the launcher when given.
    void StartHost(const std::vector<std::string> &launcher = {}) {
        host_ = std::make_unique<HostProcess>();
        host_->setLauncher(launcher);
        std::string error;
        ASSERT_TRUE(host_->start({"--site", folder_ / "site", "--data", data_, "--listen", "127.0.0.1:0", "--module",
                                  module_},
                                 {}, folder_ / "host.err", &error))
            << error;
    }

    // The whole response to GET /mail/<name>.
    std::string Get(const std::string &name) {
        RawClient client;
        if (!client.connect(host_->port()))
            return "";
        client.send("GET /mail/" + name + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        return client.receive(std::chrono::seconds(90));
    }

    // /mail/send.html: one qelSendMail to the SMTP server.
    void SendPage(const ScriptedServer &smtp) {
        writeWholeFile(folder_ / "site/mail/send.html",
                       "<html><body><qelSendMail mailServer=\"" + smtp.hostAndPort() +
                           "\" from=\"site@site.test\" to=\"to@x.test\" subject=\"Crash\">Line one\n.\nlast"
                           "</qelSendMail>sent</body></html>\n");
    }

    // The records of a database of the host (the failed-mail log by default), read from
    // its SQLite file at path (the data folder's by default).
    std::vector<Record> Records(const std::string &database = "__QELDB__SendMail_Log__",
                                const std::vector<std::string> &fields = {"Message ID", "Info"},
                                std::string path = "") {
        return StoredRecords(path.empty() ? data_ + "/velquor.sqlite" : path, database, fields);
    }

    // Waits (bounded) until the host's log holds text; the log from `from` on.
    std::string AwaitLog(const std::string &text, size_t from = 0) {
        std::string log;
        for (Clock::time_point end = Clock::now() + kPatience; Clock::now() < end;) {
            log = readWholeFile(data_ + "/velquor.log");
            log = log.size() > from ? log.substr(from) : std::string();
            if (log.find(text) != std::string::npos)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return log;
    }

    TempFolder folder_;
    std::string data_ = folder_ / "data";
    std::string module_;
    std::unique_ptr<HostProcess> host_;
};

// A spool folder that is full or read-only keeps nothing, and the failure post says so
// beside the server's refusal; the host log carries it, since no record can name a file.
TEST_F(CrashRecoveryTest, AFullOrReadOnlySpoolFolderIsNamedInTheFailurePost) {
    REQUIRE_PRIVATE_MOUNTS();
    const std::string spool = data_ + "/FM";
    struct Case {
        std::string name, mounts, cause;
    } cases[] = {
        {"full", FullTmpfs(spool), "the spool file in " + spool + "/ could not be written"},
        {"read-only tmpfs", "mount -t tmpfs -o ro,size=64k tmpfs " + spool, "no spool file could be created in " + spool + "/"},
        {"read-only bind", ReadOnly(spool), "no spool file could be created in " + spool + "/"},
    };
    for (const Case &c : cases) {
        StartHost(Launcher(c.mounts));
        ScriptedServer smtp;
        Refusal(smtp.connection());
        smtp.start();
        SendPage(smtp);
        const size_t logStart = readWholeFile(data_ + "/velquor.log").size();
        EXPECT_NE(std::string::npos, Get("send.html").find("sent")) << c.name;
        const std::string log = AwaitLog("the message was not kept", logStart);
        EXPECT_NE(std::string::npos, log.find("550- Mailbox Unavailable; the message was not kept: " + c.cause))
            << c.name << "\n"
            << log;
        // The host's view of the folder: nothing but the filler.
        const SpoolListing listing = ListSpool("/proc/" + std::to_string(host_->pid()) + "/root" + spool);
        EXPECT_TRUE(listing.messages.empty() && listing.temporaries.empty()) << c.name;
        EXPECT_TRUE(Records().empty()) << c.name;
        EXPECT_EQ(host_->stop(), std::optional<int>(0)) << readWholeFile(folder_ / "host.err");
    }
}

// A form-data message with one uploaded file of `size` bytes, told apart by its subject.
std::string Upload(const std::string &subject, size_t size) {
    return "From: form@x.test\r\nSubject: " + subject +
           "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/form-data; boundary=\"XYZ\"\r\n\r\n"
           "--XYZ\r\nContent-Type: text/plain\r\n\r\nA file is attached.\r\n"
           "--XYZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"r.txt\"\r\n"
           "Content-Type: text/plain\r\n\r\n" +
           std::string(size, 'u') + "\r\n--XYZ--\r\n";
}

// The same against the private Dovecot: qelPOP pages that fetch and delete on the server.
class POPCrashRecoveryTest : public CrashRecoveryTest {
protected:
    void SetUp() override {
        CrashRecoveryTest::SetUp();
        if (IsSkipped())
            return;
        if (!POP3ServerProcess::available())
            GTEST_SKIP() << "Dovecot is not installed (dovecot-core, dovecot-pop3d)";
        std::string error;
        ASSERT_TRUE(pop3_.start(folder_ / "dovecot", 0, {"--user", "demo:demo"}, folder_ / "pop3.err", &error))
            << error;
        writeWholeFile(folder_ / "site/mail/pop.html",
                       "<html><body><qelPOP mailServer=\"" + pop3_.hostAndPort() +
                           "\" username=\"demo\" password=\"demo\" databaseName=\"Inbox\" "
                           "resultVariableName=\"inbox\" attachmentFolderLocation=\"files\" "
                           "deleteMessagesOnServer=\"yes\">count=[{{var:inbox_ResultCount}}]</body></html>\n");
    }
    void TearDown() override {
        CrashRecoveryTest::TearDown();
        if (pop3_.pid() > 0) {
            EXPECT_EQ(pop3_.stop(), std::optional<int>(0)) << readWholeFile(folder_ / "pop3.err");
        }
    }

    void Deliver(const std::string &message) {
        std::string error;
        ASSERT_TRUE(pop3_.deliver("demo", message, &error)) << error;
    }

    // The count a fetch page shows; "(none)" when it shows none.
    std::string Fetch() {
        const std::string response = Get("pop.html");
        size_t start = response.find("count=[");
        size_t end = start == std::string::npos ? start : response.find(']', start);
        return end == std::string::npos ? "(none)" : response.substr(start + 7, end - start - 7);
    }


    // The Inbox records of the SQLite file at path: Unique ID, Subject and Header. The file
    // is read from a copy (with its write-ahead log): SQLite would follow /proc/PID/root to the
    // test's own view of the folder.
    std::vector<Record> Inbox(const std::string &path) {
        const std::string copy = folder_ / "inbox-copy.sqlite";
        std::error_code ignored;
        for (const char *suffix : {"", "-wal"}) {
            std::filesystem::remove(copy + suffix, ignored);
            std::filesystem::copy_file(path + suffix, copy + suffix, ignored);
        }
        return Records("Inbox", {"Unique ID", "Subject", "Header"}, copy);
    }

    POP3ServerProcess pop3_;
};

// A message whose uploaded file finds no room, or whose record the database refuses (its
// disk full), stays on the server, unrecorded and uncounted; once there is room again the
// next fetch stores it in full and only then deletes it on the server.
TEST_F(POPCrashRecoveryTest, AFullAttachmentOrDataFolderLeavesTheMessageOnTheServer) {
    REQUIRE_PRIVATE_MOUNTS();
    const std::string files = folder_ / "site/mail/files";
    struct Case {
        std::string name, mounts, filled;  // filled: a folder the test fills once the host runs
    } cases[] = {
        {"attachment folder full", FullTmpfs(files), ""},
        {"data folder full", "mount -t tmpfs -o size=4m,mode=0700 tmpfs " + data_, data_},
    };
    int round = 0;
    for (const Case &c : cases) {
        StartHost(Launcher(c.mounts));
        const std::string root = "/proc/" + std::to_string(host_->pid()) + "/root";
        EXPECT_EQ("0", Fetch()) << c.name;  // lays the database out
        std::string filler;
        if (!c.filled.empty()) {
            filler = root + c.filled + "/fill";
            int descriptor = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            ASSERT_GE(descriptor, 0) << filler;
            const std::string block(65536, 'f');
            size_t written = 0;
            for (ssize_t n; (n = write(descriptor, block.data(), block.size())) > 0;)
                written += static_cast<size_t>(n);
            close(descriptor);
            ASSERT_GT(written, 0u);
        }
        const std::string subject = "Upload " + std::to_string(++round);
        Deliver(Upload(subject, 20000));
        ASSERT_EQ(1u, pop3_.maildirCount("demo"));
        EXPECT_EQ("0", Fetch()) << c.name;
        EXPECT_EQ(1u, pop3_.maildirCount("demo")) << c.name;
        // The host's view of its data folder (a tmpfs of its own in the second case).
        const std::string database = (c.filled.empty() ? "" : root) + data_ + "/velquor.sqlite";
        for (const Record &record : Inbox(database))
            EXPECT_EQ("", record.at("Header")) << c.name << ": a record of " << record.at("Subject");
        // Room again: the message arrives whole, then leaves the server.
        if (!filler.empty()) {
            ASSERT_EQ(0, unlink(filler.c_str()));
        } else {
            EXPECT_EQ(host_->stop(), std::optional<int>(0)) << readWholeFile(folder_ / "host.err");
            StartHost();
        }
        EXPECT_EQ("1", Fetch()) << c.name;
        EXPECT_EQ(0u, pop3_.maildirCount("demo")) << c.name;
        const std::vector<Record> stored = Inbox(database);
        ASSERT_EQ(1u, stored.size()) << c.name;
        EXPECT_EQ(subject, stored[0].at("Subject"));
        EXPECT_NE("", stored[0].at("Header"));
        EXPECT_EQ(host_->stop(), std::optional<int>(0)) << readWholeFile(folder_ / "host.err");
        std::error_code ignored;
        std::filesystem::remove(data_ + "/velquor.sqlite", ignored);
    }
}

// The ten kill moments, in milliseconds after the work begins: a fixed seed picks each as a
// share of `whole`, the time the same work took uninterrupted on this machine (so that the
// moments fall within it, with or without the sanitizers).
std::vector<int> KillDelays(Clock::duration whole) {
    const double milliseconds = std::chrono::duration<double, std::milli>(whole).count();
    std::mt19937 random(14);
    std::uniform_real_distribution<double> share(0.0, 1.0);
    std::vector<int> delays;
    for (int i = 0; i < 10; ++i)
        delays.push_back(static_cast<int>(share(random) * milliseconds));
    return delays;
}

// velquor-host killed at ten seeded moments while a burst of deliveries fails, then started
// again: every failed-mail record names a complete spool file, no "msg" file is partial,
// what the kill left (spool files no record names, temporary files of jobs that were
// running) is kept and shown on the failed-mail page, and a new failure is logged as usual.
TEST_F(CrashRecoveryTest, AKillDuringFailingDeliveriesLeavesEveryRecordItsCompleteSpoolFile) {
    constexpr int kBurst = 8;
    // The burst once without a kill: how long until every failure is recorded.
    Clock::duration whole;
    {
        StartHost();
        ScriptedServer smtp;
        for (int i = 0; i < kBurst; ++i)
            Refusal(smtp.connection());
        smtp.start();
        SendPage(smtp);
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < kBurst; ++i)
            EXPECT_NE(std::string::npos, Get("send.html").find("sent"));
        for (Clock::time_point end = start + kPatience; Clock::now() < end && Records().size() < kBurst;)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        whole = Clock::now() - start;
        ASSERT_EQ(static_cast<size_t>(kBurst), Records().size());
        EXPECT_EQ(host_->stop(), std::optional<int>(0)) << readWholeFile(folder_ / "host.err");
    }
    std::printf("deliveries: the burst took %lld ms uninterrupted\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(whole).count()));
    int run = 0;
    for (int delay : KillDelays(whole)) {
        ++run;
        std::error_code ignored;
        std::filesystem::remove_all(data_, ignored);
        std::filesystem::create_directories(data_ + "/FM");
        StartHost();
        ScriptedServer smtp;
        for (int i = 0; i < kBurst; ++i)
            Refusal(smtp.connection());
        smtp.start();
        SendPage(smtp);
        int answered = 0;
        std::thread burst([&] {
            for (int i = 0; i < kBurst; ++i)
                if (Get("send.html").find("sent") != std::string::npos)
                    ++answered;
        });
        // The seeded moment of the kill (the experiment's variable, not a synchronisation).
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        host_->signal(SIGKILL);
        EXPECT_TRUE(host_->waitForExit(std::chrono::seconds(30)).has_value());
        burst.join();

        const std::vector<Record> records = Records();
        const SpoolListing spool = ListSpool(data_ + "/FM");
        std::set<std::string> named;
        for (const Record &record : records) {
            const std::string name = "msg" + record.at("Message ID");
            named.insert(name);
            EXPECT_TRUE(EndsWith(readWholeFile(data_ + "/FM/" + name), kSpoolEnd)) << "run " << run << ": " << name;
        }
        for (const std::string &name : spool.messages)
            EXPECT_TRUE(EndsWith(readWholeFile(data_ + "/FM/" + name), kSpoolEnd)) << "run " << run << ": " << name;
        size_t orphans = 0, completeTemporaries = 0;
        for (const std::string &name : spool.messages)
            orphans += named.count(name) == 0 ? 1 : 0;
        for (const std::string &name : spool.temporaries)
            completeTemporaries += EndsWith(readWholeFile(data_ + "/FM/" + name), kSpoolEnd) ? 1 : 0;
        EXPECT_EQ(records.size(), named.size()) << "run " << run << ": two records name one file";
        EXPECT_LE(records.size() + orphans + spool.temporaries.size(), static_cast<size_t>(kBurst));
        std::printf("deliveries run %d: kill after %d ms, %d of %d requests answered, %zu records, %zu orphan spool "
                    "files, %zu jobs running at the kill (unfinished spool files, %zu complete)\n",
                    run, delay, answered, kBurst, records.size(), orphans, spool.temporaries.size(),
                    completeTemporaries);

        // Started again: the page counts what the kill left, and nothing of it goes.
        StartHost();
        const std::string admin = Get("admin.html");
        if (orphans + spool.temporaries.size() != 0) {
            const std::string figure = "holds " + std::to_string(orphans) + " message file" +
                                       (orphans == 1 ? "" : "s") + " that no failed-mail record names and " +
                                       std::to_string(spool.temporaries.size()) + " unfinished spool file";
            EXPECT_NE(std::string::npos, admin.find(figure)) << "run " << run << "\n" << admin;
        } else {
            EXPECT_EQ(std::string::npos, admin.find("The spool folder holds")) << "run " << run;
        }
        const SpoolListing after = ListSpool(data_ + "/FM");
        EXPECT_EQ(spool.messages, after.messages) << "run " << run;
        EXPECT_EQ(spool.temporaries, after.temporaries) << "run " << run;
        // New work: one more refused message ends as a record of its own.
        ScriptedServer again;
        Refusal(again.connection());
        again.start();
        SendPage(again);
        EXPECT_NE(std::string::npos, Get("send.html").find("sent"));
        size_t now = 0;
        for (Clock::time_point end = Clock::now() + kPatience; Clock::now() < end && now <= records.size();) {
            now = Records().size();
            if (now <= records.size())
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(records.size() + 1, now) << "run " << run;
        EXPECT_EQ(host_->stop(), std::optional<int>(0)) << readWholeFile(folder_ / "host.err");
    }
}

// The subjects of the messages in a Maildir (new and seen).
std::set<std::string> MaildirSubjects(const std::string &maildir) {
    std::set<std::string> subjects;
    for (const char *part : {"/new", "/cur"}) {
        std::error_code ignored;
        for (auto it = std::filesystem::directory_iterator(maildir + part, ignored);
             it != std::filesystem::directory_iterator(); ++it) {
            const std::string text = readWholeFile(it->path().string());
            size_t at = text.find("Subject: ");
            if (at != std::string::npos)
                subjects.insert(text.substr(at + 9, text.find("\r\n", at) - at - 9));
        }
    }
    return subjects;
}

// velquor-host killed at ten seeded moments while qelPOP fetches and deletes, then started
// again: no message has left the Maildir without its complete record; records that only
// reserve a message are counted (the log of the next fetch names them) and kept; the next
// fetch stores every other message.
TEST_F(POPCrashRecoveryTest, AKillDuringAFetchLeavesNoMessageGoneWithoutItsRecord) {
    constexpr int kMessages = 10;
    // A fresh database and the run's messages in the Maildir.
    auto prepare = [&](int run) {
        std::error_code ignored;
        for (const char *suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(data_ + "/velquor.sqlite" + suffix, ignored);
        for (const char *part : {"/new", "/cur"})
            for (auto it = std::filesystem::directory_iterator(pop3_.maildir("demo") + part, ignored);
                 it != std::filesystem::directory_iterator(); ++it)
                std::filesystem::remove(it->path(), ignored);
        std::set<std::string> subjects;
        for (int i = 0; i < kMessages; ++i) {
            const std::string subject = "Run " + std::to_string(run) + " message " + std::to_string(i);
            Deliver(Upload(subject, 3000 + 500 * i));
            subjects.insert(subject);
        }
        return subjects;
    };
    // The fetch once without a kill.
    prepare(0);
    StartHost();
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(std::to_string(kMessages), Fetch());
    const Clock::duration whole = Clock::now() - start;
    EXPECT_EQ(host_->stop(), std::optional<int>(0)) << readWholeFile(folder_ / "host.err");
    std::printf("fetch: %d messages took %lld ms uninterrupted\n", kMessages,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(whole).count()));
    int run = 0;
    for (int delay : KillDelays(whole)) {
        ++run;
        const std::set<std::string> delivered = prepare(run);
        StartHost();
        std::string shown;
        std::thread fetch([&] { shown = Fetch(); });
        // The seeded moment of the kill (the experiment's variable, not a synchronisation).
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        host_->signal(SIGKILL);
        EXPECT_TRUE(host_->waitForExit(std::chrono::seconds(30)).has_value());
        fetch.join();

        const std::set<std::string> onServer = MaildirSubjects(pop3_.maildir("demo"));
        std::set<std::string> complete;
        size_t reservations = 0, storedNotDeleted = 0;
        for (const Record &record : Inbox(data_ + "/velquor.sqlite")) {
            if (record.at("Header").empty()) {
                ++reservations;
                continue;
            }
            complete.insert(record.at("Subject"));
            storedNotDeleted += onServer.count(record.at("Subject"));
        }
        for (const std::string &subject : delivered)
            EXPECT_TRUE(onServer.count(subject) != 0 || complete.count(subject) != 0)
                << "run " << run << ": " << subject << " left the server without its record";
        std::printf("fetch run %d: kill after %d ms (page showed %s), %zu of %d stored, %zu of them still on the "
                    "server, %zu empty reservation records\n",
                    run, delay, shown.empty() ? "nothing" : shown.c_str(), complete.size(), kMessages,
                    storedNotDeleted, reservations);

        // Started again: the next fetch names the reservations, keeps them, and stores every
        // other message still on the server. (Dovecot may still be carrying out the killed
        // session's deletions meanwhile, so the server's side is judged after the fetch.)
        StartHost();
        const size_t logStart = readWholeFile(data_ + "/velquor.log").size();
        const std::string count = Fetch();
        const std::string log = readWholeFile(data_ + "/velquor.log").substr(logStart);
        const std::string named = std::to_string(reservations) + (reservations == 1 ? " record reserves" : " records reserve");
        EXPECT_EQ(reservations != 0, log.find("qelPOP: " + named) != std::string::npos) << "run " << run << "\n" << log;
        std::set<std::string> completeNow;
        size_t reservationsNow = 0;
        for (const Record &record : Inbox(data_ + "/velquor.sqlite")) {
            if (record.at("Header").empty())
                ++reservationsNow;
            else
                EXPECT_TRUE(completeNow.insert(record.at("Subject")).second) << "run " << run << ": stored twice";
        }
        EXPECT_EQ(reservations, reservationsNow) << "run " << run;
        EXPECT_EQ(std::to_string(completeNow.size() - complete.size()), count) << "run " << run;
        const std::set<std::string> left = MaildirSubjects(pop3_.maildir("demo"));
        size_t leftUnstored = 0;
        for (const std::string &subject : delivered) {
            if (left.count(subject) == 0)
                EXPECT_EQ(1u, completeNow.count(subject)) << "run " << run << ": " << subject << " lost";
            else if (completeNow.count(subject) == 0)
                ++leftUnstored;
        }
        EXPECT_LE(leftUnstored, reservations) << "run " << run << ": messages left behind without a reservation";
        EXPECT_EQ(host_->stop(), std::optional<int>(0)) << readWholeFile(folder_ / "host.err");
    }
}

}  // namespace
