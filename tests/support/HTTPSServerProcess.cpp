// HTTPSServerProcess.cpp: binding the HTTPS test server's socket and starting the server on it.
#include "HTTPSServerProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace velquor::test {

namespace {

// A listening socket on 127.0.0.1 at a port the system picks: its descriptor and port, or -1.
int listenOnLoopback(int *port) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        listen(listener, 64) != 0 || getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (listener >= 0) {
            ::close(listener);
        }
        return -1;
    }
    *port = ntohs(address.sin_port);
    return listener;
}

} // namespace

bool HTTPSServerProcess::start(const std::string &folder, const std::string &certificate, const std::string &key,
                               const std::vector<Redirect> &redirects, const std::string &errorFile,
                               std::string *error) {
    int listener = listenOnLoopback(&port_);
    if (listener < 0) {
        *error = std::string("no listening socket: ") + std::strerror(errno);
        return false;
    }
    const char *source = std::getenv("VELQUOR_SOURCE_DIR");
    std::vector<std::string> command = {"/usr/bin/python3",
                                        std::string(source != nullptr ? source : ".") + "/scripts/https-server.py",
                                        "--fd", std::to_string(listener), "--folder", folder, "--cert", certificate,
                                        "--key", key};
    for (const Redirect &redirect : redirects) {
        command.push_back("--redirect");
        command.push_back(redirect.path + "=" + redirect.url);
    }
    bool started = process_.start(command, errorFile, {listener}, error);
    ::close(listener);
    if (!started) {
        return false;
    }
    if (!process_.awaitLine("ready ", std::chrono::seconds(20))) {
        std::optional<int> status = process_.stop();
        *error = "the HTTPS server did not start (status " + (status ? std::to_string(*status) : std::string("?")) +
                 "): " + process_.output();
        return false;
    }
    return true;
}

} // namespace velquor::test
