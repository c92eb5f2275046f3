// ServerSettings.h: QELServerSettings, how the module talks to each mail server (plain,
// STARTTLS or TLS, SMTP credentials, a CA file), read from the module's settings file.
#pragma once

#include <cstdint>
#include <mutex>

#include "foundation/Array.h"
#include "foundation/Object.h"
#include "foundation/String.h"

// The settings file, in the data folder kFolderName, is made of sections:
//
//   # comment (also "; comment"); blank lines are ignored
//   [smtp.example.com:587]        the server as pages name it: "host" or "host:port"
//   security = starttls           none (the default), starttls or tls
//   user = web@example.com        SMTP AUTH (with password); needs starttls or tls
//   password = secret             the rest of the line, blanks at both ends removed
//   ca-file = /path/ca.pem        trust this CA file instead of the system's store
//
// A server named "host:port" takes the section "[host:port]", else "[host]"; a server
// named "host" takes "[host]". A server without a section gets security none.
class QELServerSettings : public QELObject {
public:
    enum Security : uint32_t { kNone = 0, kStartTLS = 1, kTLS = 2 };

    // The settings of one server.
    struct Entry {
        Security security = kNone;
        QELString user;
        QELString password;
        QELString caFile;
    };

    static constexpr const char *kFolderName = "Settings";
    static constexpr const char *kFileName = "servers.conf";
    // A settings file larger than this is refused.
    static constexpr uint32_t kMostBytes = 1024 * 1024;

    // The settings the whole module uses.
    static QELServerSettings &Shared();

    QELServerSettings();
    ~QELServerSettings() override;

    // Names the settings file (an empty path: no file, every server gets security none).
    void setFilePath(const QELString &path);

    // Reads the file again when it changed since the last reading (or was never read).
    // Returns why a changed file cannot be used, once per change, for the log; "" when it
    // can be used, is missing, or did not change.
    QELString refresh();

    // The settings for server ("host" or "host:port", as a page names it), after a refresh.
    // False when the settings file cannot be used; error then says why (never a secret),
    // and nothing may be sent to any mail server, since the file may have asked for
    // security.
    bool find(const QELString &server, Entry *entry, QELString *error);

    // Parses settings text into this object's sections. False with "line N: ..." in error
    // for the first malformed line; the sections are then empty.
    bool parse(const QELString &text, QELString *error);

    // Whether any section holds a password.
    bool holdsPassword() const;

private:
    struct Section;
    static void DisposeSection(uintptr_t *slot);
    const Section *sectionFor(const QELString &host, uint32_t port) const;

    std::mutex mutex_;
    QELString path_;
    QELArray sections_;
    bool usable_;          // the file can be used (missing counts as usable)
    QELString problem_;    // why it cannot, when it cannot
    bool read_;            // the file was read at least once
    uint64_t stampSize_;
    int64_t stampTime_;
    uint64_t stampDevice_;
    uint64_t stampInode_;
    bool stampOthers_;
    bool stampPresent_;
};
