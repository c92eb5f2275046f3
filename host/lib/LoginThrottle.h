// LoginThrottle.h: slows password guessing at the administration area. After a failed
// login no password is checked for a while, from that client and from any client; the
// wait is answered at once (never slept on a worker), and parallel guesses share it.
#ifndef VELQUOR_HOST_LOGIN_THROTTLE_H
#define VELQUOR_HOST_LOGIN_THROTTLE_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace velquor::host {

// Thread-safe: a login is decided and its failure counted under one lock, so a burst of
// parallel guesses gets one password check and waits for the rest.
class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    struct Limits {
        // After any failed login, no password from any client is checked for this long.
        Clock::duration anyClientDelay = std::chrono::seconds(1);
        // After a client's first failure in a row its next check waits this long; each
        // further failure doubles the wait, up to longestDelay.
        Clock::duration firstDelay = std::chrono::seconds(1);
        Clock::duration longestDelay = std::chrono::seconds(60);
        // A client's failures are forgotten this long after its last one (and at once
        // after a good login).
        Clock::duration forgetAfter = std::chrono::minutes(15);
        // Clients remembered at most; beyond it the one whose last failure is oldest goes.
        size_t clients = 4096;
    };

    struct Answer {
        enum class Kind {
            Accepted,  // the password was checked and is right
            Failed,    // the password was checked and is wrong: a failure was counted
            Wait,      // no password was checked: the client must wait
        };
        Kind kind = Kind::Wait;
        std::chrono::seconds retryAfter{0};  // Failed, Wait: how long until the next check (whole seconds, rounded up)
        unsigned failuresInARow = 0;         // Failed: the client's failures in a row, this one included
    };

    LoginThrottle();
    explicit LoginThrottle(Limits limits, Now now = Clock::now);

    // Decides a login of `client` (its address) whose given password `matches` (the
    // comparison costs nothing to do first: a Wait answer tells nothing about it).
    Answer attempt(const std::string &client, bool matches);

private:
    struct Client {
        unsigned failures = 0;
        Clock::time_point next;  // no check before this
        Clock::time_point last;  // the last failure
    };

    void makeRoom(Clock::time_point now);

    const Limits limits_;
    const Now now_;
    std::mutex mutex_;
    Clock::time_point anyClientNext_;
    std::map<std::string, Client> clients_;
};

} // namespace velquor::host

#endif
