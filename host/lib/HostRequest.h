// HostRequest.h: one request as the module sees it through the host services, and what
// the module did in it: output, page variables, error info, log entries, every call.
#ifndef VELQUOR_HOST_HOST_REQUEST_H
#define VELQUOR_HOST_HOST_REQUEST_H

#include "host/lib/FaultPlan.h"
#include "host/lib/ServiceCall.h"
#include "module/HostInterface.h"

#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace velquor::host {

class Host;

// Names of tag parameters, form arguments, CGI variables and page variables are matched
// ignoring ASCII case; parameters and form arguments keep their document order and their
// repeats (occurrence index 0, 1, ...). The HostContext's hostRef is the request's id,
// never given to another request, so a module that keeps a finished request's context
// reaches nothing with it. The object is neither copied nor moved. The setters belong
// before the module is called; the module's calls arrive on the request's thread.
// The call record (calls(), callsOf, countCalls) is kept only while recording is on: it
// is off unless asked for, since it copies every argument and all of the output.
class HostRequest {
public:
    using EntryPoint = int32_t (*)(HostContext *);

    struct ErrorInfo {
        std::string message;
        std::string explanation;
    };

    struct LogEntry {
        uint32_t kind = 0;
        std::string text;
        std::string line;  // as written to the host's log sink, with its time stamp
    };

    // A request on a host of its own (in-memory stores, no folders).
    explicit HostRequest(uint32_t requestCode = QEL_REQUEST_TAG);
    HostRequest(Host &host, uint32_t requestCode);
    ~HostRequest();
    HostRequest(const HostRequest &) = delete;
    HostRequest &operator=(const HostRequest &) = delete;

    // The record to hand to ProcessQELRequest: hostRef names this request, the callbacks
    // are HostServiceCallback / HostDatabaseServiceCallback, the memory functions
    // HostAllocate / HostRelease.
    HostContext *context();
    // Calls the module's entry point with context(). From then on, service calls are served
    // only while the entry point runs and only on the calling thread; others are refused
    // with 'MGen' and recorded as protocol violations.
    int32_t run(EntryPoint entry);
    // Ends the request: closes the database handles (and so the locks) it left open.
    // The destructor does it too, after waiting for the calls in progress in the request
    // (from then on its hostRef answers 'MGen').
    void end();

    Host &host() { return *host_; }
    uint64_t id() const { return id_; }
    FaultPlan &faults() { return *faults_; }
    // Uses a plan shared with other requests instead of this request's own.
    void shareFaults(std::shared_ptr<FaultPlan> plan);

    // --- what the request carries -------------------------------------------------------
    void setRequestCode(uint32_t code);
    uint32_t requestCode() const { return context_.requestCode; }
    void setTagName(const std::string &name) { tagName_ = name; }
    const std::string &tagName() const { return tagName_; }
    void addTagParameter(const std::string &name, const std::string &value);
    void clearTagParameters() { tagParameters_.clear(); }
    const std::vector<std::pair<std::string, std::string>> &tagParameters() const { return tagParameters_; }
    std::optional<std::string> tagParameter(const std::string &name, uint32_t occurrence) const;
    void setTagBody(const std::string &body) { tagBody_ = body; }
    void clearTagBody() { tagBody_.reset(); }
    const std::optional<std::string> &tagBody() const { return tagBody_; }
    void addFormArgument(const std::string &name, const std::string &value);
    const std::vector<std::pair<std::string, std::string>> &formArguments() const { return formArguments_; }
    std::optional<std::string> formArgument(const std::string &name, uint32_t occurrence) const;
    void setCGIVariable(const std::string &name, const std::string &value);
    std::optional<std::string> cgiVariable(const std::string &name) const;
    void setVirtualHost(const std::string &name) { virtualHost_ = name; }
    const std::string &virtualHost() const { return virtualHost_; }
    // The absolute folder of the page being served.
    void setPageFolder(const std::string &path) { pageFolder_ = path; }
    const std::string &pageFolder() const { return pageFolder_; }
    void setRegion(const std::string &region) { region_ = region; }
    const std::string &region() const { return region_; }
    void setActionName(const std::string &name) { actionName_ = name; }
    const std::string &actionName() const { return actionName_; }

