// RegularExpressionBench.cpp: QELRegularExpression on the address check (1 MB values, and
// worst-shape 254-byte addresses beside std::regex) and on searches that match nowhere.
#include <benchmark/benchmark.h>

#include <regex>
#include <string>
#include <vector>

#include "foundation/RegularExpression.h"

namespace {

const char *const kAddressPattern = "^[A-Za-z0-9._-]+@([A-Za-z0-9-]+[.])+[A-Za-z]{2,4}$";

QELString Text(const std::string &s) { return QELString(s.data(), static_cast<uint32_t>(s.size())); }

// text repeated up to exactly size bytes.
std::string Cycle(const std::string &text, size_t size) {
    std::string s;
    s.reserve(size);
    while (s.size() < size)
        s += text;
    s.resize(size);
    return s;
}

// 1 MB values: a user part only (one run, then no "@"); an address of 100,000 labels
// (accepted); labels with nothing after the last dot (every label taken, then refused).
std::string MegabyteValue(int shape) {
    constexpr size_t kSize = 1u << 20;
    if (shape == 0)
        return Cycle("abcdefghij._-", kSize);
    if (shape == 1)
        return "a@" + Cycle("bcdefghij.", kSize - 5) + "com";
    return "a@" + Cycle("b.", kSize - 2);
}
const char *const kMegabyteShapes[] = {"user part only", "100,000 labels, accepted", "labels, no last label"};

void BM_AddressCheckMegabyte(benchmark::State &state) {
    const int shape = static_cast<int>(state.range(0));
    const QELString value = Text(MegabyteValue(shape));
    QELRegularExpression expression;
    if (expression.Compile(kAddressPattern) != 0)
        state.SkipWithError("the address pattern did not compile");
    for (auto _ : state) {
        uint32_t length = 0;
        const bool accepted = expression.MatchAtStart(value, &length) && length == value.length();
        if (accepted != (shape == 1))
            state.SkipWithError("wrong verdict");
        benchmark::DoNotOptimize(length);
    }
    state.SetLabel(kMegabyteShapes[shape]);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(value.length()));
}
BENCHMARK(BM_AddressCheckMegabyte)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// Worst shapes of 254 bytes: the most labels, then one letter or five after the last dot;
// the longest user part with nothing after "@"; the most labels, accepted.
const std::vector<std::string> &LongestAddresses() {
    static const std::vector<std::string> addresses = {
        "ab@" + Cycle("b.", 251),
        "ab@" + Cycle("b.", 246) + "abcde",
        Cycle("a.b_c-d", 253) + "@",
        "ab@" + Cycle("b.", 248) + "com",
    };
    return addresses;
}
const bool kLongestAccepted[] = {false, false, false, true};

void BM_AddressCheckLongest(benchmark::State &state) {
    std::vector<QELString> values;
    for (const std::string &address : LongestAddresses())
        values.push_back(Text(address));
    QELRegularExpression expression;
    if (expression.Compile(kAddressPattern) != 0)
        state.SkipWithError("the address pattern did not compile");
    for (auto _ : state) {
        for (size_t i = 0; i < values.size(); ++i) {
            uint32_t length = 0;
            const bool accepted = expression.MatchAtStart(values[i], &length) && length == values[i].length();
            if (accepted != kLongestAccepted[i] || values[i].length() != 254)
                state.SkipWithError("wrong verdict");
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(values.size()));
}
BENCHMARK(BM_AddressCheckLongest);

// The same addresses through std::regex (ECMAScript, which backtracks), on one compiled regex.
void BM_StdRegexAddressCheckLongest(benchmark::State &state) {
    const std::regex expression(kAddressPattern);
    const std::vector<std::string> &addresses = LongestAddresses();
    for (auto _ : state) {
        for (size_t i = 0; i < addresses.size(); ++i)
            if (std::regex_match(addresses[i], expression) != kLongestAccepted[i])
                state.SkipWithError("wrong verdict");
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(addresses.size()));
}
BENCHMARK(BM_StdRegexAddressCheckLongest);

// Searches that match nowhere: the address pattern over 64-byte lines without "@"; a
// repeated leaf before a byte that never comes; a repeated group over a chain of labels
// with no digit after it, which without the memo walks the rest of the chain from every index.
struct SearchShape {
    const char *name;
    const char *pattern;
    std::string (*subject)(size_t size);
};
const SearchShape kSearchShapes[] = {
    {"address over lines", kAddressPattern, [](size_t size) { return Cycle(Cycle("john.smith-", 63) + "\n", size); }},
    {"a*b over a", "a*b", [](size_t size) { return std::string(size, 'a'); }},
    {"([a-z]+[.])+[0-9] over labels", "([a-z]+[.])+[0-9]", [](size_t size) { return Cycle("abc.de.f.", size); }},
};

// One shape of search at the size the benchmark gives, its pattern compiled.
struct SearchRun {
    explicit SearchRun(benchmark::State &state)
        : shape(kSearchShapes[state.range(0)]), subject(Text(shape.subject(static_cast<size_t>(state.range(1))))) {
        if (expression.Compile(shape.pattern) != 0)
            state.SkipWithError("the pattern did not compile");
        state.SetLabel(shape.name);
    }
    const SearchShape &shape;
    const QELString subject;
    QELRegularExpression expression;
};

void BM_SearchNowhere(benchmark::State &state) {
    SearchRun run(state);
    for (auto _ : state) {
        if (run.expression.Search(run.subject))
            state.SkipWithError("found a match");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(run.subject.length()));
}
BENCHMARK(BM_SearchNowhere)
    ->ArgsProduct({{0, 1, 2}, {16 << 10, 64 << 10, 256 << 10}})
    ->Unit(benchmark::kMicrosecond);

// The reference: one attempt at every index in turn (MatchAt, no memo). It grows with the
// square of the size, so it runs on 4 and 16 KB only.
void BM_MatchAtEveryIndexNowhere(benchmark::State &state) {
    SearchRun run(state);
    for (auto _ : state) {
        uint32_t length = 0;
        for (uint32_t index = 0; index < run.subject.length(); ++index)
            if (run.expression.MatchAt(run.subject, index, &length))
                state.SkipWithError("found a match");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(run.subject.length()));
}
BENCHMARK(BM_MatchAtEveryIndexNowhere)
    ->ArgsProduct({{0, 1, 2}, {4 << 10, 16 << 10}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
