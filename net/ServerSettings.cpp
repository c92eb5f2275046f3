// ServerSettings.cpp: parsing the mail servers' settings file, its checks (malformed lines,
// passwords readable by others) and re-reading it when its stamp changes.
#include "net/ServerSettings.h"

#include "foundation/NumberText.h"
#include "net/TCPConnection.h"
#include "platform/File.h"

namespace {

const char kBlanks[] = " \t";

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

QELString LineError(uint32_t line, const char *text) {
    return QELString("line ") + IntegerToText(line) + ": " + text;
}

// "host" or "host:port" in lower case, with port 0 when none was given. False when the
// text is no server name.
bool SplitServer(const QELString &text, QELString *host, uint32_t *port) {
    uint16_t given = 0;
    if (!SplitHostAndPort(text, 0, host, &given))
        return false;
    for (uint32_t i = 0; i < host->length(); ++i)
        if (IsControl((*host)[i]) || (*host)[i] == ' ')
            return false;
    host->toLower();
    *port = given;
    return true;
}

}  // namespace

struct QELServerSettings::Section : public QELObject {
    QELString host;
    uint32_t port = 0;  // 0: the section names no port
    uint32_t line = 0;
    Entry entry;
    bool securityGiven = false;
};

void QELServerSettings::DisposeSection(uintptr_t *slot) {
    delete reinterpret_cast<Section *>(*slot);
    *slot = 0;
}

QELServerSettings &QELServerSettings::Shared() {
    static QELServerSettings *settings = new QELServerSettings();  // lives as long as the module
    return *settings;
}

QELServerSettings::QELServerSettings()
    : sections_(DisposeSection),
      usable_(true),
      read_(false),
      stampSize_(0),
      stampTime_(0),
      stampDevice_(0),
      stampInode_(0),
      stampOthers_(false),
      stampPresent_(false) {}

QELServerSettings::~QELServerSettings() = default;

void QELServerSettings::setFilePath(const QELString &path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (path == path_)
        return;
    path_ = path;
    read_ = false;
}

