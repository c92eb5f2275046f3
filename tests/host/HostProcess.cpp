// HostProcess.cpp: spawning, watching and stopping velquor-host for the tests.
#include "HostProcess.h"

#include "support/ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace velquor::host::test {

using velquor::test::ExitStatus;

HostProcess::~HostProcess() {
    stop();
    if (outputPipe_ >= 0) {
        close(outputPipe_);
    }
}

std::string HostProcess::binary() {
    const char *path = std::getenv("VELQUOR_HOST_BINARY");
    return path != nullptr ? path : "";
}

bool HostProcess::spawn(const std::vector<std::string> &arguments, const std::vector<std::string> &environment,
                        const std::string &errorFile, std::string *error) {
    std::string program = binary();
    if (program.empty()) {
        *error = "VELQUOR_HOST_BINARY is not set";
        return false;
    }
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    std::vector<std::string> argumentTexts(launcher_.begin(), launcher_.end());
    argumentTexts.push_back(program);
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &text : argumentTexts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environmentTexts;
    for (char **item = environ; *item != nullptr; ++item) {
        // An addition replaces the inherited variable of its name.
        const std::string inherited(*item);
        const std::string name = inherited.substr(0, inherited.find('=') + 1);
        bool replaced = false;
        for (const std::string &addition : environment)
            replaced = replaced || addition.compare(0, name.size(), name) == 0;
        if (replaced)
            continue;
        environmentTexts.emplace_back(*item);
    }
    environmentTexts.insert(environmentTexts.end(), environment.begin(), environment.end());
    std::vector<char *> envp;
    for (std::string &text : environmentTexts) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const std::string &executable = launcher_.empty() ? program : launcher_.front();
    int result = posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (result != 0) {
        close(pipeEnds[0]);
        pid_ = -1;
        *error = std::string("posix_spawn: ") + std::strerror(result);
        return false;
    }
    if (outputPipe_ >= 0) {
        close(outputPipe_);
    }
    outputPipe_ = pipeEnds[0];
    output_.clear();
    port_ = 0;
    return true;
}

bool HostProcess::start(const std::vector<std::string> &arguments, const std::vector<std::string> &environment,
                        const std::string &errorFile, std::string *error) {
    if (!spawn(arguments, environment, errorFile, error)) {
        return false;
    }
    const std::string marker = "listening on http://";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        readAvailable(100);
        size_t found = output_.find(marker);
        size_t lineEnd = found == std::string::npos ? std::string::npos : output_.find('\n', found);
        if (lineEnd != std::string::npos) {
            std::string authority = output_.substr(found + marker.size(), lineEnd - found - marker.size());
            size_t colon = authority.rfind(':');
            port_ = std::atoi(authority.c_str() + colon + 1);
            return port_ > 0;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            readAvailable(0);
            *error = "velquor-host ended before listening; it printed:\n" + output_ + readWholeFile(errorFile);
            return false;
        }
    }
    *error = "velquor-host did not start listening in time; it printed:\n" + output_ + readWholeFile(errorFile);
    stop();
    return false;
}

std::optional<int> HostProcess::run(const std::vector<std::string> &arguments, const std::string &errorFile,
                                    std::chrono::seconds limit) {
    std::string error;
    if (!spawn(arguments, {}, errorFile, &error)) {
        return std::nullopt;
    }
    std::optional<int> status = waitForExit(limit);
    if (!status) {
        stop();
    }
    return status;
}

void HostProcess::readAvailable(int timeoutMilliseconds) {
    if (outputPipe_ < 0) {
        return;
    }
    pollfd watch{outputPipe_, POLLIN, 0};
    while (poll(&watch, 1, timeoutMilliseconds) > 0) {
        char buffer[4096];
        ssize_t got = read(outputPipe_, buffer, sizeof buffer);
        if (got <= 0) {
            close(outputPipe_);
            outputPipe_ = -1;
            return;
        }
        output_.append(buffer, static_cast<size_t>(got));
        timeoutMilliseconds = 0;
        watch.revents = 0;
    }
}

const std::string &HostProcess::output() {
    readAvailable(0);
    return output_;
}

long HostProcess::status(const std::string &field) const {
    std::ifstream file("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (pid_ > 0 && std::getline(file, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            return std::atol(line.c_str() + field.size() + 1);
        }
    }
    return -1;
}

