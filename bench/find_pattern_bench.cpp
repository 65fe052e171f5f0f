// Throughput of the byte search on the kinds of data a flash image is made of.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "search/find_pattern.h"
#include "intel/microcode_header.h"

namespace {

constexpr std::size_t size = 16 << 20;

// 0 zeros, 1 0xFF fill, 2 random bytes, 3 back-to-back 01 00 00 00.
std::vector<std::uint8_t> filled(int kind) {
    std::vector<std::uint8_t> b(size, kind == 0 || kind == 3 ? 0x00 : 0xFF);
    if (kind == 3) {
        for (std::size_t i = 0; i < b.size(); i += 4) {
            b[i] = 1;
        }
    }
    if (kind == 2) {
        std::uint64_t x = 0x9E3779B97F4A7C15;
        for (auto& byte : b) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            byte = static_cast<std::uint8_t>(x);
        }
    }
    return b;
}

template <std::size_t N>
void search(benchmark::State& state, const std::array<std::uint8_t, N>& pattern) {
    const std::vector<std::uint8_t> data = filled(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            tarnwick::find_pattern(data.data(), data.data() + data.size(), pattern.data(), pattern.size()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
    state.SetLabel(state.range(0) == 0 ? "zeros" : state.range(0) == 1 ? "0xFF" : "random");
}

// The whole candidate walk, as -info and -scan run it.
void candidate_walk(benchmark::State& state) {
    const std::vector<std::uint8_t> data = filled(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::size_t n = 0;
        benchmark::DoNotOptimize(
            tarnwick::for_each_qualifying_header(data, [&](const tarnwick::MicrocodeUpdateHeader&) { ++n; }));
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
    const char* labels[] = {"zeros", "0xFF", "random", "01 00 00 00 runs"};
    state.SetLabel(labels[state.range(0)]);
}

void header_marker(benchmark::State& state) { search(state, tarnwick::header_marker); }
void fit_signature(benchmark::State& state) { search(state, tarnwick::fit_signature); }
void mpdt_pattern(benchmark::State& state) { search(state, tarnwick::mpdt_boot_pattern); }

BENCHMARK(header_marker)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(fit_signature)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(mpdt_pattern)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(candidate_walk)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
