// MultipartMessageBench.cpp: the multipart parser on 50 MB bodies (1,000 text parts of
// 50 KB; one 50 MB form-data file written to disk) beside a plain walk with std::string_view
// and POSIX writes, each run in a process of its own for its peak memory beyond the body.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "foundation/FileSystemItem.h"
#include "mail/MultipartMessage.h"

namespace {

const char kBoundary[] = "bench-boundary-7d3f9a1c";
constexpr uint32_t kTextParts = 1000;
constexpr uint32_t kTextPartBytes = 50 * 1024;
constexpr uint32_t kFileBytes = 50u << 20;

enum class Shape { TextParts, FormDataFile };

// The body of a shape, built in place (the body is the only large block of the process).
QELString MakeBody(Shape shape) {
    const std::string delimiter = std::string("--") + kBoundary;
    QELString body;
    if (shape == Shape::TextParts) {
        const std::string line = "The quick brown fox jumps over the lazy dog in a line of a benchmark text.\r\n";
        std::string content;
        while (content.size() < kTextPartBytes)
            content += line;
        content.resize(kTextPartBytes);
        body.reserve(kTextParts * (kTextPartBytes + 128));
        for (uint32_t i = 0; i < kTextParts; ++i) {
            body.append((delimiter + "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n").c_str());
            body.append(content.data(), kTextPartBytes);
            body.append("\r\n");
        }
    } else {
        body.reserve(kFileBytes + 512);
        body.append((delimiter + "\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"data.bin\"\r\n"
                                 "Content-Type: application/octet-stream\r\n\r\n")
                        .c_str());
        uint32_t state = 12345;
        char block[4096];
        for (uint32_t done = 0; done < kFileBytes; done += sizeof block) {
            for (char &byte : block) {
                state = state * 1103515245u + 12345u;
                byte = static_cast<char>(state >> 16);
            }
            body.append(block, sizeof block);
        }
        body.append("\r\n");
    }
    body.append((delimiter + "--\r\n").c_str());
    return body;
}

long long StatusKilobytes(const char *field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(prefix, 0) == 0)
            return std::atoll(line.c_str() + prefix.size());
    return -1;
}

// Starts the peak resident size afresh at the current resident size.
bool ResetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

// The module's parser, as the qelPOP tag calls it. True when the text result or the
// stored file is what the body holds.
bool ParseWithModule(const QELString &body, Shape shape, const std::string &folder) {
    QELMultipartMessage parser;
    QELNameValueList list;
    QELString text;
    const QELStringSplitter patterns(QELString(".*"), QELString(","));
    QELString folderPath(folder.c_str());
    parser.ParseMultipart(body, QELString(kBoundary), 0, body.length(), folderPath, patterns, 0, text, &list);
    if (shape == Shape::TextParts)
        return text.length() == kTextPartBytes;
    if (parser.storedFileCount() != 1)
        return false;
    const QELString path = parser.storedFilePath(0);
    const bool whole = QELFileSpecification(path).GetSize() == kFileBytes;
    parser.RemoveStoredFiles();
    return whole;
}

// The reference: the same walk with std::string_view, the last text part copied into a
// std::string, the file part written with pwrite in the same pieces.
bool ParseWithReference(const QELString &body, Shape shape, const std::string &folder) {
    const std::string_view all(body.text(), body.length());
    const std::string delimiter = std::string("--") + kBoundary;
    const size_t closing = all.rfind(delimiter + "--");
    size_t current = all.find(delimiter);
    if (closing == std::string_view::npos || current == std::string_view::npos)
        return false;
    std::string text;
    size_t stored = 0;
    while (current < closing) {
        const size_t next = all.find(delimiter, current + delimiter.size());
        const size_t begin = current + delimiter.size() + 2;
        const size_t blank = all.substr(0, next).find("\r\n\r\n", begin);
        if (next == std::string_view::npos || blank == std::string_view::npos)
            break;
        const std::string_view header = all.substr(begin, blank - begin);
        const std::string_view content = all.substr(blank + 4, next - blank - 6);
        if (header.find("filename=") == std::string_view::npos) {
            text.assign(content);
        } else {
            const std::string path = folder + "/data.bin";
            const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (file < 0)
                return false;
            for (size_t offset = 0; offset < content.size();) {
                const size_t piece = std::min<size_t>(content.size() - offset, 131072);
                if (::pwrite(file, content.data() + offset, piece, static_cast<off_t>(offset)) !=
                    static_cast<ssize_t>(piece))
                    break;
                offset += piece;
            }
            stored = static_cast<size_t>(::lseek(file, 0, SEEK_END));
            ::close(file);
            ::unlink(path.c_str());
        }
        current = next;
    }
    return shape == Shape::TextParts ? text.size() == kTextPartBytes : stored == kFileBytes;
}

