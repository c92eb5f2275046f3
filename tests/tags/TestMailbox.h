// TestMailbox.h: a small POP3 server on loopback that answers whatever the client asks, in
// any order, from a mailbox of messages, and keeps a log of every command it received.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One connection at a time, any number of them in turn. Every login is accepted. UIDL,
// LIST, RETR and DELE work on the messages still in the mailbox; deletions take effect at
// QUIT, as POP3 servers do, and a session that ends without QUIT deletes nothing. Every
// wait is bounded: a client silent for 10 s loses its connection.
class TestMailbox {
public:
    struct Message {
        std::string uidl;
        std::string text;  // lines end CR LF
    };

    explicit TestMailbox(std::vector<Message> messages);
    // Stops serving and waits for the server's thread.
    ~TestMailbox();
    TestMailbox(const TestMailbox &) = delete;
    TestMailbox &operator=(const TestMailbox &) = delete;

    // "127.0.0.1:port".
    std::string hostAndPort() const;
    // Every command line received so far (without CR LF), in order, sessions one after
    // the other; "[connection]" starts each session.
    std::vector<std::string> commands();
    // The UIDLs of the messages still in the mailbox.
    std::vector<std::string> remaining();
    // The UIDLs that sessions deleted (at their QUIT), in order.
    std::vector<std::string> deleted();

private:
    void serve();
    void session(int descriptor);
    // The reply to one command of a session; marks holds the session's deletion marks.
    std::string answer(const std::string &line, std::vector<bool> &marks, bool *quit);

    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Message> messages_;
    std::vector<std::string> commands_;
    std::vector<std::string> deleted_;
};