bool QELServerSettings::parse(const QELString &text, QELString *error) {
    sections_.clear();
    Section *current = nullptr;
    uint32_t lineNumber = 0;
    uint32_t start = 0;
    QELString failure;
    auto finishSection = [&](Section *section) -> bool {
        if (section == nullptr)
            return true;
        const Entry &entry = section->entry;
        if (entry.user.isEmpty() != entry.password.isEmpty()) {
            failure = LineError(section->line, "a user needs a password, and a password a user");
            return false;
        }
        if (!entry.user.isEmpty() && entry.security == kNone) {
            failure = LineError(section->line,
                                "a user and password need security starttls or tls (they never go out in plain text)");
            return false;
        }
        return true;
    };
    while (start <= text.length() && failure.isEmpty()) {
        uint32_t end = text.length();
        text.find("\n", &end, start);
        QELString line = text.substring(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (line.endsWith("\r"))
            line.dropLast(1);
        line.trim(kBlanks);
        if (line.isEmpty() || line.startsWith("#") || line.startsWith(";"))
            continue;
        for (uint32_t i = 0; i < line.length(); ++i) {
            if (IsControl(line[i]) && line[i] != '\t') {
                failure = LineError(lineNumber, "holds a control character");
                break;
            }
        }
        if (!failure.isEmpty())
            break;
        if (line.startsWith("[")) {
            if (!line.endsWith("]")) {
                failure = LineError(lineNumber, "a section heading is [host] or [host:port]");
                break;
            }
            QELString name = line.substring(1, line.length() - 2);
            name.trim(kBlanks);
            QELOwned<Section> section(new Section());
            if (!SplitServer(name, &section->host, &section->port)) {
                failure = LineError(lineNumber, "a section heading is [host] or [host:port]");
                break;
            }
            const Section *same = sectionFor(section->host, section->port);
            if (same != nullptr && same->port == section->port) {
                failure = LineError(lineNumber, "a second section for the same server");
                break;
            }
            if (!finishSection(current))
                break;
            section->line = lineNumber;
            current = section.release();
            sections_.append(reinterpret_cast<uintptr_t>(current));
            continue;
        }
        uint32_t equals;
        if (!line.find("=", &equals)) {
            failure = LineError(lineNumber, "not a [server] heading, a setting (name = value) or a comment");
            break;
        }
        if (current == nullptr) {
            failure = LineError(lineNumber, "a setting before the first [server] heading");
            break;
        }
        QELString key = line.substring(0, equals);
        key.trim(kBlanks);
        key.toLower();
        QELString value = line.substring(equals + 1, line.length() - equals - 1);
        value.trim(kBlanks);
        Entry &entry = current->entry;
        QELString *target = nullptr;
        if (key == "security") {
            if (current->securityGiven) {
                failure = LineError(lineNumber, "a setting given twice in one section");
                break;
            }
            current->securityGiven = true;
            QELString mode = value;
            mode.toLower();
            if (mode == "none")
                entry.security = kNone;
            else if (mode == "starttls")
                entry.security = kStartTLS;
            else if (mode == "tls")
                entry.security = kTLS;
            else
                failure = LineError(lineNumber, "security is none, starttls or tls");
            continue;
        }
        if (key == "user")
            target = &entry.user;
        else if (key == "password")
            target = &entry.password;
        else if (key == "ca-file")
            target = &entry.caFile;
        if (target == nullptr) {
            failure = LineError(lineNumber, "an unknown setting (known: security, user, password, ca-file)");
            break;
        }
        if (!target->isEmpty()) {
            failure = LineError(lineNumber, "a setting given twice in one section");
            break;
        }
        if (value.isEmpty()) {
            failure = LineError(lineNumber, "a setting without a value");
            break;
        }
        *target = value;
    }
    if (failure.isEmpty())
        finishSection(current);
    if (!failure.isEmpty()) {
        sections_.clear();
        if (error != nullptr)
            *error = failure;
        return false;
    }
    return true;
}

bool QELServerSettings::holdsPassword() const {
    for (uint32_t i = 0; i < sections_.count(); ++i)
        if (!reinterpret_cast<const Section *>(sections_.value(i))->entry.password.isEmpty())
            return true;
    return false;
}

const QELServerSettings::Section *QELServerSettings::sectionFor(const QELString &host, uint32_t port) const {
    const Section *hostOnly = nullptr;
    for (uint32_t i = 0; i < sections_.count(); ++i) {
        const Section *section = reinterpret_cast<const Section *>(sections_.value(i));
        if (section->host != host)
            continue;
        if (section->port == port)
            return section;
        if (section->port == 0)
            hostOnly = section;
    }
    return hostOnly;
}

QELString QELServerSettings::refresh() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (path_.isEmpty()) {
        sections_.clear();
        usable_ = true;
        problem_.clear();
        read_ = true;
        return QELString();
    }
    platform::FileHandle file =
        platform::OpenExistingFile(path_.text(), platform::FileAccess::Read, platform::FileSharing::Readers);
    platform::FileStamp stamp{};
    bool present = file != platform::kInvalidFileHandle && platform::GetFileStamp(file, &stamp);
    if (read_ && present == stampPresent_ &&
        (!present || (stamp.size == stampSize_ && stamp.modifiedNanoseconds == stampTime_ &&
                      stamp.device == stampDevice_ && stamp.inode == stampInode_ &&
                      stamp.othersHaveAccess == stampOthers_))) {
        if (file != platform::kInvalidFileHandle)
            platform::CloseFile(file);
        return QELString();
    }
    read_ = true;
    stampPresent_ = present;
    stampSize_ = stamp.size;
    stampTime_ = stamp.modifiedNanoseconds;
    stampDevice_ = stamp.device;
    stampInode_ = stamp.inode;
    stampOthers_ = stamp.othersHaveAccess;
    sections_.clear();
    usable_ = true;
    problem_.clear();
    if (!present) {
        if (file != platform::kInvalidFileHandle)
            platform::CloseFile(file);
        // A missing file asks for nothing; one that exists but cannot be opened may.
        if (platform::ItemExists(path_.text())) {
            usable_ = false;
            problem_ = QELString("the server settings file ") + path_ + " cannot be read";
        }
        return problem_;
    }
    QELString text;
    if (stamp.size > kMostBytes) {
        problem_ = QELString("the server settings file ") + path_ + " is larger than " + IntegerToText(kMostBytes) +
                   " bytes";
    } else {
        uint32_t size = static_cast<uint32_t>(stamp.size);
        char *bytes = text.beginWrite(size);
        uint32_t got = bytes != nullptr ? platform::ReadFileAt(file, 0, bytes, size) : 0;
        text.endWrite(static_cast<int32_t>(got));
        if (got != size)
            problem_ = QELString("the server settings file ") + path_ + " could not be read whole";
    }
    platform::CloseFile(file);
    QELString error;
    if (problem_.isEmpty() && !parse(text, &error))
        problem_ = QELString("the server settings file ") + path_ + " is not used: " + error;
    if (problem_.isEmpty() && stamp.othersHaveAccess && holdsPassword()) {
        sections_.clear();
        problem_ = QELString("the server settings file ") + path_ +
                   " holds a password and other users may read it; it is not used until only its owner "
                   "can (chmod 600)";
    }
    usable_ = problem_.isEmpty();
    return problem_;
}

bool QELServerSettings::find(const QELString &server, Entry *entry, QELString *error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!usable_) {
        if (error != nullptr)
            *error = problem_;
        return false;
    }
    *entry = Entry();
    QELString host;
    uint32_t port = 0;
    if (!SplitServer(server, &host, &port))
        return true;  // no name to match: the lookup of the name itself will fail
    const Section *section = sectionFor(host, port);
    if (section != nullptr && (section->port == port || section->port == 0)) {
        // Copies of their own, so that no caller shares a buffer with the settings.
        entry->security = section->entry.security;
        entry->user = QELString(section->entry.user.text(), section->entry.user.length());
        entry->password = QELString(section->entry.password.text(), section->entry.password.length());
        entry->caFile = QELString(section->entry.caFile.text(), section->entry.caFile.length());
    }
    return true;
}
