// LoginThrottle.cpp: the waits after failed logins, per client and for every client.
#include "host/lib/LoginThrottle.h"

#include <algorithm>

namespace velquor::host {

namespace {

std::chrono::seconds wholeSeconds(LoginThrottle::Clock::duration wait) {
    auto seconds = std::chrono::ceil<std::chrono::seconds>(wait);
    return std::max(seconds, std::chrono::seconds(1));
}

} // namespace

LoginThrottle::LoginThrottle() : LoginThrottle(Limits()) {}

LoginThrottle::LoginThrottle(Limits limits, Now now) : limits_(limits), now_(std::move(now)) {}

LoginThrottle::Answer LoginThrottle::attempt(const std::string &client, bool matches) {
    std::lock_guard<std::mutex> lock(mutex_);
    Clock::time_point now = now_();
    Answer answer;
    auto known = clients_.find(client);
    if (known != clients_.end() && now - known->second.last >= limits_.forgetAfter) {
        clients_.erase(known);
        known = clients_.end();
    }
    Clock::time_point next = anyClientNext_;
    if (known != clients_.end()) {
        next = std::max(next, known->second.next);
    }
    if (now < next) {
        answer.kind = Answer::Kind::Wait;
        answer.retryAfter = wholeSeconds(next - now);
        return answer;
    }
    if (matches) {
        if (known != clients_.end()) {
            clients_.erase(known);
        }
        answer.kind = Answer::Kind::Accepted;
        return answer;
    }
    if (known == clients_.end()) {
        makeRoom(now);
        known = clients_.emplace(client, Client()).first;
    }
    Client &entry = known->second;
    ++entry.failures;
    Clock::duration delay = limits_.firstDelay;
    for (unsigned doubling = 1; doubling < entry.failures && delay < limits_.longestDelay; ++doubling) {
        delay *= 2;
    }
    delay = std::min(delay, limits_.longestDelay);
    entry.last = now;
    entry.next = now + delay;
    anyClientNext_ = now + limits_.anyClientDelay;
    answer.kind = Answer::Kind::Failed;
    answer.retryAfter = wholeSeconds(std::max(delay, limits_.anyClientDelay));
    answer.failuresInARow = entry.failures;
    return answer;
}

void LoginThrottle::makeRoom(Clock::time_point now) {
    if (clients_.size() < limits_.clients) {
        return;
    }
    for (auto item = clients_.begin(); item != clients_.end();) {
        item = now - item->second.last >= limits_.forgetAfter ? clients_.erase(item) : std::next(item);
    }
    while (!clients_.empty() && clients_.size() >= limits_.clients) {
        auto oldest = std::min_element(clients_.begin(), clients_.end(), [](const auto &a, const auto &b) {
            return a.second.last < b.second.last;
        });
        clients_.erase(oldest);
    }
}

} // namespace velquor::host
