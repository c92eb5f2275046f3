// LogFile.cpp: appending safe lines to the log, rotation by size, and the note of lines
// that could not be written.
#include "host/lib/LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace velquor::host {

namespace {

// Room kept at the end of a cut line for the note that tells its full length.
constexpr size_t kNoteRoom = 64;

std::string escapedByte(unsigned char byte) {
    switch (byte) {
    case '\r':
        return "\\r";
    case '\n':
        return "\\n";
    case '\t':
        return "\\t";
    default: {
        char text[8];
        std::snprintf(text, sizeof text, "\\x%02X", byte);
        return text;
    }
    }
}

// The length of the well-formed UTF-8 sequence at text[0] (at most `available` bytes);
// 0 when there is none.
size_t sequenceLength(const unsigned char *text, size_t available) {
    unsigned char first = text[0];
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (first < 0x80) {
        return 1;
    } else if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        low = first == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = first == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        low = first == 0xF0 ? 0x90 : 0x80;
        high = first == 0xF4 ? 0x8F : 0xBF;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (available < length || text[1] < low || text[1] > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (text[i] < 0x80 || text[i] > 0xBF) {
            return 0;
        }
    }
    return length;
}

std::string systemError(const std::string &what, int number) { return what + ": " + std::strerror(number); }

} // namespace

LogFile::LogFile(std::string path) : LogFile(std::move(path), Limits()) {}

LogFile::LogFile(std::string path, Limits limits) : path_(std::move(path)), limits_(limits) {}

LogFile::~LogFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::string LogFile::safeLine(const std::string &text, size_t limit) {
    limit = std::max(limit, 2 * kNoteRoom);
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    std::string out;
    out.reserve(std::min(text.size(), limit) + 16);
    size_t cutAt = std::string::npos;  // where a cut line ends, leaving room for the note
    size_t position = 0;
    while (position < text.size()) {
        size_t length = sequenceLength(bytes + position, text.size() - position);
        bool c1Control = length == 2 && bytes[position] == 0xC2 && bytes[position + 1] <= 0x9F;
        size_t before = out.size();
        if (length == 1 && bytes[position] >= 0x20 && bytes[position] != 0x7F) {
            out += text[position];
        } else if (length > 1 && !c1Control) {
            out.append(text, position, length);
        } else {
            // A control byte, or one that is not part of well-formed UTF-8: each byte shown.
            length = std::max<size_t>(length, 1);
            for (size_t i = 0; i < length; ++i) {
                out += escapedByte(bytes[position + i]);
            }
        }
        position += length;
        if (cutAt == std::string::npos && out.size() > limit - kNoteRoom) {
            cutAt = before;
        }
        if (out.size() > limit) {
            out.resize(cutAt);
            out += " ...[cut: " + std::to_string(text.size()) + " bytes in all]";
            return out;
        }
    }
    return out;
}

bool LogFile::openFile(std::string *reason) {
    int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        *reason = systemError("cannot open " + path_, errno);
        return false;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        *reason = path_ + " is not a regular file";
        return false;
    }
    fd_ = fd;
    size_ = static_cast<uint64_t>(status.st_size);
    return true;
}

bool LogFile::rotate(std::string *reason) {
    ::close(fd_);
    fd_ = -1;
    for (int index = limits_.keptFiles - 1; index >= 1; --index) {
        std::string from = path_ + "." + std::to_string(index);
        std::string to = path_ + "." + std::to_string(index + 1);
        if (::rename(from.c_str(), to.c_str()) != 0 && errno != ENOENT) {
            *reason = systemError("cannot rename " + from, errno);
            return false;
        }
    }
    int moved = limits_.keptFiles >= 1 ? ::rename(path_.c_str(), (path_ + ".1").c_str()) : ::unlink(path_.c_str());
    if (moved != 0 && errno != ENOENT) {
        *reason = systemError("cannot rotate " + path_, errno);
        return false;
    }
    return openFile(reason);
}

bool LogFile::append(const std::string &text, std::string *reason) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t written = ::write(fd_, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            *reason = systemError("cannot write " + path_, errno);
            return false;
        }
        done += static_cast<size_t>(written);
        size_ += static_cast<uint64_t>(written);
    }
    return true;
}

bool LogFile::write(const std::string &line, std::string *newFailure) {
    std::string text = safeLine(line, limits_.lineBytes) + "\n";
    std::lock_guard<std::mutex> lock(mutex_);
    if (lostLines_ > 0) {
        text = "velquor-host: " + std::to_string(lostLines_) + " log line" + (lostLines_ == 1 ? "" : "s") +
               " could not be written here (" + safeLine(lostReason_, limits_.lineBytes / 2) + ")\n" + text;
    }
    std::string reason;
    bool written = true;
    if (fd_ >= 0) {
        // A file removed (or moved away by another rotation) is started again.
        struct stat status {};
        if (::fstat(fd_, &status) != 0 || status.st_nlink == 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    if (fd_ < 0) {
        written = openFile(&reason);
    }
    if (written && size_ > 0 && size_ + text.size() > limits_.fileBytes) {
        written = rotate(&reason);
    }
    written = written && append(text, &reason);
    if (written) {
        lostLines_ = 0;
        return true;
    }
    if (lostLines_ == 0 && newFailure != nullptr) {
        *newFailure = reason;
    }
    ++lostLines_;
    lostReason_ = reason;
    return false;
}

} // namespace velquor::host
