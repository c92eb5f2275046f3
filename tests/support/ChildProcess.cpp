// ChildProcess.cpp: starting, reading, waiting for and stopping the tests' child processes.
#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velquor::test {

namespace {

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Forks and runs command with the given standard output and error; -1 when fork fails.
pid_t spawn(const std::vector<std::string> &command, int output, int errors, const std::vector<int> &inherited) {
    std::vector<std::string> words = command;
    std::vector<char *> argv;
    for (std::string &word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(input, STDIN_FILENO);
        dup2(output, STDOUT_FILENO);
        dup2(errors, STDERR_FILENO);
        for (int descriptor : inherited) {
            fcntl(descriptor, F_SETFD, 0);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(input);
    return pid;
}

// Reaps the child within the deadline, polling its state.
std::optional<int> reap(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid) {
            return ExitStatus(status);
        }
        if ((ended < 0 && errno != EINTR) || Clock::now() >= deadline) {
            return std::nullopt;
        }
        usleep(5000);
    }
}

} // namespace

std::optional<int> ExitStatus(int waitStatus) {
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    if (WIFSIGNALED(waitStatus)) {
        return 128 + WTERMSIG(waitStatus);
    }
    return std::nullopt;
}

ChildProcess::~ChildProcess() {
    stop();
    if (output_pipe_ >= 0) {
        ::close(output_pipe_);
    }
}

bool ChildProcess::start(const std::vector<std::string> &command, const std::string &errorFile,
                         const std::vector<int> &inherited, std::string *error) {
    stop();
    if (output_pipe_ >= 0) {
        ::close(output_pipe_);
        output_pipe_ = -1;
    }
    output_.clear();
    int ends[2];
    if (command.empty() || pipe2(ends, O_CLOEXEC) != 0) {
        *error = std::string("no pipe for the child: ") + std::strerror(errno);
        return false;
    }
    const std::string errorPath = errorFile.empty() ? "/dev/null" : errorFile;
    int errors = ::open(errorPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (errors < 0) {
        *error = "cannot open " + errorPath + ": " + std::strerror(errno);
        ::close(ends[0]);
        ::close(ends[1]);
        return false;
    }
    pid_ = spawn(command, ends[1], errors, inherited);
    ::close(ends[1]);
    ::close(errors);
    output_pipe_ = ends[0];
    if (pid_ < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    return true;
}

std::optional<std::string> ChildProcess::awaitLine(const std::string &prefix, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    size_t scanned = 0;
    for (;;) {
        for (size_t end; (end = output_.find('\n', scanned)) != std::string::npos; scanned = end + 1) {
            if (output_.compare(scanned, prefix.size(), prefix) == 0) {
                return output_.substr(scanned, end - scanned);
            }
        }
        pollfd watch{output_pipe_, POLLIN, 0};
        char buffer[4096];
        ssize_t count = 0;
        if (output_pipe_ < 0 || poll(&watch, 1, millisecondsLeft(deadline)) <= 0 ||
            (count = read(output_pipe_, buffer, sizeof buffer)) <= 0) {
            return std::nullopt;
        }
        output_.append(buffer, static_cast<size_t>(count));
    }
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds limit) {
    if (pid_ <= 0) {
        return std::nullopt;
    }
    std::optional<int> status = reap(pid_, Clock::now() + limit);
    if (status) {
        pid_ = -1;
    }
    return status;
}

std::optional<int> ChildProcess::stop(std::chrono::milliseconds limit) {
    if (pid_ <= 0) {
        return std::nullopt;
    }
    kill(pid_, SIGTERM);
    std::optional<int> status = waitForExit(limit);
    if (!status) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    return status;
}

std::optional<int> RunCommand(const std::vector<std::string> &command, std::chrono::milliseconds limit,
                              std::string *output) {
    int ends[2];
    if (command.empty() || pipe2(ends, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    pid_t pid = spawn(command, ends[1], ends[1], {});
    ::close(ends[1]);
    auto deadline = Clock::now() + limit;
    for (;;) {
        pollfd watch{ends[0], POLLIN, 0};
        char buffer[4096];
        ssize_t count = 0;
        if (poll(&watch, 1, millisecondsLeft(deadline)) <= 0 || (count = read(ends[0], buffer, sizeof buffer)) <= 0) {
            break;
        }
        output->append(buffer, static_cast<size_t>(count));
    }
    ::close(ends[0]);
    if (pid < 0) {
        return std::nullopt;
    }
    std::optional<int> status = reap(pid, deadline);
    if (!status) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return status;
}

} // namespace velquor::test