bool HostProcess::resetPeakMemory() const {
    std::ofstream file("/proc/" + std::to_string(pid_) + "/clear_refs");
    file << "5";
    file.flush();
    return pid_ > 0 && file.good();
}

void HostProcess::signal(int number) const {
    if (pid_ > 0) {
        kill(pid_, number);
    }
}

std::optional<int> HostProcess::waitForExit(std::chrono::milliseconds limit) {
    if (pid_ <= 0) {
        return std::nullopt;
    }
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        readAvailable(0);
        int status = 0;
        pid_t ended = waitpid(pid_, &status, WNOHANG);
        if (ended == pid_) {
            pid_ = -1;
            readAvailable(0);
            return ExitStatus(status);
        }
        if (ended < 0 && errno != EINTR) {
            pid_ = -1;
            return std::nullopt;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::optional<int> HostProcess::stop() {
    if (pid_ <= 0) {
        return std::nullopt;
    }
    kill(pid_, SIGTERM);
    std::optional<int> status = waitForExit(std::chrono::seconds(30));
    if (status) {
        return status;
    }
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int raw = 0;
        waitpid(pid_, &raw, 0);
        pid_ = -1;
    }
    return std::nullopt;
}

RawClient::~RawClient() { close(); }

void RawClient::close() {
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
}

RawClient::RawClient(RawClient &&other) noexcept : socket_(other.socket_) { other.socket_ = -1; }

bool RawClient::connect(int port, const std::string &server, const std::string &from) {
    sockaddr_storage address{};
    socklen_t length = 0;
    auto fill = [](const std::string &text, int port, sockaddr_storage *out, socklen_t *size) {
        auto *v4 = reinterpret_cast<sockaddr_in *>(out);
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(out);
        if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(static_cast<uint16_t>(port));
            *size = sizeof *v4;
            return true;
        }
        if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(static_cast<uint16_t>(port));
            *size = sizeof *v6;
            return true;
        }
        return false;
    };
    if (!fill(server, port, &address, &length)) {
        return false;
    }
    socket_ = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        return false;
    }
    if (!from.empty()) {
        sockaddr_storage local{};
        socklen_t localLength = 0;
        if (!fill(from, 0, &local, &localLength) || bind(socket_, reinterpret_cast<sockaddr *>(&local), localLength) != 0) {
            return false;
        }
    }
    return ::connect(socket_, reinterpret_cast<sockaddr *>(&address), length) == 0;
}

bool RawClient::send(const std::string &bytes) {
    size_t sent = 0;
    while (socket_ >= 0 && sent < bytes.size()) {
        ssize_t written = ::send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        sent += static_cast<size_t>(written);
    }
    return socket_ >= 0;
}

std::string RawClient::receive(std::chrono::milliseconds limit) {
    std::string response;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (socket_ >= 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd watch{socket_, POLLIN, 0};
        if (poll(&watch, 1, 50) <= 0 || (watch.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        char buffer[65536];
        ssize_t got = recv(socket_, buffer, sizeof buffer, 0);
        if (got <= 0) {
            break;
        }
        response.append(buffer, static_cast<size_t>(got));
    }
    return response;
}

bool RawClient::closedWithin(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (socket_ >= 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd watch{socket_, POLLIN, 0};
        if (poll(&watch, 1, 50) <= 0) {
            continue;
        }
        char buffer[65536];
        ssize_t got = recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            return true;
        }
    }
    return false;
}

bool RawClient::readable(std::chrono::milliseconds limit) {
    pollfd watch{socket_, POLLIN, 0};
    return socket_ >= 0 && poll(&watch, 1, static_cast<int>(limit.count())) > 0;
}

std::string rawRequest(int port, const std::string &request, const std::string &server, const std::string &from) {
    RawClient client;
    if (!client.connect(port, server, from)) {
        return "";
    }
    client.send(request);  // a server may answer before it has taken every byte
    return client.receive(std::chrono::seconds(10));
}

int rawStatus(const std::string &response) {
    if (response.compare(0, 5, "HTTP/") != 0) {
        return 0;
    }
    size_t space = response.find(' ');
    return space == std::string::npos ? 0 : std::atoi(response.c_str() + space + 1);
}

std::string readWholeFile(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void writeWholeFile(const std::string &path, const std::string &content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
}

} // namespace velquor::host::test
