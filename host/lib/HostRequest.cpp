// HostRequest.cpp: the state of one request, its context record and the registry that
// maps a hostRef back to a live request and keeps it alive while calls run in it.
#include "host/lib/HostRequest.h"

#include "host/lib/DatabaseStore.h"
#include "host/lib/Host.h"
#include "host/lib/HostMemory.h"
#include "host/lib/HostServices.h"
#include "host/lib/HostText.h"

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <unordered_map>

namespace velquor::host {

namespace {

static_assert(sizeof(uintptr_t) >= sizeof(uint64_t), "a hostRef holds a request id");

// The live requests by hostRef, each with the calls running in it. A request leaves only
// when no call runs in it, so a call that found it may use it until it returns.
class Registry {
public:
    void add(uint64_t ref, HostRequest *request) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_[ref].request = request;
    }

    // The request the ref names, kept until leave(ref); null when it is not live.
    HostRequest *enter(uint64_t ref) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = entries_.find(ref);
        if (found == entries_.end() || found->second.closing) {
            return nullptr;
        }
        ++found->second.calls;
        return found->second.request;
    }

    void leave(uint64_t ref) {
        std::lock_guard<std::mutex> lock(mutex_);
        Entry &entry = entries_.at(ref);
        if (--entry.calls == 0 && entry.closing) {
            drained_.notify_all();
        }
    }

    // Takes the ref out: no call enters from now on; returns once the calls in it are done.
    void remove(uint64_t ref) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto found = entries_.find(ref);
        if (found == entries_.end()) {
            return;
        }
        Entry &entry = found->second;
        entry.closing = true;
        drained_.wait(lock, [&] { return entry.calls == 0; });
        entries_.erase(ref);
    }

private:
    struct Entry {
        HostRequest *request = nullptr;
        int calls = 0;
        bool closing = false;
    };

    std::mutex mutex_;
    std::condition_variable drained_;
    std::unordered_map<uint64_t, Entry> entries_;  // node-based: an entry stays put
};

// Never destroyed, so a request that outlives static destruction still finds it.
Registry &registry() {
    static Registry *requests = new Registry();
    return *requests;
}

std::atomic<uint64_t> nextRequestId{1};

std::optional<std::string> findOccurrence(const std::vector<std::pair<std::string, std::string>> &list,
                                          const std::string &name, uint32_t occurrence) {
    uint32_t seen = 0;
    for (const auto &[key, value] : list) {
        if (HostText::equalsIgnoringCase(key, name)) {
            if (seen == occurrence) {
                return value;
            }
            ++seen;
        }
    }
    return std::nullopt;
}

void setUnique(std::vector<std::pair<std::string, std::string>> &list, const std::string &name,
               const std::string &value) {
    for (auto &[key, existing] : list) {
        if (HostText::equalsIgnoringCase(key, name)) {
            existing = value;
            return;
        }
    }
    list.emplace_back(name, value);
}

std::string timeStamp() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

} // namespace

HostRequest::HostRequest(uint32_t requestCode) : ownHost_(std::make_unique<Host>()) {
    host_ = ownHost_.get();
    initialise(requestCode);
}

HostRequest::HostRequest(Host &host, uint32_t requestCode) : host_(&host) { initialise(requestCode); }

void HostRequest::initialise(uint32_t requestCode) {
    id_ = nextRequestId.fetch_add(1);
    faults_ = std::make_shared<FaultPlan>();
    context_.hostRef = static_cast<uintptr_t>(id_);
    context_.requestCode = requestCode;
    context_.callback = HostServiceCallback;
    context_.databaseCallback = HostDatabaseServiceCallback;
    context_.allocate = HostAllocate;
    context_.release = HostRelease;
    registry().add(id_, this);
}

HostRequest::~HostRequest() {
    registry().remove(id_);
    end();
}

HostContext *HostRequest::context() { return &context_; }

int32_t HostRequest::run(EntryPoint entry) {
    {
        std::lock_guard<std::mutex> lock(callMutex_);
        guarded_ = true;
        runningThread_ = std::this_thread::get_id();
        running_ = true;
    }
    struct Stop {
        HostRequest &request;
        ~Stop() {
            std::lock_guard<std::mutex> lock(request.callMutex_);
            request.running_ = false;
        }
    } stop{*this};
    return entry(&context_);
}

void HostRequest::end() {
    host_->databases().closeAll(id_);
    databaseStarts_ = 0;
}

