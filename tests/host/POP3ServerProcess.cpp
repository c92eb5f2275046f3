// POP3ServerProcess.cpp: starting and stopping the private Dovecot launcher for tests, and
// a small POP3 client that reads each reply to its end.
#include "POP3ServerProcess.h"

#include "HostProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace velquor::host::test {

namespace {

using Clock = std::chrono::steady_clock;

std::string launcher() {
    const char *source = std::getenv("VELQUOR_SOURCE_DIR");
    return std::string(source != nullptr ? source : ".") + "/scripts/pop3-server.py";
}

int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

size_t POP3ServerProcess::maildirCount(const std::string &user) const {
    size_t count = 0;
    for (const char *part : {"/new", "/cur"}) {
        std::error_code ignored;
        for (auto it = std::filesystem::directory_iterator(maildir(user) + part, ignored);
             it != std::filesystem::directory_iterator(); ++it)
            ++count;
    }
    return count;
}

POP3ServerProcess::~POP3ServerProcess() { stop(); }

bool POP3ServerProcess::available() { return access("/usr/sbin/dovecot", X_OK) == 0; }

bool POP3ServerProcess::start(const std::string &folder, int port, const std::vector<std::string> &arguments,
                              const std::string &errorFile, std::string *error,
                              const std::vector<std::string> &runAs) {
    folder_ = folder;
    runAs_ = runAs;
    errorFile_ = errorFile;
    script_ = launcher();
    if (!runAs.empty()) {
        // Another user may not reach the source tree: it gets a copy beside its folder.
        script_ = folder + "-launcher.py";
        writeWholeFile(script_, readWholeFile(launcher()));
        if (chmod(script_.c_str(), 0644) != 0) {
            *error = "cannot copy the launcher to " + script_ + ": " + std::strerror(errno);
            return false;
        }
    }
    std::vector<std::string> command = runAs;
    for (const std::string &word : {std::string("/usr/bin/python3"), script_, std::string("serve"),
                                    std::string("--folder"), folder, std::string("--port"), std::to_string(port)}) {
        command.push_back(word);
    }
    command.insert(command.end(), arguments.begin(), arguments.end());
    if (!process_.start(command, errorFile, {}, error)) {
        return false;
    }
    const std::string marker = "ready 127.0.0.1:";
    std::optional<std::string> ready = process_.awaitLine(marker, std::chrono::seconds(60));
    if (!ready) {
        std::optional<int> status = stop();
        *error = "the POP3 server did not start (status " + (status ? std::to_string(*status) : std::string("?")) +
                 "): " + process_.output() + readWholeFile(errorFile);
        return false;
    }
    port_ = std::atoi(ready->c_str() + marker.size());
    // With TLS the POP3S line comes before the ready line.
    const std::string pop3s = "pop3s 127.0.0.1:";
    size_t secure = process_.output().find(pop3s);
    pop3sPort_ = secure != std::string::npos ? std::atoi(process_.output().c_str() + secure + pop3s.size()) : 0;
    return port_ > 0;
}

bool POP3ServerProcess::deliver(const std::string &user, const std::string &message, std::string *error) {
    std::string file = folder_ + "/incoming-" + std::to_string(++deliveries_) + ".eml";
    writeWholeFile(file, message);
    std::vector<std::string> command = runAs_;
    for (const std::string &word :
         {std::string("/usr/bin/python3"), script_, std::string("deliver"), std::string("--folder"), folder_,
          std::string("--user"), user, file}) {
        command.push_back(word);
    }
    velquor::test::ChildProcess delivery;
    std::optional<int> status;
    if (delivery.start(command, errorFile_, {}, error)) {
        status = delivery.waitForExit(std::chrono::seconds(30));
    }
    unlink(file.c_str());
    if (status != std::optional<int>(0)) {
        *error = "delivering to " + user + " failed: " + readWholeFile(errorFile_);
        return false;
    }
    return true;
}

void POP3ServerProcess::signal(int number) const {
    if (process_.pid() > 0) {
        kill(process_.pid(), number);
    }
}

std::optional<int> POP3ServerProcess::waitForExit(std::chrono::milliseconds limit) {
    return process_.waitForExit(limit);
}

std::optional<int> POP3ServerProcess::stop() { return process_.stop(std::chrono::seconds(30)); }

POP3Dialogue::~POP3Dialogue() {
    if (socket_ >= 0) {
        ::close(socket_);
    }
}

std::string POP3Dialogue::connect(int port) {
    socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (socket_ < 0 || ::connect(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        return "";
    }
    return reply(false);
}

std::string POP3Dialogue::command(const std::string &line, bool multiLine) {
    std::string bytes = line + "\r\n";
    if (socket_ < 0 || send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
        return "";
    }
    return reply(multiLine);
}

std::string POP3Dialogue::reply(bool multiLine) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        size_t lineEnd = pending_.find("\r\n");
        if (lineEnd != std::string::npos) {
            bool positive = pending_.compare(0, 3, "+OK") == 0;
            size_t end = !multiLine || !positive ? lineEnd + 2 : pending_.find("\r\n.\r\n", lineEnd);
            if (multiLine && positive && end != std::string::npos) {
                end += 5;
            }
            if (end != std::string::npos) {
                std::string whole = pending_.substr(0, end);
                pending_.erase(0, end);
                return whole;
            }
        }
        pollfd watch{socket_, POLLIN, 0};
        char buffer[4096];
        ssize_t count = 0;
        if (poll(&watch, 1, millisecondsLeft(deadline)) <= 0 || (count = recv(socket_, buffer, sizeof buffer, 0)) <= 0) {
            return "";
        }
        pending_.append(buffer, static_cast<size_t>(count));
    }
}

} // namespace velquor::host::test
