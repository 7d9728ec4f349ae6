// The script engine against embedded Lua 5.4, side by side in one process:
//   loop:  while(i < N) { n = n + i; i = i + 1 }
//   calls: while(i < N) { r = add(i, 1); i = i + 1 } with add(a, b) = a + b
// Lua runs each with global and with local variables. A script's variables
// are resolved when it compiles, so Lua's locals are its peer in kind of
// access; Lua's globals are the floor. After the runs the program prints the
// ratios of passes per second (script / Lua), best repetition of each; and
// the compile of one program against Lua's parse of the same.
#include <benchmark/benchmark.h>
#include <lua.hpp>

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/temp_cwd.h"
#include "engine/kxcall.h"
#include "engine/memkxs.h"
#include "engine/telbasic.h"
#include "platform/heap.h"

namespace {

constexpr int kPasses = 10000000;

void Record(benchmark::State& state, int64_t passes) {
  state.counters["passes_per_s"] = benchmark::Counter(static_cast<double>(passes), benchmark::Counter::kIsRate);
  state.SetItemsProcessed(passes);
}

class PlainCall : public TagKxCall {};

const std::string kScriptLoop =
    "i = 0\nn = 0\nwhile(i < " + std::to_string(kPasses) + ")\n{\nn = n + i\ni = i + 1\n}\nreturn(0)\n";
const std::string kScriptCalls = "function add(a, b)\n{\nreturn(a + b)\n}\ni = 0\nr = 0\nwhile(i < " +
                                 std::to_string(kPasses) + ")\n{\nr = add(i, 1)\ni = i + 1\n}\nreturn(0)\n";

const std::string kN = std::to_string(kPasses);
const std::string kLuaLoopGlobals = "i = 0 n = 0 while i < " + kN + " do n = n + i i = i + 1 end";
const std::string kLuaLoopLocals = "local i, n = 0, 0 while i < " + kN + " do n = n + i i = i + 1 end";
const std::string kLuaCallsGlobals =
    "function add(a, b) return a + b end i = 0 r = 0 while i < " + kN + " do r = add(i, 1) i = i + 1 end";
const std::string kLuaCallsLocals = "local function add(a, b) return a + b end local i, r = 0, 0 while i < " + kN +
                                    " do r = add(i, 1) i = i + 1 end";

void RunScript(benchmark::State& state, const std::string& text, const char* check,
               int expect) {
  TempCwd cwd;
  PlainCall call;
  {
    std::ofstream f("bench.kxs", std::ios::binary);
    f << text;
  }
  TagMemKxs::Instance().Clear();
  auto inst = std::make_unique<TagTelBasic>("bench.kxs", 0, &call, 1);
  if (inst->initResult != 0) {
    state.SkipWithError("the script did not compile");
    return;
  }
  int64_t passes = 0;
  for (auto _ : state) {
    inst->Run();
    passes += kPasses;
  }
  TagVar* v = inst->FindVariable(check);
  if (!v || v->AsInt() != expect) {
    state.SkipWithError("the script did not run to its end");
    return;
  }
  Record(state, passes);
}

void RunLua(benchmark::State& state, const std::string& text) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  if (luaL_loadstring(L, text.c_str()) != LUA_OK) {
    state.SkipWithError("the Lua chunk did not compile");
    lua_close(L);
    return;
  }
  const int chunk = luaL_ref(L, LUA_REGISTRYINDEX);
  int64_t passes = 0;
  for (auto _ : state) {
    lua_rawgeti(L, LUA_REGISTRYINDEX, chunk);
    if (lua_pcall(L, 0, 0, 0) != LUA_OK) {
      state.SkipWithError("the Lua chunk failed");
      break;
    }
    passes += kPasses;
  }
  lua_close(L);
  Record(state, passes);
}

// Compile speed: the same program of 4,000 six-line groups (assignments, an
// if with a two-step expression) compiled by the script engine from its file
// and parsed by Lua (as "luac -p" does); passes are groups.
constexpr int kGroups = 4000;

std::string GroupsProgram(bool lua) {
  std::string s;
  for (int i = 0; i < kGroups; ++i) {
    const std::string v = "v" + std::to_string(i % 300), lit = std::to_string(i % 5000);
    s += v + " = " + std::to_string(100000 + i % 5000) + "\n";
    s += "s" + std::to_string(i % 200) + " = \"text " + lit + "\"\n";
    if (lua)
      s += "if " + v + " > " + lit + " then\nw = " + v + " * 2 + " + lit + "\nend\n";
    else
      s += "if(" + v + " > " + lit + ")\n{\nw = " + v + " * 2 + " + lit + ";\n}\n";
  }
  return s;
}