struct Figures {
    bool ok = false;
    double seconds = 0;
    long long extraKilobytes = 0;  // the peak beyond the resident size with the body built
    long long bodyBytes = 0;
};

// Builds the body and runs one parse in a child process.
Figures RunInChild(Shape shape, bool module) {
    Figures figures;
    int report[2];
    if (pipe(report) != 0)
        return figures;
    const pid_t child = fork();
    if (child == 0) {
        char pattern[] = "/tmp/velquor-mime-bench-XXXXXX";
        const char *folder = mkdtemp(pattern);
        const QELString body = MakeBody(shape);
        const bool reset = folder != nullptr && ResetPeak();
        const long long before = StatusKilobytes("VmRSS");
        const auto start = std::chrono::steady_clock::now();
        const bool ok = reset && (module ? ParseWithModule(body, shape, folder) : ParseWithReference(body, shape, folder));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const long long peak = StatusKilobytes("VmHWM");
        if (folder != nullptr)
            rmdir(folder);
        char line[160];
        const int length = std::snprintf(line, sizeof line, "%d %.6f %lld %u\n", ok ? 1 : 0, seconds, peak - before,
                                         body.length());
        const ssize_t ignored = write(report[1], line, static_cast<size_t>(length));
        (void)ignored;
        _exit(0);
    }
    close(report[1]);
    char line[160] = {0};
    const ssize_t got = child > 0 ? read(report[0], line, sizeof line - 1) : -1;
    close(report[0]);
    if (child > 0)
        waitpid(child, nullptr, 0);
    int ok = 0;
    if (got > 0 && std::sscanf(line, "%d %lf %lld %lld", &ok, &figures.seconds, &figures.extraKilobytes,
                               &figures.bodyBytes) == 4)
        figures.ok = ok == 1;
    return figures;
}

// Reports the throughput over all runs and the largest peak beyond the body, beside what
// the target allows: the largest part plus 1 MB.
void Run(benchmark::State &state, Shape shape, bool module) {
    const double largestPart = shape == Shape::TextParts ? kTextPartBytes : kFileBytes;
    double seconds = 0;
    long long bytes = 0;
    long long extraKilobytes = 0;
    for (auto _ : state) {
        const Figures figures = RunInChild(shape, module);
        if (!figures.ok) {
            state.SkipWithError("the parse did not give the body's text or file");
            return;
        }
        state.SetIterationTime(figures.seconds);
        seconds += figures.seconds;
        bytes += figures.bodyBytes;
        extraKilobytes = std::max(extraKilobytes, figures.extraKilobytes);
    }
    state.SetBytesProcessed(bytes);
    state.counters["MB_per_s"] = static_cast<double>(bytes) / 1e6 / seconds;
    state.counters["extra_peak_MB"] = static_cast<double>(extraKilobytes) / 1024;
    state.counters["allowed_MB"] = (largestPart + (1 << 20)) / (1 << 20);
}

void BM_TextPartsModule(benchmark::State &state) { Run(state, Shape::TextParts, true); }
void BM_TextPartsReference(benchmark::State &state) { Run(state, Shape::TextParts, false); }
void BM_FormDataFileModule(benchmark::State &state) { Run(state, Shape::FormDataFile, true); }
void BM_FormDataFileReference(benchmark::State &state) { Run(state, Shape::FormDataFile, false); }

BENCHMARK(BM_TextPartsModule)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_TextPartsReference)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_FormDataFileModule)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_FormDataFileReference)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

}  // namespace
