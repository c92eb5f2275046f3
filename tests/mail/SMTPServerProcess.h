// SMTPServerProcess.h: the distribution's SMTP server (aiosmtpd, through
// scripts/smtp-server.py) as a child process for tests: it serves a socket this process
// bound on loopback, keeps messages in a Maildir, and is stopped by its process id.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

class SMTPServerProcess {
public:
    // Starts the server with a Maildir in maildir and the extra arguments of
    // smtp-server.py (such as --reject-data, or --starttls CERT KEY and --auth USER:PASSWORD);
    // waits (bounded) until it serves. False with the reason in *error. One process serves
    // plain text with optional STARTTLS, or implicit TLS (--tls CERT KEY): a test that wants
    // both starts two.
    bool start(const std::string &maildir, const std::vector<std::string> &arguments, std::string *error);
    // SIGTERM, a bounded wait, then SIGKILL.
    ~SMTPServerProcess();

    int port() const { return port_; }
    std::string hostAndPort() const { return "127.0.0.1:" + std::to_string(port_); }

    // What Python's email package reads in the Maildir's one message.
    struct Message {
        long long date = 0;
        std::vector<std::pair<std::string, std::string>> headers;
        std::vector<std::string> recipients;                    // X-RcptTo
        std::vector<std::string> bodies;                        // text parts, decoded
        std::vector<std::pair<std::string, std::string>> parts;  // attachments: name, bytes
    };
    static bool ReadMessage(const std::string &maildir, Message *message, std::string *error);

    // One line of the command log (--command-log FILE among the arguments of start): the
    // client's address and port, and the command line as received (AUTH's arguments masked).
    struct Command {
        std::string peer;
        std::string line;
    };
    // The commands the server has received so far, in order; empty without a command log.
    // Each is in the log before the server answers it.
    std::vector<Command> commands() const;

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string commandLog_;
};
