// SplitterBench.cpp: cutting a 20 MB text into 300,000 CR LF lines and reading every
// field with QELStringSplitter, beside a std::string_view split of the same text.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>
#include <vector>

#include "foundation/StringSplitter.h"

namespace {

constexpr size_t kTextSize = 20000000;
constexpr uint32_t kLines = 300000;

// 300,000 lines of 34 to 94 printable bytes, each ended by CR LF except the last,
// which is padded so that the text is exactly 20,000,000 bytes.
const std::string &Text() {
    static const std::string text = [] {
        std::string t;
        t.reserve(kTextSize);
        for (uint32_t i = 0; i + 1 < kLines; ++i) {
            const uint32_t length = 34 + (i * 7919u) % 61;
            for (uint32_t k = 0; k < length; ++k)
                t += static_cast<char>('!' + (i + k) % 90);
            t += "\r\n";
        }
        t.append(kTextSize - t.size(), 'x');
        return t;
    }();
    return text;
}

const QELString &Source() {
    static const QELString source(Text().data(), static_cast<uint32_t>(Text().size()));
    return source;
}

void BM_QELStringSplitterSplit(benchmark::State &state) {
    const QELString &source = Source();
    const QELString delimiter("\r\n");
    for (auto _ : state) {
        QELStringSplitter splitter(source, delimiter);
        if (splitter.fieldCount() != kLines)
            state.SkipWithError("wrong field count");
        benchmark::DoNotOptimize(splitter.fieldCount());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kTextSize));
}
BENCHMARK(BM_QELStringSplitterSplit)->Unit(benchmark::kMillisecond);

// Split, then every field as a QELString copy, as the module's callers read them.
void BM_QELStringSplitterSplitAndReadFields(benchmark::State &state) {
    const QELString &source = Source();
    const QELString delimiter("\r\n");
    for (auto _ : state) {
        QELStringSplitter splitter(source, delimiter);
        uint64_t total = 0;
        for (uint32_t i = 0; i < splitter.fieldCount(); ++i)
            total += splitter.field(i).length();
        if (total + 2u * (kLines - 1) != kTextSize)
            state.SkipWithError("fields lost bytes");
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kTextSize));
}
BENCHMARK(BM_QELStringSplitterSplitAndReadFields)->Unit(benchmark::kMillisecond);

// Split, then every field in place through fieldStart and fieldLength.
void BM_QELStringSplitterSplitAndViewFields(benchmark::State &state) {
    const QELString &source = Source();
    const QELString delimiter("\r\n");
    for (auto _ : state) {
        QELStringSplitter splitter(source, delimiter);
        uint64_t total = 0;
        const char *bytes = splitter.source().text();
        for (uint32_t i = 0; i < splitter.fieldCount(); ++i) {
            std::string_view field(bytes + splitter.fieldStart(i), splitter.fieldLength(i));
            total += field.size() + static_cast<unsigned char>(field.empty() ? 0 : field[0]);
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kTextSize));
}
BENCHMARK(BM_QELStringSplitterSplitAndViewFields)->Unit(benchmark::kMillisecond);

void BM_StringViewSplitAndReadFields(benchmark::State &state) {
    const std::string_view text(Text());
    for (auto _ : state) {
        std::vector<std::string_view> fields;
        size_t start = 0;
        for (;;) {
            const size_t hit = text.find("\r\n", start);
            if (hit == std::string_view::npos) {
                fields.push_back(text.substr(start));
                break;
            }
            fields.push_back(text.substr(start, hit - start));
            start = hit + 2;
        }
        uint64_t total = 0;
        for (std::string_view field : fields)
            total += field.size() + static_cast<unsigned char>(field.empty() ? 0 : field[0]);
        if (fields.size() != kLines)
            state.SkipWithError("wrong field count");
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kTextSize));
}
BENCHMARK(BM_StringViewSplitAndReadFields)->Unit(benchmark::kMillisecond);

}  // namespace
