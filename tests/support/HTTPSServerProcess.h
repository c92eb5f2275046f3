// HTTPSServerProcess.h: an HTTPS file server (scripts/https-server.py) as a child process for
// tests: it serves a folder over TLS on a loopback socket this process bound, and can answer
// redirects; it is stopped by its process id.
#ifndef VELQUOR_TESTS_SUPPORT_HTTPS_SERVER_PROCESS_H
#define VELQUOR_TESTS_SUPPORT_HTTPS_SERVER_PROCESS_H

#include "ChildProcess.h"

#include <string>
#include <utility>
#include <vector>

namespace velquor::test {

class HTTPSServerProcess {
public:
    // A path the server answers with 302 and "Location: url".
    struct Redirect {
        std::string path;
        std::string url;
    };

    // Binds a port on 127.0.0.1 (port 0: the system picks it) and starts the server on it,
    // serving folder with the certificate and key (PEM files), its standard error appended to
    // errorFile ("" for none); waits at most 20 s until it serves. False with the reason and
    // what the server printed in *error.
    bool start(const std::string &folder, const std::string &certificate, const std::string &key,
               const std::vector<Redirect> &redirects, const std::string &errorFile, std::string *error);
    // SIGTERM, a bounded wait, then SIGKILL (the destructor does the same).
    void stop() { process_.stop(); }

    int port() const { return port_; }
    // "https://127.0.0.1:PORT", to which a path is appended.
    std::string origin() const { return "https://127.0.0.1:" + std::to_string(port_); }
    pid_t pid() const { return process_.pid(); }

private:
    ChildProcess process_;
    int port_ = 0;
};

} // namespace velquor::test

#endif
