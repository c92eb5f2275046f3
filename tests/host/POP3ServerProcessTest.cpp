// POP3ServerProcessTest.cpp: the private Dovecot launcher (scripts/pop3-server.py): each
// user's Maildir over POP3 with stable unique IDs, no stall after a failed login, refusals
// at start, and stopping by its process id with every Dovecot process.
#include "POP3ServerProcess.h"

#include "HostProcess.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>

namespace velquor::host::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct ProcessState {
    pid_t pid = 0;
    char state = '?';
    pid_t parent = 0;
    pid_t group = 0;
};

// Every process of the system as /proc shows it now.
std::vector<ProcessState> processes() {
    std::vector<ProcessState> all;
    DIR *folder = opendir("/proc");
    while (folder != nullptr) {
        dirent *entry = readdir(folder);
        if (entry == nullptr) {
            break;
        }
        std::string name = entry->d_name;
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream file("/proc/" + name + "/stat");
        std::string line;
        std::getline(file, line);
        size_t close = line.rfind(')');  // the command name may hold anything
        ProcessState process;
        process.pid = std::stoi(name);
        if (close != std::string::npos &&
            std::sscanf(line.c_str() + close + 1, " %c %d %d", &process.state, &process.parent, &process.group) == 3) {
            all.push_back(process);
        }
    }
    if (folder != nullptr) {
        closedir(folder);
    }
    return all;
}

std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> found;
    for (const ProcessState &process : processes()) {
        if (process.parent == parent) {
            found.push_back(process.pid);
        }
    }
    return found;
}

// The processes of a process group that have not ended (a zombie has ended).
std::vector<pid_t> runningInGroup(pid_t group) {
    std::vector<pid_t> found;
    for (const ProcessState &process : processes()) {
        if (process.group == group && process.state != 'Z' && process.state != 'X') {
            found.push_back(process.pid);
        }
    }
    return found;
}

std::string firstWord(const std::string &reply) { return reply.substr(0, reply.find_first_of(" \r")); }

class POP3ServerProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!POP3ServerProcess::available()) {
            GTEST_SKIP() << "Dovecot is not installed (dovecot-core, dovecot-pop3d)";
        }
    }

    std::string errors() const { return readWholeFile(folder_ / "launcher.err"); }

    TempFolder folder_;
};

