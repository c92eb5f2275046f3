// POPTagBench.cpp: the qelPOP tag fetching 200 messages of about 20 KB from the
// distribution's Dovecot into an empty database of velquor-host, beside Python's poplib
// and sqlite3 doing the same work, with each side's share of time spent in its database;
// and the tag passing over a mailbox of 100,000 messages all stored before.
#include <benchmark/benchmark.h>

#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host/HostProcess.h"
#include "host/POP3ServerProcess.h"
#include "host/lib/DatabaseStore.h"
#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "host/lib/PreferenceStore.h"
#include "host/lib/SqliteConnection.h"
#include "module/HostInterface.h"
#include "net/ScriptedServer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using velquor::host::test::HostProcess;
using velquor::host::test::POP3ServerProcess;
using velquor::host::test::RawClient;
using velquor::host::test::rawStatus;
using velquor::host::test::readWholeFile;
using velquor::host::test::writeWholeFile;

constexpr int kMessages = 200;
constexpr size_t kMessageBytes = 20 * 1024;
const char kUser[] = "bench";
const char kPassword[] = "bench-password";
const char kPython[] = "/usr/bin/python3";
// The longest a page or a Python run may take before the benchmark gives up on it.
constexpr std::chrono::seconds kRequestLimit(300);

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// Message `index` of the mailbox: ordinary header lines and a plain text of lines of about
// 70 characters, about kMessageBytes in all, different for every message.
std::string MessageText(int index) {
    static const char *const kWords[] = {"mail",  "server", "message", "record", "page",   "host",
                                         "field", "text",   "letter",  "reply",  "number", "store",
                                         "the",   "of",     "and",     "a",      "to",     "in"};
    const std::string number = std::to_string(index);
    std::string text = "Return-Path: <sender" + number + "@example.test>\n"
                       "From: Sender " + number + " <sender" + number + "@example.test>\n"
                       "To: Bench Reader <bench@site.test>\n"
                       "Subject: Benchmark message " + number + " of " + std::to_string(kMessages) + "\n"
                       "Date: Mon, 04 Mar 2024 10:" + std::to_string(10 + index % 50) + ":00 +0000\n"
                       "Message-ID: <bench-" + number + "@example.test>\n"
                       "MIME-Version: 1.0\n"
                       "Content-Type: text/plain; charset=us-ascii\n\n";
    unsigned state = 2166136261u ^ static_cast<unsigned>(index);
    std::string line;
    while (text.size() < kMessageBytes) {
        state = state * 1103515245u + 12345u;
        const char *word = kWords[(state >> 16) % (sizeof kWords / sizeof kWords[0])];
        if (line.size() + 1 + std::char_traits<char>::length(word) > 70) {
            text += line + ".\n";
            line.clear();
        }
        line += line.empty() ? std::string(1, static_cast<char>(word[0] - 'a' + 'A')) + (word + 1) : " " + std::string(word);
    }
    return text;
}

// The end of a log, short enough for an error line.
std::string Tail(const std::string &text) { return text.size() > 2000 ? text.substr(text.size() - 2000) : text; }

// Reads PRAGMA name on a connection that the host's own connection code opened.
std::string Pragma(velquor::host::SqliteConnection &connection, const std::string &name) {
    velquor::host::SqliteStatement statement = connection.prepare("PRAGMA " + name);
    return statement.step() == SQLITE_ROW ? statement.text(0) : "";
}

// The servers of the whole run: Dovecot holding the messages, velquor-host on a small
// site whose page fetches them into the database its form field names.
struct Setup {
    Setup() {
        failure = prepare();
    }
    ~Setup() {
        host.stop();
        pop3.stop();
        std::error_code ignored;
        if (!folder.empty())
            fs::remove_all(folder, ignored);
    }

