// ArrayBench.cpp: appending n slots to a QELArray beside std::vector<uintptr_t>
// push_back; linear growth shows as a flat time per item across n.
#include <benchmark/benchmark.h>

#include <vector>

#include "foundation/Array.h"

namespace {

void BM_QELArrayAppend(benchmark::State &state) {
    const uint32_t n = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        QELArray array;
        for (uint32_t i = 0; i < n; ++i)
            array.append(i);
        benchmark::DoNotOptimize(array.items());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_QELArrayAppend)->RangeMultiplier(16)->Range(16, 1 << 20);

void BM_VectorPushBack(benchmark::State &state) {
    const uint32_t n = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        std::vector<uintptr_t> vector;
        for (uint32_t i = 0; i < n; ++i)
            vector.push_back(i);
        benchmark::DoNotOptimize(vector.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_VectorPushBack)->RangeMultiplier(16)->Range(16, 1 << 20);

// Reading every slot back, as the splitter does with its field starts.
void BM_QELArrayRead(benchmark::State &state) {
    const uint32_t n = static_cast<uint32_t>(state.range(0));
    QELArray array;
    for (uint32_t i = 0; i < n; ++i)
        array.append(i);
    for (auto _ : state) {
        uintptr_t sum = 0;
        for (uint32_t i = 0; i < n; ++i)
            sum += array.value(i);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_QELArrayRead)->Arg(1 << 20);

}  // namespace
