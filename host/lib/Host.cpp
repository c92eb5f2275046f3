// Host.cpp: the state shared by all requests of one host.
// The in-memory stores are the defaults; the page server installs file-backed ones.
#include "host/lib/Host.h"

#include "host/lib/DatabaseStore.h"
#include "host/lib/LogFile.h"
#include "host/lib/PageRequest.h"
#include "host/lib/PreferenceStore.h"

#include <stdexcept>

namespace velquor::host {

Host::Host() : preferences_(std::make_shared<PreferenceStore>()) {
    std::string error;
    databases_ = DatabaseStore::open(":memory:", &error);
    if (databases_ == nullptr) {
        throw std::runtime_error("cannot open an in-memory database: " + error);
    }
}

Host::~Host() = default;

void Host::usePreferences(std::shared_ptr<PreferenceStore> store) {
    if (store != nullptr) {
        preferences_ = std::move(store);
    }
}

void Host::useDatabases(std::shared_ptr<DatabaseStore> store) {
    if (store != nullptr) {
        databases_ = std::move(store);
    }
}

Registration Host::registration() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return registration_;
}

void Host::updateRegistration(const std::function<void(Registration &)> &change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change(registration_);
}

void Host::setLogSink(LogSink sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    logSink_ = std::move(sink);
}

void Host::useLogFile(std::shared_ptr<LogFile> file) {
    std::lock_guard<std::mutex> lock(mutex_);
    logFile_ = std::move(file);
}

bool Host::writeLog(const std::string &line) {
    LogSink sink;
    std::shared_ptr<LogFile> file;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sink = logSink_;
        file = logFile_;
    }
    std::string safe = LogFile::safeLine(line, LogFile::kLineBytes);
    if (sink) {
        sink(safe);
    }
    std::string failure;
    if (file == nullptr || file->write(safe, &failure)) {
        return true;
    }
    if (sink && !failure.empty()) {
        sink(PageRequest::timeStamp() + " " +
             LogFile::safeLine("the log file failed: " + failure + "; its lines are lost until it works again",
                               LogFile::kLineBytes));
    }
    return false;
}

} // namespace velquor::host