    std::string prepare() {
        if (!POP3ServerProcess::available())
            return "Dovecot (/usr/sbin/dovecot) is not installed: install dovecot-core and dovecot-pop3d";
        if (access(kPython, X_OK) != 0)
            return std::string(kPython) + " is missing: install python3";
        setenv("VELQUOR_SOURCE_DIR", VELQUOR_BENCH_SOURCE_DIR, 0);
        setenv("VELQUOR_HOST_BINARY", VELQUOR_BENCH_HOST_BINARY, 0);
        char pattern[] = "/tmp/velquor-popbench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return "no temporary folder";
        folder = fs::canonical(pattern).string();

        std::vector<std::string> arguments = {"--user", std::string(kUser) + ":" + kPassword};
        for (int i = 1; i <= kMessages; ++i) {
            std::string file = folder + "/messages/" + std::to_string(i) + ".eml";
            writeWholeFile(file, MessageText(i));
            arguments.push_back("--message");
            arguments.push_back(std::string(kUser) + "=" + file);
        }
        std::string error;
        if (!pop3.start(folder + "/pop3", 0, arguments, folder + "/pop3.log", &error))
            return error;

        site = folder + "/site";
        fs::create_directories(site + "/files");
        writeWholeFile(site + "/pop.html",
                       "<html><body>\n<qelPOP username=\"" + std::string(kUser) + "\" password=\"" + kPassword +
                           "\" mailServer=\"" + pop3.hostAndPort() +
                           "\" databaseName=\"{{form:db}}\" resultVariableName=\"r\" attachmentFolderLocation=\"files\">\n"
                           "<p>fetched [{{var:r_ResultCount}}]</p>\n</body></html>\n");
        if (!host.start({"--site", site, "--data", folder + "/data", "--listen", "127.0.0.1:0", "--module",
                         VELQUOR_BENCH_MODULE},
                        {}, folder + "/host.log", &error))
            return error;

        // The host's database file as its own connection code opens it: write-ahead logging
        // is kept in the file; synchronous is the connection's, which the host leaves as is.
        velquor::host::SqliteConnection connection;
        if (!connection.open(folder + "/data/velquor.sqlite", 5000, &error))
            return error;
        hostJournal = Pragma(connection, "journal_mode");
        hostSynchronous = Pragma(connection, "synchronous");
        if (hostJournal.empty() || hostSynchronous.empty())
            return "the modes of the host's database file could not be read: " + connection.lastError();

        // Dovecot indexes the mailbox at its first session: not part of any side's time.
        std::vector<double> totals, databaseShares;
        std::string warmUp = RunPython(1, false, &totals, &databaseShares);
        return warmUp;
    }

    // Runs the Python fetch `runs` times; each run's seconds and database seconds. The
    // reason when a run did not store every message (modes read back go to pythonModes).
    std::string RunPython(int runs, bool database, std::vector<double> *totals, std::vector<double> *databases) {
        std::string command = std::string(kPython) + " " + VELQUOR_BENCH_SOURCE_DIR + "/bench/poplib-fetch.py" +
                              " --port " + std::to_string(pop3.port()) + " --user " + kUser + " --password " +
                              kPassword + " --folder " + folder + " --runs " + std::to_string(runs) +
                              " --synchronous " + hostSynchronous +
                              (database ? "" : " --no-database") + " 2>>" + folder + "/python.log";
        FILE *pipe = popen(command.c_str(), "r");
        if (pipe == nullptr)
            return "the Python fetch could not be started";
        char line[256];
        while (std::fgets(line, sizeof line, pipe) != nullptr) {
            std::istringstream words(line);
            std::string kind;
            words >> kind;
            if (kind == "modes") {
                std::string journal, synchronous;
                words >> journal >> synchronous;
                if (database)
                    pythonModes = "journal_mode=" + journal + " synchronous=" + synchronous;
            } else if (kind == "run") {
                double seconds = 0, databaseSeconds = 0;
                int stored = 0;
                words >> seconds >> databaseSeconds >> stored;
                if (stored != kMessages) {
                    pclose(pipe);
                    return "the Python fetch stored " + std::to_string(stored) + " messages, not " +
                           std::to_string(kMessages);
                }
                totals->push_back(seconds);
                databases->push_back(databaseSeconds);
            }
        }
        int status = pclose(pipe);
        if (status != 0 || totals->size() != static_cast<size_t>(runs))
            return "the Python fetch failed: " + Tail(readWholeFile(folder + "/python.log"));
        return "";
    }