void HostRequest::shareFaults(std::shared_ptr<FaultPlan> plan) {
    if (plan != nullptr) {
        faults_ = std::move(plan);
    }
}

void HostRequest::setRequestCode(uint32_t code) { context_.requestCode = code; }

void HostRequest::addTagParameter(const std::string &name, const std::string &value) {
    tagParameters_.emplace_back(name, value);
}

std::optional<std::string> HostRequest::tagParameter(const std::string &name, uint32_t occurrence) const {
    return findOccurrence(tagParameters_, name, occurrence);
}

void HostRequest::addFormArgument(const std::string &name, const std::string &value) {
    formArguments_.emplace_back(name, value);
}

std::optional<std::string> HostRequest::formArgument(const std::string &name, uint32_t occurrence) const {
    return findOccurrence(formArguments_, name, occurrence);
}

void HostRequest::setCGIVariable(const std::string &name, const std::string &value) {
    setUnique(cgiVariables_, name, value);
}

std::optional<std::string> HostRequest::cgiVariable(const std::string &name) const {
    return findOccurrence(cgiVariables_, name, 0);
}

void HostRequest::setPageVariable(const std::string &name, const std::string &value) {
    setUnique(pageVariables_, name, value);
}

std::optional<std::string> HostRequest::pageVariable(const std::string &name) const {
    return findOccurrence(pageVariables_, name, 0);
}

void HostRequest::setErrorInfo(const std::string &message, const std::string &explanation) {
    errorInfo_ = ErrorInfo{message, explanation};
}

bool HostRequest::addLogEntry(uint32_t kind, const std::string &text) {
    LogEntry entry;
    entry.kind = kind;
    entry.text = text;
    entry.line = timeStamp() + " " + HostText::fourCharCode(kind) + " " + HostText::oneLine(text);
    bool written = host_->writeLog(entry.line);
    logEntries_.push_back(std::move(entry));
    return written;
}

std::vector<ServiceCall> HostRequest::callsOf(uint32_t selector) const {
    std::vector<ServiceCall> result;
    for (const ServiceCall &call : calls_) {
        if (call.selector == selector) {
            result.push_back(call);
        }
    }
    return result;
}

size_t HostRequest::countCalls(uint32_t selector) const {
    size_t count = 0;
    for (const ServiceCall &call : calls_) {
        count += call.selector == selector ? 1 : 0;
    }
    return count;
}

size_t HostRequest::countCalls(uint32_t selector, const std::string &name) const {
    size_t count = 0;
    for (const ServiceCall &call : calls_) {
        count += call.selector == selector && HostText::equalsIgnoringCase(call.name, name) ? 1 : 0;
    }
    return count;
}

void HostRequest::record(ServiceCall call) {
    if (recording_) {
        calls_.push_back(std::move(call));
    }
}

void HostRequest::clearCalls() {
    calls_.clear();
    std::lock_guard<std::mutex> lock(callMutex_);
    violations_.clear();
}

void HostRequest::noteViolation(const std::string &text) {
    std::lock_guard<std::mutex> lock(callMutex_);
    violations_.push_back(text);
}

std::vector<std::string> HostRequest::protocolViolations() const {
    std::lock_guard<std::mutex> lock(callMutex_);
    return violations_;
}

int32_t HostRequest::serveCall(uintptr_t hostRef, uint32_t selector,
                               const std::function<int32_t(HostRequest &)> &serve) {
    const int32_t general = static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);
    try {
        HostRequest *request = registry().enter(hostRef);
        if (request == nullptr) {
            return general;
        }
        struct Leave {
            uint64_t ref;
            ~Leave() { registry().leave(ref); }
        } leave{hostRef};
        std::string reason;
        if (!request->acceptsCalls(&reason)) {
            request->noteViolation(HostText::fourCharCode(selector) + " [violation: " + reason + "]");
            return general;
        }
        return serve(*request);
    } catch (...) {
        return general;
    }
}

bool HostRequest::acceptsCalls(std::string *reason) const {
    std::lock_guard<std::mutex> lock(callMutex_);
    if (!guarded_) {
        return true;
    }
    if (!running_) {
        *reason = "a service call after the request's entry point returned";
        return false;
    }
    if (std::this_thread::get_id() != runningThread_) {
        *reason = "a service call from a thread other than the request's";
        return false;
    }
    return true;
}

} // namespace velquor::host
