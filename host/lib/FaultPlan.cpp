// FaultPlan.cpp: matching of service calls against the injected faults.
// Every matching rule counts a call; the first rule with an answer decides it.
#include "host/lib/FaultPlan.h"

#include "host/lib/HostText.h"

namespace velquor::host {

FaultPlan &FaultPlan::refuse(uint32_t selector, const std::string &name, int32_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    Rule rule;
    rule.selector = selector;
    rule.name = name;
    rule.kind = Decision::Kind::Refuse;
    rule.code = code;
    rules_.push_back(rule);
    return *this;
}

FaultPlan &FaultPlan::bufferTooSmall(uint32_t selector, uint32_t times, const std::string &name) {
    std::lock_guard<std::mutex> lock(mutex_);
    Rule rule;
    rule.selector = selector;
    rule.name = name;
    rule.kind = Decision::Kind::BufferTooSmall;
    rule.code = static_cast<int32_t>(QEL_ANSWER_BUFFER_TOO_SMALL);
    rule.remaining = times;
    rules_.push_back(rule);
    return *this;
}

FaultPlan &FaultPlan::failNth(uint32_t selector, uint32_t nth, const std::string &name, int32_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    Rule rule;
    rule.selector = selector;
    rule.name = name;
    rule.kind = Decision::Kind::Refuse;
    rule.code = code;
    rule.nth = nth == 0 ? 1 : nth;
    rules_.push_back(rule);
    return *this;
}

FaultPlan &FaultPlan::failNthCall(uint32_t nth, int32_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    Rule rule;
    rule.kind = Decision::Kind::Refuse;
    rule.code = code;
    rule.nth = calls_ + (nth == 0 ? 1 : nth);
    rule.anyService = true;
    rules_.push_back(rule);
    return *this;
}

FaultPlan &FaultPlan::renameAction(const std::string &answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    actionRename_ = answer;
    return *this;
}

void FaultPlan::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.clear();
    actionRename_.reset();
    calls_ = 0;
}

uint32_t FaultPlan::countCall() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ++calls_;
}

uint32_t FaultPlan::callCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

FaultPlan::Decision FaultPlan::decide(uint32_t selector, const std::string &name, uint32_t ordinal) {
    std::lock_guard<std::mutex> lock(mutex_);
    Decision decision;
    bool decided = false;
    for (Rule &rule : rules_) {
        if (rule.anyService) {
            // Counted by countCall, not here: the rule names one call among all.
            if (ordinal != 0 && ordinal == rule.nth && !decided) {
                decision.kind = rule.kind;
                decision.code = rule.code;
                decided = true;
            }
            continue;
        }
        if (rule.selector != selector) {
            continue;
        }
        if (!rule.name.empty() && !HostText::equalsIgnoringCase(rule.name, name)) {
            continue;
        }
        ++rule.seen;
        bool applies = false;
        if (rule.kind == Decision::Kind::BufferTooSmall) {
            // An 'MBtS' answer is used up only when it is the one given.
            if (rule.remaining > 0 && !decided) {
                --rule.remaining;
                applies = true;
            }
        } else if (rule.nth != 0) {
            applies = rule.seen == rule.nth;
        } else {
            applies = true;
        }
        if (applies && !decided) {
            decision.kind = rule.kind;
            decision.code = rule.code;
            decided = true;
        }
    }
    return decision;
}

std::optional<std::string> FaultPlan::actionRename() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return actionRename_;
}

} // namespace velquor::host
