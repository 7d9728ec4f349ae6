// Cost of a log line on a line thread: with buffered logging the disk is only
// touched when the buffer fills, so a write should cost about a format.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "core/log.h"

static void BM_LogWriteBuffered(benchmark::State& state) {
  std::string path = (std::filesystem::temp_directory_path() / "rodiz-bench-log.txt").string();
  TagWriteLog w(path, 80u * 1048576u, false, true);
  for (auto _ : state) w.Write("lcnt=12, Play(welcome.wav) result 0");
  w.Flush();
  std::filesystem::remove(path);
}
BENCHMARK(BM_LogWriteBuffered);

static void BM_LogWriteImmediate(benchmark::State& state) {
  std::string path = (std::filesystem::temp_directory_path() / "rodiz-bench-log2.txt").string();
  TagWriteLog w(path, 80u * 1048576u, true, true);
  for (auto _ : state) w.Write("lcnt=12, Play(welcome.wav) result 0");
  std::filesystem::remove(path);
}
BENCHMARK(BM_LogWriteImmediate);
