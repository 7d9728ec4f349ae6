// Compile speed: a generated 20,000-line script with 5,000 distinct literals,
// read from its file and compiled each pass, and expressions alone.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "engine/expr.h"
#include "engine/memkxs.h"
#include "engine/telbasic.h"
#include "engine/kxcall.h"

namespace {

// Runs in a directory of its own: the compile writes its report there.
struct BenchDir {
  BenchDir() {
    char tmpl[] = "/tmp/bench_compile_XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    dir = tmpl;
    if (chdir(dir.c_str()) != 0) std::abort();
  }
  std::string dir;
};

std::string BigScript() {
  std::string s;
  int line = 0;
  for (int i = 0; line < 20000; ++i) {
    const int lit = i % 5000;
    s += "v" + std::to_string(i % 300) + " = " + std::to_string(100000 + lit) + "\n";
    s += "s" + std::to_string(i % 200) + " = \"text " + std::to_string(lit) + "\"\n";
    s += "if(v" + std::to_string(i % 300) + " > " + std::to_string(lit) + ")\n{\n";
    s += "w = v" + std::to_string(i % 300) + " * 2 + " + std::to_string(lit) + ";\n}\n";
    line += 6;
  }
  return s;
}

void BM_CompileScript(benchmark::State& state) {
  static BenchDir dir;
  {
    std::ofstream f("big.kxs", std::ios::binary);
    f << BigScript();
  }
  TagKxCall call;
  size_t ops = 0;
  for (auto _ : state) {
    // A load after a reload: the script text cache was emptied, so each pass
    // reads the file again as well as compiling it.
    TagMemKxs::Instance().Clear();
    auto t = std::make_unique<TagTelBasic>("big.kxs", 0, &call, 1);
    if (t->errorCount != 0) state.SkipWithError("script did not compile");
    ops = t->operations.size();
    benchmark::DoNotOptimize(t);
  }
  state.counters["lines/s"] = benchmark::Counter(20000.0 * static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate);
  state.counters["operations"] = static_cast<double>(ops);
}
BENCHMARK(BM_CompileScript)->Unit(benchmark::kMillisecond);

void BM_CompileExpression(benchmark::State& state) {
  static BenchDir dir;
  {
    std::ofstream f("e.kxs", std::ios::binary);
    f << "a = 1\nb = 2\nc = 3\n";
  }
  TagKxCall call;
  TagTelBasic t("e.kxs", 0, &call, 1);
  for (auto _ : state) {
    TagComplexExpre e("(a + b) * c - a / 2 >= b && c != 4 || a[b]", &t, "r", nullptr, "");
    auto steps = e.TakeSteps();
    benchmark::DoNotOptimize(steps);
    for (auto* s : steps) delete s;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CompileExpression);

}  // namespace
