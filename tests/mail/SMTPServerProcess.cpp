// SMTPServerProcess.cpp: starting and stopping the test SMTP server, and reading its
// messages with Python's email package.
#include "SMTPServerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

std::string SourceDir() {
    const char *dir = std::getenv("VELQUOR_SOURCE_DIR");
    return dir != nullptr ? dir : ".";
}

// Starts the command with its standard output (and, with alsoErrors, its standard error)
// going to output; the child's process id, or -1.
pid_t Spawn(const std::vector<std::string> &command, int output, bool alsoErrors) {
    pid_t pid = fork();
    if (pid == 0) {
        dup2(output, 1);
        if (alsoErrors)
            dup2(output, 2);
        std::vector<char *> argv;
        for (const std::string &word : command)
            argv.push_back(const_cast<char *>(word.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Runs a program to its end (bounded) and gives what it printed.
bool Capture(const std::vector<std::string> &command, std::string *output, std::string *error) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return false;
    pid_t pid = Spawn(command, pipeEnds[1], true);
    close(pipeEnds[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    char buffer[65536];
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        struct pollfd entry = {pipeEnds[0], POLLIN, 0};
        if (left <= 0 || poll(&entry, 1, left) <= 0)
            break;
        ssize_t count = read(pipeEnds[0], buffer, sizeof buffer);
        if (count <= 0)
            break;
        output->append(buffer, static_cast<size_t>(count));
    }
    close(pipeEnds[0]);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *error = "reading the message failed: " + *output;
        return false;
    }
    return true;
}

std::string FromHex(const std::string &hex) {
    std::string bytes;
    if (hex == "-")
        return bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

}  // namespace

bool SMTPServerProcess::start(const std::string &maildir, const std::vector<std::string> &arguments,
                              std::string *error) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<struct sockaddr *>(&address), length) != 0 ||
        listen(listener, 64) != 0 || getsockname(listener, reinterpret_cast<struct sockaddr *>(&address), &length) != 0) {
        *error = "no listening socket";
        return false;
    }
    port_ = ntohs(address.sin_port);
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        close(listener);
        *error = "no pipe";
        return false;
    }
    std::vector<std::string> command = {"/usr/bin/python3", SourceDir() + "/scripts/smtp-server.py", "--fd",
                                        std::to_string(listener), "--maildir", maildir};
    command.insert(command.end(), arguments.begin(), arguments.end());
    for (size_t i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == "--command-log")
            commandLog_ = arguments[i + 1];
    }
    pid_ = Spawn(command, ready[1], false);
    close(listener);
    close(ready[1]);
    std::string said;
    char buffer[256];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (said.find("ready\n") == std::string::npos) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        struct pollfd entry = {ready[0], POLLIN, 0};
        ssize_t count = 0;
        if (left <= 0 || poll(&entry, 1, left) <= 0 || (count = read(ready[0], buffer, sizeof buffer)) <= 0)
            break;
        said.append(buffer, static_cast<size_t>(count));
    }
    close(ready[0]);
    if (said.find("ready\n") == std::string::npos) {
        *error = "the SMTP server did not start (python3-aiosmtpd installed?): " + said;
        return false;
    }
    return true;
}

SMTPServerProcess::~SMTPServerProcess() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_)
            return;
        usleep(10000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

bool SMTPServerProcess::ReadMessage(const std::string &maildir, Message *message, std::string *error) {
    std::string output;
    if (!Capture({"/usr/bin/python3", SourceDir() + "/tests/mail/read-message.py", maildir}, &output, error))
        return false;
    std::istringstream lines(output);
    std::string kind;
    while (lines >> kind) {
        std::string first, second;
        if (kind == "date") {
            lines >> message->date;
        } else if (kind == "header") {
            lines >> first >> second;
            message->headers.emplace_back(first, FromHex(second));
        } else if (kind == "rcpt") {
            lines >> first;
            message->recipients.push_back(first);
        } else if (kind == "body") {
            lines >> first;
            message->bodies.push_back(FromHex(first));
        } else if (kind == "part") {
            lines >> first >> second;
            message->parts.emplace_back(FromHex(first), FromHex(second));
        }
    }
    return true;
}

std::vector<SMTPServerProcess::Command> SMTPServerProcess::commands() const {
    std::vector<Command> commands;
    if (commandLog_.empty())
        return commands;
    std::ifstream log(commandLog_);
    std::string line;
    while (std::getline(log, line)) {
        size_t space = line.find(' ');
        if (space == std::string::npos)
            commands.push_back({line, ""});
        else
            commands.push_back({line.substr(0, space), line.substr(space + 1)});
    }
    return commands;
}
