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

// Forks; the child sets TZ to zone, calls tzset, runs work and writes the text it returns
// to a pipe, then ends with _exit. True with that text when the child ended normally
// within timeoutMilliseconds; a child that takes longer is killed.
inline bool RunInTimeZone(const char *zone, const std::function<std::string()> &work, std::string *output,
                          int timeoutMilliseconds = 60000) {
    output->clear();
    int ends[2];
    if (pipe(ends) != 0)
        return false;
    const pid_t child = fork();
    if (child < 0) {
        close(ends[0]);
        close(ends[1]);
        return false;
    }
    if (child == 0) {
        close(ends[0]);
        int status = 0;
        if (setenv("TZ", zone, 1) != 0) {
            status = 3;
        } else {
            tzset();
            try {
                const std::string text = work();
                for (size_t sent = 0; sent < text.size();) {
                    const ssize_t n = write(ends[1], text.data() + sent, text.size() - sent);
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n <= 0) {
                        status = 4;
                        break;
                    }
                    sent += static_cast<size_t>(n);
                }
            } catch (...) {
                status = 5;
            }
        }
        _exit(status);
    }
    close(ends[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    bool ended = false, timedOut = false;
    while (!ended) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        struct pollfd readable = {ends[0], POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        char chunk[512];
        const ssize_t n = read(ends[0], chunk, sizeof chunk);
        if (n > 0)
            output->append(chunk, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            ended = true;
    }
    close(ends[0]);
    if (timedOut)
        kill(child, SIGKILL);
    // The child has closed its end (it is ending) or has just been killed.
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return !timedOut && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
