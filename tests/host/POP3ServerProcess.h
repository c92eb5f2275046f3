// POP3ServerProcess.h: a private Dovecot POP3 server (scripts/pop3-server.py) as a child
// process for tests and benchmarks, stopped by its process id; and a POP3 dialogue client.
#ifndef VELQUOR_TESTS_HOST_POP3_SERVER_PROCESS_H
#define VELQUOR_TESTS_HOST_POP3_SERVER_PROCESS_H

#include "support/ChildProcess.h"

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace velquor::host::test {

class POP3ServerProcess {
public:
    POP3ServerProcess() = default;
    // Stops the launcher if it still runs.
    ~POP3ServerProcess();
    POP3ServerProcess(const POP3ServerProcess &) = delete;
    POP3ServerProcess &operator=(const POP3ServerProcess &) = delete;

    // Whether the distribution's Dovecot is installed.
    static bool available();

    // Runs the launcher ("serve") on `folder` and `port` (0: a free one it picks) with the
    // extra arguments (--user NAME:PASSWORD, --message NAME=FILE, ...), its standard error
    // going to errorFile, and waits (at most 60 s) for its "ready" line. `runAs` goes
    // before the command (such as setpriv switching to another user); deliveries use it too.
    // False with the reason and what the launcher printed in *error. With "--tls CERT KEY"
    // among the arguments the server offers STLS on its port and speaks POP3S on a second
    // one, pop3sPort().
    bool start(const std::string &folder, int port, const std::vector<std::string> &arguments,
               const std::string &errorFile, std::string *error, const std::vector<std::string> &runAs = {});
    // Drops a message into a user's Maildir through the launcher ("deliver": tmp/, then new/).
    bool deliver(const std::string &user, const std::string &message, std::string *error);

    // SIGTERM to the launcher and a wait of at most 30 s for its end (then SIGKILL): its exit
    // status (128 + signal when killed by one), or nothing when it had to be killed.
    std::optional<int> stop();
    // Waits at most `limit` for the launcher's end without signalling it; as stop().
    std::optional<int> waitForExit(std::chrono::milliseconds limit);
    void signal(int number) const;

    pid_t pid() const { return process_.pid(); }
    int port() const { return port_; }
    std::string hostAndPort() const { return "127.0.0.1:" + std::to_string(port_); }
    // The POP3S port (TLS from the first byte); 0 without --tls.
    int pop3sPort() const { return pop3sPort_; }
    // The Maildir of a user.
    std::string maildir(const std::string &user) const { return folder_ + "/mail/" + user + "/Maildir"; }
    // How many messages the user's Maildir holds, new and seen.
    size_t maildirCount(const std::string &user) const;

private:
    velquor::test::ChildProcess process_;
    int port_ = 0;
    int pop3sPort_ = 0;
    std::string folder_;
    std::string errorFile_;
    std::string script_;  // the launcher the commands run
    std::vector<std::string> runAs_;
    int deliveries_ = 0;
};

// One POP3 connection with bounded waits: each reply is read until it is complete (one line,
// or for a multi-line answer the line "." after "+OK").
class POP3Dialogue {
public:
    POP3Dialogue() = default;
    ~POP3Dialogue();
    POP3Dialogue(const POP3Dialogue &) = delete;
    POP3Dialogue &operator=(const POP3Dialogue &) = delete;

    // Connects to 127.0.0.1:port; the greeting line, or "" when there is none within 10 s.
    std::string connect(int port);
    // Sends the command with CR LF and answers the whole reply ("" when it does not come
    // within 10 s).
    std::string command(const std::string &line, bool multiLine = false);

private:
    std::string reply(bool multiLine);

    int socket_ = -1;
    std::string pending_;
};

} // namespace velquor::host::test

#endif
