// Base64Bench.cpp: the Base64 encoder on 10 MB (a string, a string stream and a file
// stream) beside a straightforward table encoder measured in the same run.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "foundation/Base64.h"
#include "foundation/FileInputStream.h"
#include "foundation/StringInputStream.h"

namespace {

constexpr size_t kSize = 10 * 1024 * 1024;

// Pseudo-random bytes without zeros (a string stream ends at a zero byte).
const std::string &Input() {
    static const std::string bytes = [] {
        std::string b(kSize, 0);
        uint32_t x = 12345;
        for (char &c : b) {
            x = x * 1664525u + 1013904223u;
            c = static_cast<char>(1 + (x >> 24) % 255);
        }
        return b;
    }();
    return bytes;
}

// A straightforward encoder: one table lookup per character, CR LF every 76.
std::string TableEncode(const std::string &in) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve(in.size() / 57 * 78 + 80);
    size_t i = 0;
    size_t n = in.size();
    for (; i + 3 <= n; i += 3) {
        if (i != 0 && i % 57 == 0)
            out += "\r\n";
        uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    if (i < n) {
        if (i != 0 && i % 57 == 0)
            out += "\r\n";
        uint32_t v = uint8_t(in[i]) << 16;
        if (i + 1 < n)
            v |= uint8_t(in[i + 1]) << 8;
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < n ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

void BM_ReferenceTableEncoder(benchmark::State &state) {
    const std::string &in = Input();
    for (auto _ : state) {
        std::string out = TableEncode(in);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
}
BENCHMARK(BM_ReferenceTableEncoder)->Unit(benchmark::kMillisecond);

void BM_Base64EncodeString(benchmark::State &state) {
    QELString in(Input().data(), kSize);
    for (auto _ : state) {
        QELString out = Base64EncodeString(in);
        benchmark::DoNotOptimize(out.text());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
}
BENCHMARK(BM_Base64EncodeString)->Unit(benchmark::kMillisecond);

void BM_Base64EncodeStreamSized_StringStream(benchmark::State &state) {
    QELString in(Input().data(), kSize);
    for (auto _ : state) {
        QELStringInputStream stream(in);
        QELString out = Base64EncodeStreamSized(stream, kSize);
        benchmark::DoNotOptimize(out.text());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
}
BENCHMARK(BM_Base64EncodeStreamSized_StringStream)->Unit(benchmark::kMillisecond);

// A file of the same bytes, read through the mail composer's 2,048-byte buffer.
class InputFile {
public:
    InputFile() {
        char pattern[] = "/tmp/velquor-base64-bench-XXXXXX";
        int fd = ::mkstemp(pattern);
        if (fd < 0)
            std::abort();
        path_ = pattern;
        const std::string &bytes = Input();
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (put <= 0)
                std::abort();
            done += size_t(put);
        }
        ::close(fd);
    }
    ~InputFile() { ::unlink(path_.c_str()); }
    QELString path() const { return QELString(path_.c_str()); }

private:
    std::string path_;
};

void BM_Base64EncodeStreamSized_FileStream(benchmark::State &state) {
    InputFile file;
    QELFileSystemItem item(file.path());
    for (auto _ : state) {
        QELFileInputStream stream(item, 2048);
        QELString out = Base64EncodeStreamSized(stream, kSize);
        benchmark::DoNotOptimize(out.text());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
}
BENCHMARK(BM_Base64EncodeStreamSized_FileStream)->Unit(benchmark::kMillisecond);

void BM_Base64EncodeStream_StringStream(benchmark::State &state) {
    QELString in(Input().data(), kSize);
    QELString separator("\r\n");
    for (auto _ : state) {
        QELStringInputStream stream(in);
        QELString out = Base64EncodeStream(stream, separator);
        benchmark::DoNotOptimize(out.text());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
}
BENCHMARK(BM_Base64EncodeStream_StringStream)->Unit(benchmark::kMillisecond);

}  // namespace
