// TestMailbox.cpp: the answering POP3 server of the tag tests: one thread, plain POSIX
// sockets, a mailbox snapshot per session and deletions at QUIT.
#include "TestMailbox.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kClientWaitMilliseconds = 10000;

void SendAll(int descriptor, const std::string &bytes) {
    size_t offset = 0;
    while (offset < bytes.size()) {
        ssize_t sent = ::send(descriptor, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return;
        offset += static_cast<size_t>(sent);
    }
}

// A message as a retrieval sends it: lines beginning with "." get another.
std::string DotStuffed(const std::string &text) {
    std::string stuffed;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find("\r\n", start);
        end = end == std::string::npos ? text.size() : end + 2;
        if (text[start] == '.')
            stuffed += '.';
        stuffed.append(text, start, end - start);
        start = end;
    }
    return stuffed;
}

}  // namespace

TestMailbox::TestMailbox(std::vector<Message> messages) : messages_(std::move(messages)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<struct sockaddr *>(&address), &length) != 0)
        std::abort();
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

TestMailbox::~TestMailbox() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
}

std::string TestMailbox::hostAndPort() const { return "127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> TestMailbox::commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::vector<std::string> TestMailbox::remaining() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> uidls;
    for (const Message &message : messages_)
        uidls.push_back(message.uidl);
    return uidls;
}

std::vector<std::string> TestMailbox::deleted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deleted_;
}

void TestMailbox::serve() {
    while (!stopping_) {
        struct pollfd entry = {listener_, POLLIN, 0};
        if (poll(&entry, 1, 20) <= 0)
            continue;
        int descriptor = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (descriptor < 0)
            continue;
        session(descriptor);
        ::close(descriptor);
    }
}

void TestMailbox::session(int descriptor) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back("[connection]");
    }
    std::vector<bool> marks;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        marks.assign(messages_.size(), false);
    }
    SendAll(descriptor, "+OK test mailbox ready\r\n");
    std::string pending;
    auto lastData = std::chrono::steady_clock::now();
    while (!stopping_) {
        size_t lineEnd = pending.find("\r\n");
        if (lineEnd != std::string::npos) {
            std::string line = pending.substr(0, lineEnd);
            pending.erase(0, lineEnd + 2);
            bool quit = false;
            SendAll(descriptor, answer(line, marks, &quit));
            if (quit)
                return;
            continue;
        }
        if (std::chrono::steady_clock::now() - lastData > std::chrono::milliseconds(kClientWaitMilliseconds))
            return;
        struct pollfd entry = {descriptor, POLLIN, 0};
        if (poll(&entry, 1, 20) <= 0)
            continue;
        char buffer[4096];
        ssize_t count = ::recv(descriptor, buffer, sizeof buffer, 0);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return;  // gone without QUIT: nothing is deleted
        pending.append(buffer, static_cast<size_t>(count));
        lastData = std::chrono::steady_clock::now();
    }
}

std::string TestMailbox::answer(const std::string &line, std::vector<bool> &marks, bool *quit) {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(line);
    size_t space = line.find(' ');
    std::string verb = line.substr(0, space);
    std::transform(verb.begin(), verb.end(), verb.begin(), [](unsigned char c) { return std::toupper(c); });
    std::string argument = space == std::string::npos ? std::string() : line.substr(space + 1);
    // The message the argument numbers, 1 for the first; 0 when none or deleted.
    size_t number = 0;
    if (!argument.empty() && argument.find_first_not_of("0123456789") == std::string::npos && argument.size() < 6)
        number = static_cast<size_t>(std::stoul(argument));
    const bool valid = number >= 1 && number <= marks.size() && !marks[number - 1];
    if (verb == "USER" || verb == "PASS" || verb == "NOOP" || verb == "RSET") {
        if (verb == "RSET")
            marks.assign(marks.size(), false);
        return "+OK\r\n";
    }
    if (verb == "UIDL" || verb == "LIST") {
        std::string reply = "+OK\r\n";
        for (size_t i = 0; i < marks.size(); ++i)
            if (!marks[i])
                reply += std::to_string(i + 1) + " " +
                         (verb == "UIDL" ? messages_[i].uidl : std::to_string(messages_[i].text.size())) + "\r\n";
        return reply + ".\r\n";
    }
    if (verb == "RETR" && valid) {
        const std::string &text = messages_[number - 1].text;
        return "+OK " + std::to_string(text.size()) + " octets\r\n" + DotStuffed(text) + ".\r\n";
    }
    if (verb == "DELE" && valid) {
        marks[number - 1] = true;
        return "+OK deleted\r\n";
    }
    if (verb == "QUIT") {
        *quit = true;
        std::vector<Message> kept;
        for (size_t i = 0; i < messages_.size(); ++i) {
            if (i < marks.size() && marks[i])
                deleted_.push_back(messages_[i].uidl);
            else
                kept.push_back(messages_[i]);
        }
        messages_ = kept;
        return "+OK bye\r\n";
    }
    return "-ERR not here\r\n";
}
