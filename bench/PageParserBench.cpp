// PageParserBench.cpp: reading pages of 256 KB to 4 MB whose text is full of "{{" that
// never finish a placeholder, beside a plain scan for "{{" over the same text; the time per
// byte stays flat as the page grows (linear, not quadratic).
#include <benchmark/benchmark.h>

#include <string>

#include "host/lib/PageParser.h"
#include "module/HostInterface.h"

namespace {

using velquor::host::PageParser;
using velquor::host::ParsedPage;

// `size` bytes of one repeated shape: opening braces only, or almost-placeholders.
std::string Page(size_t size, bool bracesOnly) {
    const std::string unit = bracesOnly ? std::string(64, '{') : "{{form{{var:{{cgi:x}{{form:a b}} text {{form:ok}} ";
    std::string page;
    page.reserve(size + unit.size());
    while (page.size() < size) {
        page += unit;
    }
    page.resize(size);
    return page;
}

const PageParser &Parser() {
    static const PageParser parser({{"qelIncludeHTTP", QEL_TAG_KIND_EMPTY}, {"qelSendMail", QEL_TAG_KIND_WITH_BODY}});
    return parser;
}

void Parse(benchmark::State &state, bool bracesOnly) {
    const std::string page = Page(static_cast<size_t>(state.range(0)), bracesOnly);
    for (auto _ : state) {
        ParsedPage parsed = Parser().parse(page);
        benchmark::DoNotOptimize(parsed.segments.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
    state.SetComplexityN(state.range(0));
}

void BM_PageParserBraces(benchmark::State &state) { Parse(state, true); }
BENCHMARK(BM_PageParserBraces)->RangeMultiplier(4)->Range(256 << 10, 4 << 20)->Complexity()->Unit(benchmark::kMillisecond);

void BM_PageParserAlmostPlaceholders(benchmark::State &state) { Parse(state, false); }
BENCHMARK(BM_PageParserAlmostPlaceholders)
    ->RangeMultiplier(4)
    ->Range(256 << 10, 4 << 20)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);

// The reference: every "{{" of the same text found with std::string::find.
void BM_StringFindBraces(benchmark::State &state) {
    const std::string page = Page(static_cast<size_t>(state.range(0)), true);
    for (auto _ : state) {
        size_t count = 0;
        for (size_t at = page.find("{{"); at != std::string::npos; at = page.find("{{", at + 1)) {
            ++count;
        }
        benchmark::DoNotOptimize(count);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_StringFindBraces)->RangeMultiplier(4)->Range(256 << 10, 4 << 20)->Complexity()->Unit(benchmark::kMillisecond);

} // namespace
