// DatabaseGuard.h: what a request opened of the host's databases, closed again when the
// guard goes, also when a failed allocation unwinds past the code that opened it.
#pragma once

#include <cstdint>

#include "module/HostDatabase.h"

// Closes the handle (when given one) and shuts the database system down (when told it was
// started) in its destructor, unless released. The calls allocate nothing, so they are
// safe while an exception unwinds.
class QELDatabaseGuard : public QELObject {
public:
    QELDatabaseGuard(const QELHostDatabase &database, bool started) : database_(database), started_(started) {}
    ~QELDatabaseGuard() override {
        if (open_)
            database_.CloseDatabase(handle_);
        if (started_)
            database_.DatabaseShutdown();
    }
    QELDatabaseGuard(const QELDatabaseGuard &) = delete;
    QELDatabaseGuard &operator=(const QELDatabaseGuard &) = delete;

    // The handle is open from now on (until the guard goes or closes it).
    void opened(uint32_t handle) {
        handle_ = handle;
        open_ = true;
    }
    // The handle was closed by the caller.
    void closed() { open_ = false; }
    // The caller keeps what is open and started: the guard closes nothing.
    void release() {
        open_ = false;
        started_ = false;
    }

private:
    const QELHostDatabase &database_;
    bool started_;
    bool open_ = false;
    uint32_t handle_ = 0;
};