    // --- what the module did ----------------------------------------------------------------
    const std::string &output() const { return output_; }
    void appendOutput(std::string_view text) { output_ += text; }
    void clearOutput() { output_.clear(); }
    void setPageVariable(const std::string &name, const std::string &value);
    std::optional<std::string> pageVariable(const std::string &name) const;
    const std::vector<std::pair<std::string, std::string>> &pageVariables() const { return pageVariables_; }
    // The last message and explanation set, if any.
    const std::optional<ErrorInfo> &errorInfo() const { return errorInfo_; }
    void setErrorInfo(const std::string &message, const std::string &explanation);
    void clearErrorInfo() { errorInfo_.reset(); }
    const std::vector<LogEntry> &logEntries() const { return logEntries_; }
    // Keeps the entry and writes its time-stamped line (CR and LF shown as \r \n) to the
    // host's log sink.
    // False when the host's log could not take the line (the entry is kept all the same).
    bool addLogEntry(uint32_t kind, const std::string &text);

    // --- the call record ------------------------------------------------------------------
    // Keeps a record of every service call from now on (off by default).
    void setRecording(bool on) { recording_ = on; }
    bool recording() const { return recording_; }
    const std::vector<ServiceCall> &calls() const { return calls_; }
    std::vector<ServiceCall> callsOf(uint32_t selector) const;
    size_t countCalls(uint32_t selector) const;
    // Calls of the selector about that name (ignoring case).
    size_t countCalls(uint32_t selector, const std::string &name) const;
    // The calls that broke the call conventions, or were refused because they came
    // outside the running entry point (see run), in the order they came; kept whether
    // recording or not. While recording, each is its call's record text.
    std::vector<std::string> protocolViolations() const;
    // Notes a protocol violation; safe from any thread.
    void noteViolation(const std::string &text);
    // Forgets the call record and the protocol violations.
    void clearCalls();
    // Keeps a call's record (only while recording).
    void record(ServiceCall call);

    // Database system starts not yet matched by a shutdown.
    int databaseStarts() const { return databaseStarts_; }
    void setDatabaseStarts(int starts) { databaseStarts_ = starts; }

    // The way into a request for both service callbacks: finds the live request hostRef
    // names ('MGen' for a request that ended or never was) and keeps it alive while the
    // call runs, refuses (and notes) a call it cannot accept now, and runs serve. Safe
    // from any thread; never throws: anything escaping answers 'MGen'.
    static int32_t serveCall(uintptr_t hostRef, uint32_t selector, const std::function<int32_t(HostRequest &)> &serve);

private:
    void initialise(uint32_t requestCode);
    // Whether a call arriving now may be served (see run); the reason when not.
    bool acceptsCalls(std::string *reason) const;

    std::unique_ptr<Host> ownHost_;
    Host *host_ = nullptr;
    uint64_t id_ = 0;
    HostContext context_{};
    std::shared_ptr<FaultPlan> faults_;

    std::string tagName_;
    std::vector<std::pair<std::string, std::string>> tagParameters_;
    std::optional<std::string> tagBody_;
    std::vector<std::pair<std::string, std::string>> formArguments_;
    std::vector<std::pair<std::string, std::string>> cgiVariables_;
    std::string virtualHost_;
    std::string pageFolder_;
    std::string region_;
    std::string actionName_;

    std::string output_;
    std::vector<std::pair<std::string, std::string>> pageVariables_;
    std::optional<ErrorInfo> errorInfo_;
    std::vector<LogEntry> logEntries_;
    bool recording_ = false;
    std::vector<ServiceCall> calls_;
    int databaseStarts_ = 0;

    mutable std::mutex callMutex_;  // what calls from any thread read or note
    bool guarded_ = false;          // run() was used: calls only while the entry point runs
    bool running_ = false;
    std::thread::id runningThread_;
    std::vector<std::string> violations_;
};

} // namespace velquor::host

#endif
