// Host.cpp: the state shared by all requests of one host.
// The in-memory stores are the defaults; the page server installs file-backed ones.
#include "host/lib/Host.h"

#include "host/lib/DatabaseStore.h"
#include "host/lib/PreferenceStore.h"

#include <fstream>
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

void Host::writeLog(const std::string &line) {
    LogSink sink;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sink = logSink_;
    }
    if (sink) {
        sink(line);
    }
}

Host::LogSink Host::fileLogSink(const std::string &path) {
    auto mutex = std::make_shared<std::mutex>();
    return [path, mutex](const std::string &line) {
        std::lock_guard<std::mutex> lock(*mutex);
        std::ofstream file(path, std::ios::app | std::ios::binary);
        file << line << '\n';
    };
}

} // namespace velquor::host
