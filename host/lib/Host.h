// Host.h: the host-wide state that every request shares: the site and data folders, the
// preference store, the database store, the module's registration and the log sink.
#ifndef VELQUOR_HOST_HOST_H
#define VELQUOR_HOST_HOST_H

#include "host/lib/Registration.h"
#include "host/lib/SiteFolders.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace velquor::host {

class DatabaseStore;
class LogFile;
class PreferenceStore;

// Built with in-memory preferences and databases and without folders; the page server
// and the tests install folders and file-backed stores as they need. Thread-safe, except
// that the set* / use* calls belong before the requests start.
class Host {
public:
    using LogSink = std::function<void(const std::string &line)>;

    Host();
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    SiteFolders &folders() { return folders_; }
    const SiteFolders &folders() const { return folders_; }

    PreferenceStore &preferences() { return *preferences_; }
    void usePreferences(std::shared_ptr<PreferenceStore> store);
    DatabaseStore &databases() { return *databases_; }
    void useDatabases(std::shared_ptr<DatabaseStore> store);

    // A copy of what the module registered so far.
    Registration registration() const;
    // Changes the registration record under the host's lock.
    void updateRegistration(const std::function<void(Registration &)> &change);

    // Every log line, made safe (LogFile::safeLine: no control byte, at most
    // LogFile::kLineBytes), goes to the sink and to the log file (neither by default: the
    // lines are only kept by the request). False when the log file could not take the
    // line; the first of a run of such failures also sends the sink a line that says why.
    void setLogSink(LogSink sink);
    void useLogFile(std::shared_ptr<LogFile> file);
    bool writeLog(const std::string &line);

private:
    SiteFolders folders_;
    std::shared_ptr<PreferenceStore> preferences_;
    std::shared_ptr<DatabaseStore> databases_;
    mutable std::mutex mutex_;  // registration, sink and log file
    Registration registration_;
    LogSink logSink_;
    std::shared_ptr<LogFile> logFile_;
};

} // namespace velquor::host

#endif
