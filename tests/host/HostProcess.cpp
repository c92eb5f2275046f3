// HostProcess.cpp: spawning, watching and stopping velquor-host for the tests.
#include "HostProcess.h"

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

namespace {

std::optional<int> exitStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return std::nullopt;
}

} // namespace

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
    std::vector<std::string> argumentTexts;
    argumentTexts.push_back(program);
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &text : argumentTexts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environmentTexts;
    for (char **item = environ; *item != nullptr; ++item) {
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
    int result = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
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
            return exitStatus(status);
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

std::string rawRequest(int port, const std::string &request) {
    int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        return "";
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    if (connect(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        send(socket, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        pollfd watch{socket, POLLIN, 0};
        while (std::chrono::steady_clock::now() < deadline && poll(&watch, 1, 200) >= 0) {
            if ((watch.revents & (POLLIN | POLLHUP)) == 0) {
                continue;
            }
            char buffer[4096];
            ssize_t got = recv(socket, buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;
            }
            response.append(buffer, static_cast<size_t>(got));
        }
    }
    close(socket);
    return response;
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
