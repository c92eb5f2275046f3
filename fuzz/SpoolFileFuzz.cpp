// SpoolFileFuzz.cpp: fuzzes the reading of a spooled message for a resend: any file with
// its "." line reads as a plain line-by-line reference reads it, any other is truncated, and any text spooled as the job spools it
// (dot-stuffed, then the "." line) reads back as itself less the headers a resend rewrites.
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "foundation/FileStream.h"
#include "foundation/FileSystemItem.h"
#include "fuzz/FuzzCheck.h"
#include "mail/MailDeliveryJob.h"

namespace {

const std::string kHeaders = "Subject: now\r\nTo: someone@example.com\r\n";

// The lines of a text, each ended by CR LF, a lone CR or a lone LF (the last one may
// have no end).
std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find_first_of("\r\n", at);
        if (end == std::string::npos) {
            lines.push_back(text.substr(at));
            break;
        }
        lines.push_back(text.substr(at, end - at));
        at = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return lines;
}

bool Rewritten(const std::string &line) {
    static const char *const kNames[] = {"subject: ", "date: ", "from: ", "reply-to: ", "to: ", "cc: "};
    std::string start = line.substr(0, 10);
    for (char &c : start)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    for (const char *name : kNames)
        if (start.compare(0, std::string(name).size(), name) == 0)
            return true;
    return false;
}

// The headers, then the lines up to the "." line, unstuffed when `stuffed`, less the
// rewritten headers of the header block.
std::string Reference(const std::vector<std::string> &lines, bool stuffed) {
    std::string text = kHeaders;
    bool inHeaders = true;
    for (std::string line : lines) {
        if (stuffed && line == ".")
            break;
        if (stuffed && line.compare(0, 2, "..") == 0)
            line.erase(0, 1);
        if (inHeaders && line.empty())
            inHeaders = false;
        else if (inHeaders && Rewritten(line))
            continue;
        text += line + "\r\n";
    }
    return text;
}

// One scratch file for the whole run, removed at its end. Each input is written over
// the last one and the file cut to its length: truncating to nothing before each write
// would make the file system flush it to disk every time.
struct Scratch {
    std::string path;
    int fd = -1;
    Scratch() {
        char name[] = "/tmp/velquor-spool-fuzz-XXXXXX";
        fd = mkstemp(name);
        FUZZ_CHECK(fd >= 0);
        path = name;
    }
    ~Scratch() {
        close(fd);
        unlink(path.c_str());
    }
};

// The text read, or nothing when the reader finds the file truncated.
std::optional<std::string> ReadSpooled(const std::string &content) {
    static const Scratch scratch;
    const std::string &path = scratch.path;
    FUZZ_CHECK(pwrite(scratch.fd, content.data(), content.size(), 0) == static_cast<ssize_t>(content.size()));
    FUZZ_CHECK(ftruncate(scratch.fd, static_cast<off_t>(content.size())) == 0);
    QELOwned<QELFileStream> stream = OpenFileStream(QELFileSystemItem(fuzz::Qel(path)), FileOpenMode::ReadOnly);
    FUZZ_CHECK(stream);
    QELString text;
    if (!QELMailDeliveryJob::UnspoolText(*stream, fuzz::Qel(kHeaders), text)) {
        FUZZ_CHECK(text.isEmpty());
        return std::nullopt;
    }
    return fuzz::Text(text);
}

}  // namespace

// Input: the spool file's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    const std::vector<std::string> lines = Lines(input);
    // A file is whole only when it holds the "." line.
    const bool ended = std::find(lines.begin(), lines.end(), std::string(".")) != lines.end();
    const std::optional<std::string> read = ReadSpooled(input);
    FUZZ_CHECK(read.has_value() == ended);
    FUZZ_CHECK(!ended || *read == Reference(lines, true));

    std::string message;
    for (const std::string &line : lines)
        message += line + "\r\n";
    const std::string spooled = fuzz::Text(QELMailDeliveryJob::DotStuff(fuzz::Qel(message))) + ".\r\n";
    FUZZ_CHECK(ReadSpooled(spooled) == Reference(lines, false));
    return 0;
}
