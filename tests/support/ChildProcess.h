// ChildProcess.h: a program run as a child process for tests: its standard output read
// through a pipe with bounded waits, its standard error appended to a file, stopped by its id.
#ifndef VELQUOR_TESTS_SUPPORT_CHILD_PROCESS_H
#define VELQUOR_TESTS_SUPPORT_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace velquor::test {

class ChildProcess {
public:
    ChildProcess() = default;
    // Stops the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Starts command (its first word a path) with standard input from /dev/null, standard
    // output to a pipe read by awaitLine, standard error appended to errorFile (/dev/null when
    // ""), and the descriptors `inherited` left open for it. The child gets SIGTERM when this
    // process ends first. False with the reason in *error.
    bool start(const std::vector<std::string> &command, const std::string &errorFile,
               const std::vector<int> &inherited, std::string *error);
    // Reads standard output until it holds a whole line beginning with prefix, waiting at most
    // `limit`: the first such line without its line end, or nothing when the output ended or
    // the time ran out first. Everything read is kept in output().
    std::optional<std::string> awaitLine(const std::string &prefix, std::chrono::milliseconds limit);
    const std::string &output() const { return output_; }

    // Waits at most `limit` for the child's end without signalling it: its exit status (128 +
    // signal when a signal ended it), or nothing when it still runs.
    std::optional<int> waitForExit(std::chrono::milliseconds limit);
    // SIGTERM, a wait of at most `limit`, then SIGKILL: the exit status as above, or nothing
    // when it had to be killed (or never ran).
    std::optional<int> stop(std::chrono::milliseconds limit = std::chrono::seconds(20));
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int output_pipe_ = -1;
    std::string output_;
};

// The exit status in a status from waitpid: the program's own, 128 + the signal that ended
// it, or nothing when it has not ended.
std::optional<int> ExitStatus(int waitStatus);

// Runs command to its end, at most `limit`, with its standard output and error in *output:
// its exit status, or nothing when it did not end in time (it is then killed).
std::optional<int> RunCommand(const std::vector<std::string> &command, std::chrono::milliseconds limit,
                              std::string *output);

} // namespace velquor::test

#endif