// What each side includes. Script: the instance's construction from its
// file (the text cache is emptied before each pass so the file is read again),
// which is the compile plus its fixed set-up (removing the old report file,
// the built-in variables, the line's service slots); BM_ScriptEmptyInstance
// measures that set-up alone, for a file of one blank line. The instance's
// deletion is left out (timing paused), as freeing is not compiling.
// Lua: luaL_loadfile of the same program's file (its reading included too),
// the collector running as usual: its figure includes some freeing of
// earlier passes, yet it is still the harder baseline, as stopping the
// collector (and collecting between passes) made no pass faster here.
// Both run with the heap kept as the program keeps it (see main): otherwise
// each deleted instance went back to the system and the next pass spent
// more time faulting fresh pages in than compiling.
void CompileInstances(benchmark::State& state, const char* file, int64_t passesPerRun) {
  PlainCall call;
  int64_t passes = 0;
  for (auto _ : state) {
    TagMemKxs::Instance().Clear();
    auto inst = std::make_unique<TagTelBasic>(file, 0, &call, 1);
    state.PauseTiming();
    const int errors = inst->errorCount;
    inst.reset();
    state.ResumeTiming();
    if (errors != 0) {
      std::ifstream report("errmsg0.txt", std::ios::binary);
      std::fprintf(stderr, "%s\n", std::string(std::istreambuf_iterator<char>(report), {}).substr(0, 600).c_str());
      state.SkipWithError("the script did not compile");
      return;
    }
    passes += passesPerRun;
  }
  Record(state, passes);
}

void BM_ScriptCompile(benchmark::State& state) {
  TempCwd cwd;
  {
    std::ofstream f("big.kxs", std::ios::binary);
    f << GroupsProgram(false);
  }
  CompileInstances(state, "big.kxs", kGroups);
}

void BM_ScriptEmptyInstance(benchmark::State& state) {
  TempCwd cwd;
  {
    std::ofstream f("empty.kxs", std::ios::binary);
    f << "\n";
  }
  CompileInstances(state, "empty.kxs", 1);
}

void BM_LuaParse(benchmark::State& state) {
  TempCwd cwd;
  {
    std::ofstream f("big.lua", std::ios::binary);
    f << GroupsProgram(true);
  }
  lua_State* L = luaL_newstate();
  int64_t passes = 0;
  for (auto _ : state) {
    if (luaL_loadfile(L, "big.lua") != LUA_OK) {
      state.SkipWithError("the Lua program did not compile");
      break;
    }
    lua_pop(L, 1);
    passes += kGroups;
  }
  lua_close(L);
  Record(state, passes);
}

void BM_ScriptLoop(benchmark::State& state) { RunScript(state, kScriptLoop, "i", kPasses); }
void BM_LuaLoopGlobals(benchmark::State& state) { RunLua(state, kLuaLoopGlobals); }
void BM_LuaLoopLocals(benchmark::State& state) { RunLua(state, kLuaLoopLocals); }
void BM_ScriptCalls(benchmark::State& state) { RunScript(state, kScriptCalls, "r", kPasses); }
void BM_LuaCallsGlobals(benchmark::State& state) { RunLua(state, kLuaCallsGlobals); }
void BM_LuaCallsLocals(benchmark::State& state) { RunLua(state, kLuaCallsLocals); }

// Keeps the best passes per second of each benchmark while printing as usual.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      auto it = run.counters.find("passes_per_s");
      if (it == run.counters.end()) continue;
      std::string name = run.run_name.function_name;
      best[name] = std::max(best[name], static_cast<double>(it->second));
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> best;
};

void PrintRatio(const RatioReporter& r, const char* script, const char* lua) {
  auto s = r.best.find(script), l = r.best.find(lua);
  if (s == r.best.end() || l == r.best.end() || l->second <= 0) return;
  std::printf("%-16s / %-20s %.2f  (%.1f M vs %.1f M passes/s)\n", script, lua, s->second / l->second,
              s->second / 1e6, l->second / 1e6);
}

}  // namespace

BENCHMARK(BM_ScriptLoop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LuaLoopGlobals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LuaLoopLocals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScriptCalls)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LuaCallsGlobals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LuaCallsLocals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScriptCompile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LuaParse)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScriptEmptyInstance)->Unit(benchmark::kMicrosecond)->UseRealTime();

namespace {

// The same program's lines per group on each side (the script's braces
// stand on lines of their own).
double LinesPerGroup(bool lua) {
  const std::string p = GroupsProgram(lua);
  return static_cast<double>(std::count(p.begin(), p.end(), '\n')) / kGroups;
}

}  // namespace

int main(int argc, char** argv) {
  // As the program does at start: both sides run with the heap kept.
  plat::KeepFreedHeap();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nratios of passes per second (>= 1.00: the script is at least as fast):\n");
  PrintRatio(reporter, "BM_ScriptLoop", "BM_LuaLoopGlobals");
  PrintRatio(reporter, "BM_ScriptLoop", "BM_LuaLoopLocals");
  PrintRatio(reporter, "BM_ScriptCalls", "BM_LuaCallsGlobals");
  PrintRatio(reporter, "BM_ScriptCalls", "BM_LuaCallsLocals");
  PrintRatio(reporter, "BM_ScriptCompile", "BM_LuaParse");
  auto s = reporter.best.find("BM_ScriptCompile"), l = reporter.best.find("BM_LuaParse");
  if (s != reporter.best.end() && l != reporter.best.end() && l->second > 0) {
    const double sl = s->second * LinesPerGroup(false), ll = l->second * LinesPerGroup(true);
    std::printf("%-16s / %-20s %.2f  (%.1f M vs %.1f M lines/s)\n", "compile per line", "Lua parse per line",
                sl / ll, sl / 1e6, ll / 1e6);
  }
  benchmark::Shutdown();
  return 0;
}
