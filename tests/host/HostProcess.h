// HostProcess.h: runs the built velquor-host as a child process for end-to-end tests:
// starts it on an ephemeral port, reads the port it prints, watches its memory and always
// stops it by its process id; plus raw HTTP clients for requests that HTTP clients would
// tidy up or never send.
#ifndef VELQUOR_TESTS_HOST_HOST_PROCESS_H
#define VELQUOR_TESTS_HOST_HOST_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace velquor::host::test {

class HostProcess {
public:
    HostProcess() = default;
    // Stops the child if it still runs.
    ~HostProcess();
    HostProcess(const HostProcess &) = delete;
    HostProcess &operator=(const HostProcess &) = delete;

    // The binary named by VELQUOR_HOST_BINARY; "" when unset.
    static std::string binary();

    // Starts the binary with the arguments (and NAME=VALUE environment additions), its
    // standard error going to errorFile, and waits until it prints its listening line.
    // False with the reason (and what the child printed) in *error.
    bool start(const std::vector<std::string> &arguments, const std::vector<std::string> &environment,
               const std::string &errorFile, std::string *error);
    // Words that go before the binary when it starts (the first an absolute path), such as
    // a program that enters a private mount namespace and then runs the rest ("" clears).
    void setLauncher(const std::vector<std::string> &launcher) { launcher_ = launcher; }
    // Runs the binary to its end (bounded); its exit status, or nothing when it had to
    // be killed. Standard output and error are kept.
    std::optional<int> run(const std::vector<std::string> &arguments, const std::string &errorFile,
                           std::chrono::seconds limit = std::chrono::seconds(30));

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }
    // What the child printed on standard output so far.
    const std::string &output();

    // A field of /proc/PID/status: "VmHWM" and "VmRSS" in kB, "Threads" as a count; -1
    // when it cannot be read.
    long status(const std::string &field) const;
    // Starts the peak resident size (VmHWM) afresh; false when the system does not allow it.
    bool resetPeakMemory() const;

    void signal(int number) const;
    // Waits for the child's end; its exit status (128 + signal when killed by one), or
    // nothing when it did not end in time.
    std::optional<int> waitForExit(std::chrono::milliseconds limit);
    // SIGTERM, a bounded wait, then SIGKILL; the exit status as above.
    std::optional<int> stop();

private:
    bool spawn(const std::vector<std::string> &arguments, const std::vector<std::string> &environment,
               const std::string &errorFile, std::string *error);
    void readAvailable(int timeoutMilliseconds);

    std::vector<std::string> launcher_;
    pid_t pid_ = -1;
    int outputPipe_ = -1;
    std::string output_;
    int port_ = 0;
};

// A TCP connection to the host from a chosen local address (so that a test can be another
// client than the one it floods the host with). Closed when destroyed.
class RawClient {
public:
    RawClient() = default;
    ~RawClient();
    RawClient(RawClient &&other) noexcept;
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    // Connects to server:port ("127.0.0.1", "::1") from the address `from` ("" for any).
    bool connect(int port, const std::string &server = "127.0.0.1", const std::string &from = "");
    // Sends every byte; false once the peer takes no more.
    bool send(const std::string &bytes);
    // What arrives until the peer closes or `limit` passes.
    std::string receive(std::chrono::milliseconds limit);
    // Whether the peer has closed within `limit` (what arrives meanwhile is dropped).
    bool closedWithin(std::chrono::milliseconds limit);
    // Whether something (or the end) can be read within `limit`.
    bool readable(std::chrono::milliseconds limit);
    void close();

private:
    int socket_ = -1;
};

// Sends the bytes as they are to server:port (as many as the server takes) and answers
// everything the server sent until it closed the connection (bounded to a few seconds).
std::string rawRequest(int port, const std::string &request, const std::string &server = "127.0.0.1",
                       const std::string &from = "");
// The status code of a raw response ("HTTP/1.1 404 ..." gives 404); 0 when there is none.
int rawStatus(const std::string &response);
// The whole text of a file ("" when it cannot be read).
std::string readWholeFile(const std::string &path);
void writeWholeFile(const std::string &path, const std::string &content);

} // namespace velquor::host::test

#endif