    std::string hostModes() const { return "journal_mode=" + hostJournal + " synchronous=" + hostSynchronous; }

    std::string failure;
    std::string folder;
    std::string site;
    POP3ServerProcess pop3;
    HostProcess host;
    std::string hostJournal;
    std::string hostSynchronous;
    std::string pythonModes;
    int fetches = 0;  // database names used so far: every fetch gets a new, empty one
};

Setup &TheSetup() {
    static Setup setup;
    return setup;
}

// The reason a benchmark stops, kept for as long as the benchmark library may read it.
void Fail(benchmark::State &state, const std::string &reason) {
    static std::string kept;
    kept = reason;
    state.SkipWithError(kept.c_str());
}

// velquor-host serving the page over loopback: the request's whole wall time, the page
// checked to report every message fetched.
void BM_VelquorHostPage(benchmark::State &state) {
    Setup &setup = TheSetup();
    if (!setup.failure.empty()) {
        Fail(state, setup.failure);
        return;
    }
    for (auto _ : state) {
        std::string name = "Bench" + std::to_string(++setup.fetches);
        std::string request = "GET /pop.html?db=" + name + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                              std::to_string(setup.host.port()) + "\r\nConnection: close\r\n\r\n";
        Clock::time_point start = Clock::now();
        RawClient client;
        std::string response;
        if (client.connect(setup.host.port()) && client.send(request))
            response = client.receive(kRequestLimit);
        double elapsed = Seconds(Clock::now() - start);
        const std::string expected = "fetched [" + std::to_string(kMessages) + "]";
        if (rawStatus(response) != 200 || response.find(expected) == std::string::npos) {
            Fail(state, "the page did not report " + std::to_string(kMessages) + " messages fetched: " +
                            response.substr(0, 2000) + "\n" + Tail(readWholeFile(setup.folder + "/host.log")));
            break;
        }
        state.SetIterationTime(elapsed);
    }
    state.SetLabel(setup.hostModes());
}
BENCHMARK(BM_VelquorHostPage)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// The host's database service as the module sees it, with the time of every call added up.
HostDatabaseCallback gDatabaseService = nullptr;
std::atomic<int64_t> gDatabaseNanoseconds{0};

int32_t TimedDatabaseService(uintptr_t hostRef, uint32_t selector, void *a1, void *a2, void *a3, void *a4, void *a5,
                             void *a6) {
    Clock::time_point start = Clock::now();
    int32_t result = gDatabaseService(hostRef, selector, a1, a2, a3, a4, a5, a6);
    gDatabaseNanoseconds += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    return result;
}

