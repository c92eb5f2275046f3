// FaultPlan.h: the faults injected into a request's service answers: refusals, 'MBtS'
// answers, a failing nth call (of one service or of any), a renamed action, and the count
// of calls; one plan per request or shared.
#ifndef VELQUOR_HOST_FAULT_PLAN_H
#define VELQUOR_HOST_FAULT_PLAN_H

#include "module/HostInterface.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velquor::host {

// Rules apply to the service selectors of both callbacks (their codes do not overlap). A
// rule with a name applies only to calls whose name argument (the parameter, preference,
// tag, field or database name the call is about) equals it, ignoring case. Rules are kept
// in the order they were added; every matching rule counts the call, the first rule that
// has something to say decides the answer. All operations are thread-safe.
class FaultPlan {
public:
    struct Decision {
        enum class Kind { Serve, Refuse, BufferTooSmall };
        Kind kind = Kind::Serve;
        int32_t code = 0;  // the answer of a refusal
    };

    // Every matching call answers `code` and changes nothing.
    FaultPlan &refuse(uint32_t selector, const std::string &name = {},
                      int32_t code = static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE));
    // The next `times` matching calls answer 'MBtS' and write the size the answer needs,
    // even when the buffer was large enough (times 2: the module's repeat fails as well).
    FaultPlan &bufferTooSmall(uint32_t selector, uint32_t times = 1, const std::string &name = {});
    // The nth matching call from now on (1 = the next) answers `code`; the others are served.
    FaultPlan &failNth(uint32_t selector, uint32_t nth, const std::string &name = {},
                       int32_t code = static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE));
    // The nth call from now on, whatever its service (1 = the next; every call of either
    // callback counts, also one that breaks the conventions), answers `code` when it asks
    // for its fault; the others are served.
    FaultPlan &failNthCall(uint32_t nth, int32_t code = static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE));
    // RegisterAction answers with this name instead of the one the module offered.
    FaultPlan &renameAction(const std::string &answer);
    // Removes every rule and the action rename, and sets the call count back to 0.
    void clear();

    // For the services: counts one call of any service and answers its number (1 for the
    // first call since the plan was made or cleared). Every call takes a number, once.
    uint32_t countCall();
    // The calls counted so far.
    uint32_t callCount() const;
    // For the services: counts the call against every matching rule and says how to
    // answer; ordinal is the call's number from countCall (0: none taken).
    Decision decide(uint32_t selector, const std::string &name, uint32_t ordinal = 0);
    std::optional<std::string> actionRename() const;

private:
    struct Rule {
        uint32_t selector = 0;
        std::string name;  // empty: any call of the selector
        Decision::Kind kind = Decision::Kind::Refuse;
        int32_t code = 0;
        uint32_t remaining = 0;  // BufferTooSmall: answers still to give
        uint32_t nth = 0;        // failNth: 0 for a rule that applies to every call
        uint32_t seen = 0;       // matching calls counted so far
        bool anyService = false; // failNthCall: nth is the call's number among all calls
    };

    mutable std::mutex mutex_;
    std::vector<Rule> rules_;
    std::optional<std::string> actionRename_;
    uint32_t calls_ = 0;
};

} // namespace velquor::host

#endif