TEST_F(POP3ServerProcessTest, ServesEachUsersMaildirAndStopsWithEveryDovecotProcess) {
    struct Mode {
        const char *what;
        std::vector<std::string> runAs;
    };
    std::vector<Mode> modes = {{"as this user", {}}};
    if (geteuid() == 0) {
        modes.push_back({"as nobody", {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"}});
    }
    const std::string first = "From: a@example.org\r\nSubject: first\r\n\r\nHello\r\n.a line with a dot\r\n";
    const std::string second = "Subject: second\r\n\r\nAgain\r\n";
    const std::string firstAsSent = "From: a@example.org\r\nSubject: first\r\n\r\nHello\r\n..a line with a dot\r\n.\r\n";
    writeWholeFile(folder_ / "first.eml", first);
    int index = 0;
    for (const Mode &mode : modes) {
        SCOPED_TRACE(mode.what);
        std::string folder = folder_ / ("pop3-" + std::to_string(index++));
        if (!mode.runAs.empty()) {
            // The other user reaches its own folder (and the message file) through the test's.
            ASSERT_EQ(chmod(folder_.path().c_str(), 0711), 0);
            ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
            ASSERT_EQ(chown(folder.c_str(), getpwnam("nobody")->pw_uid, getgrnam("nogroup")->gr_gid), 0);
        }
        POP3ServerProcess server;
        std::string error;
        ASSERT_TRUE(server.start(folder, 0,
                                 {"--user", "demo:demo", "--user", "other:s3cret", "--message",
                                  "demo=" + (folder_ / "first.eml")},
                                 folder_ / "launcher.err", &error, mode.runAs))
            << error;
        ASSERT_TRUE(server.deliver("demo", second, &error)) << error;

        POP3Dialogue refused;
        EXPECT_EQ(firstWord(refused.connect(server.port())), "+OK");
        EXPECT_EQ(firstWord(refused.command("USER demo")), "+OK");
        EXPECT_EQ(firstWord(refused.command("PASS wrong")), "-ERR");

        // Dovecot's penalty for the address would hold this login about 4 s.
        auto begun = Clock::now();
        std::string uniqueIds;
        {
            POP3Dialogue demo;
            EXPECT_EQ(firstWord(demo.connect(server.port())), "+OK");
            EXPECT_EQ(firstWord(demo.command("USER demo")), "+OK");
            EXPECT_EQ(firstWord(demo.command("PASS demo")), "+OK");
            EXPECT_LT(Clock::now() - begun, 2500ms) << "a failed login held the next one back";
            EXPECT_EQ(demo.command("STAT"), "+OK 2 " + std::to_string(first.size() + second.size()) + "\r\n");
            uniqueIds = demo.command("UIDL", true);
            EXPECT_TRUE(std::regex_match(uniqueIds, std::regex("\\+OK[^\r]*\r\n1 [!-~]+\r\n2 [!-~]+\r\n\\.\r\n")))
                << uniqueIds;
            std::set<std::string> texts;
            for (const char *retrieve : {"RETR 1", "RETR 2"}) {
                std::string reply = demo.command(retrieve, true);
                EXPECT_EQ(firstWord(reply), "+OK") << reply;
                texts.insert(reply.substr(reply.find("\r\n") + 2));
            }
            EXPECT_EQ(texts, (std::set<std::string>{firstAsSent, second + ".\r\n"}));
            EXPECT_EQ(firstWord(demo.command("QUIT")), "+OK");
        }
        POP3Dialogue again;
        again.connect(server.port());
        again.command("USER demo");
        EXPECT_EQ(firstWord(again.command("PASS demo")), "+OK");
        EXPECT_EQ(again.command("UIDL", true), uniqueIds) << "unique IDs change between sessions";

        POP3Dialogue other;
        other.connect(server.port());
        other.command("USER other");
        EXPECT_EQ(firstWord(other.command("PASS s3cret")), "+OK");
        EXPECT_EQ(other.command("STAT"), "+OK 0 0\r\n");

        std::vector<pid_t> masters = childrenOf(server.pid());
        ASSERT_EQ(masters.size(), 1u) << "the launcher's one child is Dovecot's master";
        EXPECT_GT(runningInGroup(masters[0]).size(), 1u);
        int port = server.port();
        EXPECT_EQ(server.stop(), std::optional<int>(0)) << errors();
        EXPECT_EQ(runningInGroup(masters[0]), std::vector<pid_t>());
        POP3Dialogue closed;
        EXPECT_EQ(closed.connect(port), "");
    }
}

TEST_F(POP3ServerProcessTest, RefusesToStartWithItsReason) {
    int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&address), length), 0);
    ASSERT_EQ(listen(holder, 4), 0);
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr *>(&address), &length), 0);
    int taken = ntohs(address.sin_port);

    struct Case {
        int port;
        std::vector<std::string> arguments;
        std::string reason;
    };
    const Case cases[] = {
        {taken, {"--user", "demo:demo"}, "port " + std::to_string(taken) + " on 127.0.0.1 is in use"},
        {0, {"--user", "demo"}, "--user wants NAME:PASSWORD"},
        {0, {"--user", "../demo:x"}, "--user wants NAME:PASSWORD"},
        {0, {"--user", "demo:demo", "--message", "nobody=/dev/null"}, "with NAME one of the users"},
        {0, {"--user", "demo:demo", "--pop3s-port", "995"}, "--pop3s-port goes with --tls"},
    };
    int index = 0;
    for (const Case &test : cases) {
        POP3ServerProcess server;
        std::string error;
        std::string name = std::to_string(index++);
        EXPECT_FALSE(server.start(folder_ / ("pop3-" + name), test.port, test.arguments,
                                  folder_ / ("launcher-" + name + ".err"), &error));
        EXPECT_NE(error.find("(status 1)"), std::string::npos) << error;
        EXPECT_NE(error.find(test.reason), std::string::npos) << error;
    }
    close(holder);
}

TEST_F(POP3ServerProcessTest, AKilledLauncherTakesDovecotDownWithIt) {
    POP3ServerProcess server;
    std::string error;
    ASSERT_TRUE(server.start(folder_ / "pop3", 0, {"--user", "demo:demo"}, folder_ / "launcher.err", &error)) << error;
    std::vector<pid_t> masters = childrenOf(server.pid());
    ASSERT_EQ(masters.size(), 1u);
    server.signal(SIGKILL);
    EXPECT_EQ(server.waitForExit(10s), std::optional<int>(128 + SIGKILL));
    auto deadline = Clock::now() + 20s;
    while (!runningInGroup(masters[0]).empty() && Clock::now() < deadline) {
        usleep(20000);
    }
    EXPECT_EQ(runningInGroup(masters[0]), std::vector<pid_t>()) << "Dovecot outlived its launcher";
}

} // namespace
} // namespace velquor::host::test