// The same tag run in this process on the host's own library (its database store on a file
// of its own in the same folder, opened as velquor-host opens it), with every database
// service call timed: db_share is the part of the tag's time spent in those calls.
void BM_VelquorTagDatabaseShare(benchmark::State &state) {
    Setup &setup = TheSetup();
    if (!setup.failure.empty()) {
        Fail(state, setup.failure);
        return;
    }
    static std::unique_ptr<velquor::host::Host> host;
    if (host == nullptr) {
        std::string data = setup.folder + "/in-process";
        fs::create_directories(data);
        std::string file = data + "/velquor.sqlite";
        std::string error;
        std::shared_ptr<velquor::host::PreferenceStore> preferences =
            velquor::host::PreferenceStore::openFile(file, &error);
        std::shared_ptr<velquor::host::DatabaseStore> databases = velquor::host::DatabaseStore::open(file, &error);
        if (preferences == nullptr || databases == nullptr) {
            Fail(state, "the in-process host's store could not be opened: " + error);
            return;
        }
        host = std::make_unique<velquor::host::Host>();
        host->folders().setSiteRoot(setup.site);
        host->folders().setDataRoot(data);
        host->usePreferences(preferences);
        host->useDatabases(databases);
    }
    double total = 0, database = 0;
    for (auto _ : state) {
        velquor::host::HostRequest request(*host, QEL_REQUEST_TAG);
        request.setTagName("qelPOP");
        request.setCGIVariable("SCRIPT_NAME", "/pop.html");
        request.setPageFolder(setup.site);
        request.setRegion("");
        for (const auto &[name, value] : std::vector<std::pair<std::string, std::string>>{
                 {"username", kUser}, {"password", kPassword}, {"mailServer", setup.pop3.hostAndPort()},
                 {"databaseName", "InProcess" + std::to_string(++setup.fetches)}, {"resultVariableName", "r"},
                 {"attachmentFolderLocation", "files"}})
            request.addTagParameter(name, value);
        gDatabaseService = request.context()->databaseCallback;
        request.context()->databaseCallback = TimedDatabaseService;
        gDatabaseNanoseconds = 0;
        Clock::time_point start = Clock::now();
        int32_t result = request.run(ProcessQELRequest);
        double elapsed = Seconds(Clock::now() - start);
        std::string count = request.pageVariable("r_ResultCount").value_or("(none)");
        if (result != 0 || count != std::to_string(kMessages)) {
            Fail(state, "the tag answered " + std::to_string(result) + " and fetched " + count + " messages");
            break;
        }
        state.SetIterationTime(elapsed);
        total += elapsed;
        database += static_cast<double>(gDatabaseNanoseconds.load()) / 1e9;
    }
    if (total > 0) {
        state.counters["db_share"] = database / total;
        state.counters["db_ms"] = benchmark::Counter(database * 1000, benchmark::Counter::kAvgIterations);
    }
    state.SetLabel(setup.hostModes());
}
BENCHMARK(BM_VelquorTagDatabaseShare)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// Python's poplib and sqlite3 (or poplib alone): each run's time measured in Python, from
// opening the new database file to QUIT's answer (the interpreter's start is not counted);
// db_share is the part of it spent in sqlite3 calls.
void PythonFetch(benchmark::State &state, bool withDatabase) {
    Setup &setup = TheSetup();
    if (!setup.failure.empty()) {
        Fail(state, setup.failure);
        return;
    }
    std::vector<double> totals, databases;
    std::string failure = setup.RunPython(static_cast<int>(state.max_iterations), withDatabase, &totals, &databases);
    if (!failure.empty()) {
        Fail(state, failure);
        return;
    }
    size_t next = 0;
    double total = 0, database = 0;
    for (auto _ : state) {
        state.SetIterationTime(totals[next]);
        total += totals[next];
        database += databases[next];
        ++next;
    }
    if (withDatabase) {
        state.counters["db_share"] = database / total;
        state.counters["db_ms"] = benchmark::Counter(database * 1000, benchmark::Counter::kAvgIterations);
        state.SetLabel(setup.pythonModes);
    }
}

void BM_PythonPoplibSqlite(benchmark::State &state) { PythonFetch(state, true); }
void BM_PythonPoplibOnly(benchmark::State &state) { PythonFetch(state, false); }

BENCHMARK(BM_PythonPoplibSqlite)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_PythonPoplibOnly)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// A scripted POP3 server whose UIDL lists 100,000 messages, every one stored in the
// database before (a file opened as velquor-host opens it): the tag in this process
// retrieves nothing and counts 0; the time is the whole tag call.
constexpr int kStoredMessages = 100000;

