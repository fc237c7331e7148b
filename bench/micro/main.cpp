// Micro-benchmarks of the broker's hot paths, linked against the static
// library so they reach internals. Run: build/release/bench/microbench
// (Google Benchmark flags apply, e.g. --benchmark_filter=dispatch).
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
