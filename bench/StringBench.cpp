// StringBench.cpp: QELString beside std::string on the same work: appending 10 MB byte
// by byte and in 4 KB pieces, finding a 20-byte pattern in 10 MB, replacing all in 1 MB.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdint>
#include <string>

#include "foundation/String.h"

namespace {

// glibc moves its mmap threshold after each large free, so whether a 16 MB block comes
// back from the heap or as fresh pages (a page fault per 4 KB) depends on the sizes
// freed before it, and either side can end up ten times slower by chance. Fixed
// thresholds keep freed memory in the heap, so both sides measure the string's own work.
const bool kFixedMallocThresholds = [] {
    bool fixed = mallopt(M_MMAP_THRESHOLD, 32 << 20) == 1 && mallopt(M_TRIM_THRESHOLD, 512 << 20) == 1;
    benchmark::AddCustomContext("malloc_thresholds", fixed ? "fixed" : "adaptive");
    return fixed;
}();

constexpr uint32_t kTenMegabytes = 10u << 20;
constexpr uint32_t kOneMegabyte = 1u << 20;
constexpr uint32_t kPiece = 4096;

// Pseudo-random lower-case text, the same on every run.
std::string randomText(uint32_t size, uint32_t seed) {
    std::string text(size, ' ');
    uint32_t state = seed;
    for (char &c : text) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>('a' + (state >> 24) % 26);
    }
    return text;
}

const std::string &piece() {
    static const std::string text = randomText(kPiece, 1);
    return text;
}

void QELAppendByte(benchmark::State &state) {
    benchmark::DoNotOptimize(kFixedMallocThresholds);
    for (auto _ : state) {
        QELString s;
        for (uint32_t i = 0; i < kTenMegabytes; ++i)
            s.append(static_cast<char>('a' + (i & 15)));
        benchmark::DoNotOptimize(s.text());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kTenMegabytes);
}

void StdAppendByte(benchmark::State &state) {
    for (auto _ : state) {
        std::string s;
        for (uint32_t i = 0; i < kTenMegabytes; ++i)
            s.push_back(static_cast<char>('a' + (i & 15)));
        benchmark::DoNotOptimize(s.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kTenMegabytes);
}

void QELAppendPieces(benchmark::State &state) {
    const std::string &p = piece();
    for (auto _ : state) {
        QELString s;
        for (uint32_t i = 0; i < kTenMegabytes / kPiece; ++i)
            s.append(p.data(), kPiece);
        benchmark::DoNotOptimize(s.text());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kTenMegabytes);
}

void StdAppendPieces(benchmark::State &state) {
    const std::string &p = piece();
    for (auto _ : state) {
        std::string s;
        for (uint32_t i = 0; i < kTenMegabytes / kPiece; ++i)
            s.append(p.data(), kPiece);
        benchmark::DoNotOptimize(s.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kTenMegabytes);
}

// 10 MB of text that holds the 20-byte pattern only at its end.
struct FindWork {
    FindWork() : pattern(randomText(20, 99)) {
        std::string text = randomText(kTenMegabytes - 20, 7) + pattern;
        stdText = text;
        qelText = QELString(text.data(), static_cast<uint32_t>(text.size()));
    }
    std::string pattern;
    std::string stdText;
    QELString qelText;
};

const FindWork &findWork() {
    static const FindWork work;
    return work;
}

void QELFind(benchmark::State &state) {
    const FindWork &work = findWork();
    uint32_t position = 0;
    for (auto _ : state) {
        bool found = work.qelText.find(work.pattern.data(), 20, &position);
        benchmark::DoNotOptimize(found);
        benchmark::DoNotOptimize(position);
    }
    if (position != kTenMegabytes - 20)
        state.SkipWithError("pattern not found at the end");
    state.SetBytesProcessed(int64_t(state.iterations()) * kTenMegabytes);
}

void StdFind(benchmark::State &state) {
    const FindWork &work = findWork();
    size_t position = 0;
    for (auto _ : state) {
        position = work.stdText.find(work.pattern);
        benchmark::DoNotOptimize(position);
    }
    if (position != kTenMegabytes - 20)
        state.SkipWithError("pattern not found at the end");
    state.SetBytesProcessed(int64_t(state.iterations()) * kTenMegabytes);
}

// 1 MB of text with the word "needle" about every 100 bytes, each replaced by "thread".
struct ReplaceWork {
    ReplaceWork() {
        text = randomText(kOneMegabyte, 3);
        for (size_t at = 50; at + 6 < text.size(); at += 97)
            text.replace(at, 6, "needle");
    }
    std::string text;
};

const ReplaceWork &replaceWork() {
    static const ReplaceWork work;
    return work;
}

void QELReplaceAll(benchmark::State &state) {
    const std::string &text = replaceWork().text;
    const QELString source(text.data(), static_cast<uint32_t>(text.size()));
    const QELString replacement("thread");
    uint32_t count = 0;
    for (auto _ : state) {
        QELString s(source);
        count = s.replaceAll("needle", replacement);
        benchmark::DoNotOptimize(s.text());
    }
    state.counters["replacements"] = count;
    state.SetBytesProcessed(int64_t(state.iterations()) * kOneMegabyte);
}

void StdReplaceAll(benchmark::State &state) {
    const std::string &text = replaceWork().text;
    const std::string pattern = "needle", replacement = "thread";
    uint32_t count = 0;
    for (auto _ : state) {
        // The straightforward loop: copy up to each match, then the replacement.
        std::string out;
        out.reserve(text.size());
        size_t from = 0, at;
        count = 0;
        while ((at = text.find(pattern, from)) != std::string::npos) {
            out.append(text, from, at - from);
            out += replacement;
            from = at + pattern.size();
            ++count;
        }
        out.append(text, from, std::string::npos);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["replacements"] = count;
    state.SetBytesProcessed(int64_t(state.iterations()) * kOneMegabyte);
}

}  // namespace

BENCHMARK(QELAppendByte)->Unit(benchmark::kMillisecond);
BENCHMARK(StdAppendByte)->Unit(benchmark::kMillisecond);
BENCHMARK(QELAppendPieces)->Unit(benchmark::kMillisecond);
BENCHMARK(StdAppendPieces)->Unit(benchmark::kMillisecond);
BENCHMARK(QELFind)->Unit(benchmark::kMillisecond);
BENCHMARK(StdFind)->Unit(benchmark::kMillisecond);
BENCHMARK(QELReplaceAll)->Unit(benchmark::kMillisecond);
BENCHMARK(StdReplaceAll)->Unit(benchmark::kMillisecond);
