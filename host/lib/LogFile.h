// LogFile.h: the host's log file: one event per line, no control byte ever reaches it,
// lines are cut at a length and the file is rotated when it reaches its size.
#ifndef VELQUOR_HOST_LOG_FILE_H
#define VELQUOR_HOST_LOG_FILE_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace velquor::host {

// Thread-safe. The file is private to its user (0600 when this class creates it).
class LogFile {
public:
    // The longest line, in bytes: a longer one is cut (its length is noted).
    static constexpr size_t kLineBytes = 8192;

    struct Limits {
        size_t lineBytes = kLineBytes;
        uint64_t fileBytes = 10u << 20;    // the file is rotated before it grows past this
        int keptFiles = 3;                 // rotated files kept: name.1 (newest) to name.N
    };

    explicit LogFile(std::string path);
    LogFile(std::string path, Limits limits);
    ~LogFile();
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

    // Appends the line (made safe with safeLine) and a line feed, rotating the file first
    // when the line would take it past its size: name.N-1 becomes name.N and so on, the
    // file becomes name.1, and a new file is started. False when the line could not be
    // written; when that write is the first to fail after good ones (or the first of all),
    // *newFailure gets a one-line reason, so that a caller reports a failing log once. After
    // a failure the next line that is written is preceded by a line that counts the lost ones.
    bool write(const std::string &line, std::string *newFailure = nullptr);

    // The text on one line of printable characters: control bytes (C0, DEL, and the C1
    // controls U+0080 to U+009F) and bytes that are not part of well-formed UTF-8 become
    // \xNN (CR, LF and TAB \r, \n and \t); the result is at most `limit` bytes, a cut one
    // ending with a note of the text's full length. Applying it twice changes nothing.
    static std::string safeLine(const std::string &text, size_t limit);

    const std::string &path() const { return path_; }

private:
    bool openFile(std::string *reason);
    bool rotate(std::string *reason);
    bool append(const std::string &text, std::string *reason);

    const std::string path_;
    const Limits limits_;
    std::mutex mutex_;
    int fd_ = -1;
    uint64_t size_ = 0;      // bytes in the open file
    uint64_t lostLines_ = 0;  // lines not written since the last good write
    std::string lostReason_;
};

} // namespace velquor::host

#endif