void BM_VelquorTagStoredMailbox(benchmark::State &state) {
    // The folder goes when the program ends.
    static struct Folder {
        std::string path;
        ~Folder() {
            std::error_code ignored;
            if (!path.empty())
                fs::remove_all(path, ignored);
        }
    } kept;
    std::string &folder = kept.path;
    static std::unique_ptr<velquor::host::Host> host;
    static std::string listing, sizes;
    if (host == nullptr) {
        char pattern[] = "/tmp/velquor-popstored-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            Fail(state, "no temporary folder");
            return;
        }
        folder = fs::canonical(pattern).string();
        fs::create_directories(folder + "/site");
        std::string error;
        const std::string file = folder + "/velquor.sqlite";
        std::shared_ptr<velquor::host::PreferenceStore> preferences =
            velquor::host::PreferenceStore::openFile(file, &error);
        std::shared_ptr<velquor::host::DatabaseStore> databases = velquor::host::DatabaseStore::open(file, &error);
        if (preferences == nullptr || databases == nullptr) {
            Fail(state, "the in-process host's store could not be opened: " + error);
            return;
        }
        host = std::make_unique<velquor::host::Host>();
        host->folders().setSiteRoot(folder + "/site");
        host->folders().setDataRoot(folder);
        host->usePreferences(preferences);
        host->useDatabases(databases);
        listing = sizes = "+OK\r\n";
        for (int i = 1; i <= kStoredMessages; ++i) {
            listing += std::to_string(i) + " stored-" + std::to_string(i) + "\r\n";
            sizes += std::to_string(i) + " 120\r\n";
        }
        listing += ".\r\n";
        sizes += ".\r\n";
    }
    auto fetch = [&](const std::string &uidl, const std::string &list, std::string *dialogue) {
        ScriptedServer server;
        server.connection()
            .send("+OK ready\r\n")
            .receiveUntil("USER bench\r\n")
            .send("+OK\r\n")
            .receiveUntil("PASS secret\r\n")
            .send("+OK\r\n")
            .receiveUntil("UIDL\r\n")
            .send(uidl)
            .receiveUntil("LIST\r\n")
            .send(list)
            .receiveUntil("QUIT\r\n", 300000)  // the whole pass over the database
            .send("+OK bye\r\n");
        server.start();
        velquor::host::HostRequest request(*host, QEL_REQUEST_TAG);
        request.setTagName("qelPOP");
        request.setCGIVariable("SCRIPT_NAME", "/pop.html");
        request.setPageFolder(folder + "/site");
        request.setRegion("");
        for (const auto &[name, value] : std::vector<std::pair<std::string, std::string>>{
                 {"username", "bench"}, {"password", "secret"}, {"mailServer", server.hostAndPort()},
                 {"databaseName", "Stored"}, {"resultVariableName", "r"}, {"deleteMessagesOnServer", "yes"}})
            request.addTagParameter(name, value);
        int32_t result = request.run(ProcessQELRequest);
        server.finish(0);
        *dialogue = server.received(0);
        return result == 0 ? request.pageVariable("r_ResultCount").value_or("(none)") : std::string("(failed)");
    };
    static bool filled = false;
    if (!filled) {
        // An empty mailbox lays the database out; then every message is stored.
        std::string dialogue;
        if (fetch("+OK\r\n.\r\n", "+OK\r\n.\r\n", &dialogue) != "0") {
            Fail(state, "the database could not be laid out");
            return;
        }
        velquor::host::DatabaseStore &store = host->databases();
        uint32_t handle = 0;
        store.openDatabase(9, "Stored", QEL_OPEN_SHARED, &handle);
        for (int i = 1; i <= kStoredMessages; ++i) {
            store.createRecord(9, handle);
            store.setFieldValue(9, handle, "Unique ID",
                                velquor::host::FieldValue::ofText("stored-" + std::to_string(i)));
            store.addRecord(9, handle);
        }
        store.closeAll(9);
        filled = true;
    }
    for (auto _ : state) {
        std::string dialogue;
        Clock::time_point start = Clock::now();
        std::string count = fetch(listing, sizes, &dialogue);
        double elapsed = Seconds(Clock::now() - start);
        if (count != "0" || dialogue.find("RETR") != std::string::npos) {
            Fail(state, "the tag counted " + count + " or retrieved a stored message");
            break;
        }
        state.SetIterationTime(elapsed);
    }
    state.counters["messages"] = kStoredMessages;
}
BENCHMARK(BM_VelquorTagStoredMailbox)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace
