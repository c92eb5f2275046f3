// ZoneProcess.h: runs part of a test in a child process with a time zone of its own (a
// POSIX TZ string), so that no zone leaks into other tests, and hands back its text.
#pragma once

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>

// Forks; the child sets TZ, calls tzset, runs work and writes the text it returns to a
// pipe. True with that text when the child ended normally within a minute; a child that
// takes longer is killed.
inline bool RunInTimeZone(const char *zone, const std::function<std::string()> &work, std::string *output) {
    output->clear();
    int ends[2];
    if (pipe(ends) != 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        if (setenv("TZ", zone, 1) != 0)
            _exit(3);
        tzset();
        std::string text;
        try {
            text = work();
        } catch (...) {
            _exit(4);
        }
        _exit(write(ends[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 5);
    }
    close(ends[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool givenUp = false;
    while (child > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if ((givenUp = left.count() <= 0))
            break;
        struct pollfd readable = {ends[0], POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(left.count()));
        if (ready <= 0) {
            if (ready < 0 && errno != EINTR) {
                givenUp = true;
                break;
            }
            continue;
        }
        char chunk[512];
        const ssize_t n = read(ends[0], chunk, sizeof chunk);
        if (n > 0)
            output->append(chunk, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;  // the end of the child's text
    }
    close(ends[0]);
    if (child < 0)
        return false;
    if (givenUp)
        kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return !givenUp && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
