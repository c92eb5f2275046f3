// ScriptedServer.h: a loopback TCP server for protocol tests. It listens on 127.0.0.1 (or
// ::1) at a free port and plays one script per accepted connection, recording every byte
// it receives and counting those it sends.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptedServer {
public:
    // What one connection does, in order. Every wait for the client is bounded
    // (kClientWaitMilliseconds unless given), so a faulty client never hangs a test.
    class Script {
    public:
        Script &send(const std::string &bytes);
        Script &pause(int milliseconds);
        // Reads until the bytes received on this connection contain marker (the client
        // given milliseconds to send it).
        Script &receiveUntil(const std::string &marker, int milliseconds = kClientWaitMilliseconds);
        // Reads until this connection has received count bytes in all.
        Script &receiveBytes(size_t count);
        // Reads one HTTP request: up to its blank line, then Content-Length bytes.
        Script &receiveRequest();
        // Keeps the connection open, reading, until the client closes it.
        Script &waitForClientClose(int milliseconds = kClientWaitMilliseconds);
        // Ends the connection with a reset instead of an orderly close.
        Script &reset();
        // Closes the server's sending side (the client reads the end of the stream) and
        // goes on recording what the client sends.
        Script &shutdownSending();
        // Runs a TLS server handshake with this certificate chain and key (PEM files); from
        // then on the connection's sends and reads go through TLS, and the record holds
        // the text "[TLS]" at that point, then the decrypted bytes. A failed handshake
        // records "[TLS failed]" and ends the connection.
        Script &startTLS(const std::string &certificateFile, const std::string &keyFile);
        // Waits until the test calls release() (once per such step), reading meanwhile.
        // The test decides when the next part goes out, so no timing can reorder them.
        Script &awaitRelease();
        // Sends bytes one at a time, one every intervalMilliseconds (a server that
        // trickles), until all are out or the client has gone.
        Script &trickle(const std::string &bytes, int intervalMilliseconds);
        // Sends count filler bytes ("x" lines) as fast as the client takes them, until all
        // are out, the client has gone, or it took nothing for kClientWaitMilliseconds.
        // sentBytes() tells how many the server got out.
        Script &stream(uint64_t count);

    private:
        friend class ScriptedServer;
        enum Kind {
            kSend,
            kPause,
            kReceiveUntil,
            kReceiveBytes,
            kReceiveRequest,
            kWaitForClose,
            kReset,
            kShutdownSending,
            kAwaitRelease,
            kStartTLS,
            kTrickle,
            kStream
        };
        struct Step {
            Kind kind;
            std::string bytes;
            size_t count;
            int milliseconds;
        };
        std::vector<Step> steps_;
    };

    static constexpr int kClientWaitMilliseconds = 10000;

    // Listens on 127.0.0.1, or on ::1 with ipv6 (check listening() then: a machine may
    // have no IPv6 loopback).
    explicit ScriptedServer(bool ipv6 = false);
    bool listening() const { return listener_ >= 0; }
    // Stops accepting and waits for the server thread.
    ~ScriptedServer();

    // The script of the next connection to be accepted (the first call: the first one).
    Script &connection();
    // Starts serving: connections are accepted in order while scripts remain.
    void start();
    // Waits until every script has run or no further client came within the wait.
    void finish(int acceptWaitMilliseconds = 2000);
    // Lets the next awaitRelease step go on.
    void release() { releases_.fetch_add(1); }

    uint16_t port() const { return port_; }
    // "127.0.0.1:port" or "[::1]:port".
    std::string hostAndPort() const;

    // After finish(): what happened.
    size_t acceptedCount();
    std::string received(size_t connection);
    // True when some wait for the client ran out (the client did not do its part).
    bool clientWaitExpired();
    // The bytes the server handed to the system for this connection (those the client
    // read, plus what the two sockets' buffers held when it stopped).
    uint64_t sentBytes(size_t connection);

private:
    void serve();
    // One accepted connection: its socket and, after startTLS, its TLS session.
    struct Peer {
        int descriptor = -1;
        void *tls = nullptr;  // SSL
    };
    void play(int descriptor, size_t index);
    enum ReadOutcome { kData, kQuiet, kClosed };
    // Reads what arrives within milliseconds into the connection's record.
    ReadOutcome readSome(Peer &peer, size_t index, int milliseconds);
    bool startTLS(Peer &peer, size_t index, const std::string &certificateFile, const std::string &keyFile);
    // Sends bytes on the connection, counting them; false once the client has gone (or,
    // with a bounded wait, took nothing within it).
    bool sendCounted(Peer &peer, size_t index, const char *bytes, size_t count);

    int listener_ = -1;
    uint16_t port_ = 0;
    bool ipv6_ = false;
    std::atomic<int> releases_{0};
    std::vector<Script> scripts_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> acceptWaitMilliseconds_{kClientWaitMilliseconds};
    std::mutex mutex_;
    std::vector<std::string> received_;
    std::vector<uint64_t> sent_;
    std::vector<bool> accepted_;
    bool clientWaitExpired_ = false;
};

// A port on 127.0.0.1 that refuses connections for as long as this object lives: the port
// is bound but not listened on, so no other program can take it meanwhile.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort &) = delete;
    RefusingPort &operator=(const RefusingPort &) = delete;
    uint16_t port() const { return port_; }

private:
    int descriptor_ = -1;
    uint16_t port_ = 0;
};
