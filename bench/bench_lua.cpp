// The script engine against embedded Lua 5.4, side by side in one process:
//   loop:  while(i < N) { n = n + i; i = i + 1 }
//   calls: while(i < N) { r = add(i, 1); i = i + 1 } with add(a, b) = a + b
//   maps:  fill and look up 100,000 integer keys and 50,000 string keys
//   sort:  insertion sort of 2,000 map elements
//   fib:   recursive fib(25), 242,785 calls of one function
// Lua runs each with global and with local variables. A script's variables
// are resolved when it compiles, so Lua's locals are its peer in kind of
// access; Lua's globals are the floor. After the runs the program prints the
// ratios of passes per second (script / Lua), best repetition of each; and
// the compile of one program against Lua's parse of the same. The map and
// sort programs also run on 1, 4 and 8 lines at once, each line on its run
// thread of the line manager, and print their throughput against one line.
#include <benchmark/benchmark.h>
#include <lua.hpp>

#include <stdlib.h>
#include <time.h>

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
#include "core/cpumeter.h"
#include "core/runcfg.h"
#include "engine/kxcall.h"
#include "engine/memkxs.h"
#include "engine/telbasic.h"
#include "host/operations.h"
#include "runtime/teldrive.h"
#include "platform/heap.h"
#include "platform/tick.h"
#include "services/sharemem.h"

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

void PrintReport(const char* file) {
  std::ifstream report(file, std::ios::binary);
  std::fprintf(stderr, "%s\n", std::string(std::istreambuf_iterator<char>(report), {}).substr(0, 600).c_str());
}

// Maps: 100,000 integer keys filled in order and 50,000 string keys "k0",
// "k1"..., then every element read back into a sum (an int that wraps).
constexpr int kMapInts = 100000;
constexpr int kMapStrs = 50000;
const std::string kMapBody =
    "m = 0\ni = 0\nwhile(i < 100000)\n{\nm[i] = i\ni = i + 1\n}\n"
    "i = 0\nwhile(i < 50000)\n{\nk = \"k\" + i\nm[k] = i\ni = i + 1\n}\n"
    "s = 0\ni = 0\nwhile(i < 100000)\n{\ns = s + m[i];\ni = i + 1\n}\n"
    "i = 0\nwhile(i < 50000)\n{\nk = \"k\" + i\ns = s + m[k];\ni = i + 1\n}\n"
    "m = 0\n";
const std::string kLuaMapGlobals =
    "m = {} i = 0 while i < 100000 do m[i] = i i = i + 1 end "
    "i = 0 while i < 50000 do k = \"k\" .. i m[k] = i i = i + 1 end "
    "s = 0 i = 0 while i < 100000 do s = s + m[i] i = i + 1 end "
    "i = 0 while i < 50000 do k = \"k\" .. i s = s + m[k] i = i + 1 end m = nil";
const std::string kLuaMapLocals =
    "local m = {} local i = 0 while i < 100000 do m[i] = i i = i + 1 end "
    "i = 0 while i < 50000 do local k = \"k\" .. i m[k] = i i = i + 1 end "
    "local s = 0 i = 0 while i < 100000 do s = s + m[i] i = i + 1 end "
    "i = 0 while i < 50000 do local k = \"k\" .. i s = s + m[k] i = i + 1 end";

int32_t MapSum() {
  uint32_t s = 0;
  for (uint32_t i = 0; i < kMapInts; ++i) s += i;
  for (uint32_t i = 0; i < kMapStrs; ++i) s += i;
  return static_cast<int32_t>(s);
}

// Sort: 2,000 elements from a small congruential sequence, sorted in place
// by insertion (about a million element moves), then checked in order.
constexpr int kSortN = 2000;
const std::string kSortBody =
    "a = 0\nx = 1\ni = 0\nwhile(i < 2000)\n{\nx = (x * 75 + 74) % 65537;\na[i] = x\ni = i + 1\n}\n"
    "i = 1\nwhile(i < 2000)\n{\nv = a[i];\nj = i - 1\n"
    "while(j >= 0 && a[j] > v)\n{\nj1 = j + 1\na[j1] = a[j];\nj = j - 1\n}\nj1 = j + 1\na[j1] = v\ni = i + 1\n}\n"
    "ok = 1\ni = 1\nwhile(i < 2000)\n{\nh = i - 1\nif(a[h] > a[i])\n{\nok = 0\n}\ni = i + 1\n}\na = 0\n";
const std::string kLuaSortGlobals =
    "a = {} x = 1 i = 0 while i < 2000 do x = (x * 75 + 74) % 65537 a[i] = x i = i + 1 end "
    "i = 1 while i < 2000 do v = a[i] j = i - 1 "
    "while j >= 0 and a[j] > v do j1 = j + 1 a[j1] = a[j] j = j - 1 end j1 = j + 1 a[j1] = v i = i + 1 end "
    "ok = 1 i = 1 while i < 2000 do h = i - 1 if a[h] > a[i] then ok = 0 end i = i + 1 end "
    "if ok ~= 1 then error(\"unsorted\") end a = nil";
const std::string kLuaSortLocals =
    "local a = {} local x = 1 local i = 0 while i < 2000 do x = (x * 75 + 74) % 65537 a[i] = x i = i + 1 end "
    "i = 1 while i < 2000 do local v = a[i] local j = i - 1 "
    "while j >= 0 and a[j] > v do local j1 = j + 1 a[j1] = a[j] j = j - 1 end local j1 = j + 1 a[j1] = v i = i + 1 end "
    "local ok = 1 i = 1 while i < 2000 do local h = i - 1 if a[h] > a[i] then ok = 0 end i = i + 1 end "
    "if ok ~= 1 then error(\"unsorted\") end";

// Fib: every call but the first runs while another of the same function is
// still running. One pass is one fib(25).
const std::string kScriptFib =
    "function fib(n)\n{\nif(n < 2)\n{\nreturn(n)\n}\na = n - 1\nb = n - 2\nx = fib(a)\ny = fib(b)\n"
    "return(x + y)\n}\nr = fib(25)\nreturn(0)\n";
const std::string kLuaFibGlobals =
    "function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end "
    "r = fib(25) if r ~= 75025 then error(\"fib\") end";
const std::string kLuaFibLocals =
    "local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end "
    "local r = fib(25) if r ~= 75025 then error(\"fib\") end";

// One pass of a map program is one run of its body.
const std::string kScriptMap = kMapBody + "return(0)\n";
const std::string kScriptSort = kSortBody + "return(0)\n";

void RunScript(benchmark::State& state, const std::string& text, const char* check, int expect,
               int64_t passesPerRun) {
  TempCwd cwd;
  PlainCall call;
  {
    std::ofstream f("bench.kxs", std::ios::binary);
    f << text;
  }
  TagMemKxs::Instance().Clear();
  auto inst = std::make_unique<TagTelBasic>("bench.kxs", 0, &call, 1);
  if (inst->initResult != 0) {
    PrintReport("errmsg0.txt");
    state.SkipWithError("the script did not compile");
    return;
  }
  int64_t passes = 0;
  for (auto _ : state) {
    inst->Run();
    passes += passesPerRun;
  }
  TagVar* v = inst->FindVariable(check);
  if (!v || v->AsInt() != expect) {
    state.SkipWithError("the script did not run to its end");
    return;
  }
  Record(state, passes);
}

void RunScript(benchmark::State& state, const std::string& text, const char* check, int expect) {
  RunScript(state, text, check, expect, kPasses);
}

void RunLua(benchmark::State& state, const std::string& text, int64_t passesPerRun = kPasses) {
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
    passes += passesPerRun;
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

void BM_ScriptMap(benchmark::State& state) { RunScript(state, kScriptMap, "s", MapSum(), 1); }
void BM_LuaMapGlobals(benchmark::State& state) { RunLua(state, kLuaMapGlobals, 1); }
void BM_LuaMapLocals(benchmark::State& state) { RunLua(state, kLuaMapLocals, 1); }
void BM_ScriptSort(benchmark::State& state) { RunScript(state, kScriptSort, "ok", 1, 1); }
void BM_LuaSortGlobals(benchmark::State& state) { RunLua(state, kLuaSortGlobals, 1); }
void BM_LuaSortLocals(benchmark::State& state) { RunLua(state, kLuaSortLocals, 1); }
void BM_ScriptFib(benchmark::State& state) { RunScript(state, kScriptFib, "r", 75025, 1); }
void BM_LuaFibGlobals(benchmark::State& state) { RunLua(state, kLuaFibGlobals, 1); }
void BM_LuaFibLocals(benchmark::State& state) { RunLua(state, kLuaFibLocals, 1); }

// The map and sort programs on several lines at once: an installation of
// virtual lines, every line running the same script on its run thread of the
// line manager. Each line says it is ready through the process-wide shared
// values and waits for "go", so the line threads' paced start stays out of
// the time; then it runs the body kLinePasses times and counts itself done.
// Passes are bodies run over all lines, per second of wall time.
constexpr int kLinePasses = 8;

std::string LineScript(const std::string& body) {
  return "r = 0\nIncShareMem(-1, \"ready\", 1, r)\ngo = 0\nwhile(go == 0)\n{\nSleep(0.002)\n"
         "GetShareMem(-1, \"go\", go)\n}\np = 0\nwhile(p < " +
         std::to_string(kLinePasses) + ")\n{\n" + body + "p = p + 1\n}\nd = 0\nIncShareMem(-1, \"done\", 1, d)\nreturn(0)\n";
}

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int SharedInt(const char* key) {
  TagVar v;
  GlobalShareMem().Get(TagVar::Str(key), v);
  return v.AsInt();
}

void RunLines(benchmark::State& state, const std::string& body) {
  const int lines = static_cast<int>(state.range(0));
  TempCwd cwd;
  {
    std::ofstream("RoDizRun.cfg") << "VIR_LINES_NUM=" << lines << "\nLOAD_DELAY=5\n0-" << lines - 1
                                  << "=lines.kxs\n";
    std::ofstream("lines.kxs", std::ios::binary) << LineScript(body);
  }
  RegisterAllOperations();
  logLevel = 0;
  CpuMeter().SetOverride([] { return 0; });
  TagRunCfg cfg;
  int64_t passes = 0;
  for (auto _ : state) {
    for (const char* key : {"ready", "go", "done"}) GlobalShareMem().Set(TagVar::Str(key), TagVar::Int(0));
    TagMemKxs::Instance().Clear();
    auto drive = std::make_unique<TagTelDrive>("RoDizRun.cfg", &cfg);
    drive->RunStart("RoDizRun.cfg");
    uint32_t start = plat::TickCount();
    while (SharedInt("ready") < lines && plat::TickCount() - start < 60000) plat::SleepMs(2);
    if (SharedInt("ready") < lines) {
      state.SkipWithError("the lines did not start");
      break;
    }
    start = plat::TickCount();
    const double cpu0 = ProcessCpuSeconds();
    GlobalShareMem().Set(TagVar::Str("go"), TagVar::Int(1));
    while (SharedInt("done") < lines && plat::TickCount() - start < 600000) plat::SleepMs(1);
    const uint32_t ms = plat::TickCount() - start;
    if (SharedInt("done") < lines) {
      state.SkipWithError("the lines did not finish");
      break;
    }
    state.SetIterationTime(ms / 1000.0);
    passes += int64_t(lines) * kLinePasses;
    // Processor time per pass: flat from 1 to 8 lines when the lines do not
    // get in each other's way, whatever else the machine runs meanwhile.
    state.counters["cpu_ms_per_pass"] = 1000.0 * (ProcessCpuSeconds() - cpu0) / (lines * kLinePasses);
    state.PauseTiming();
    drive.reset();
    state.ResumeTiming();
  }
  GlobalShareMem().Clear();
  CpuMeter().SetOverride(nullptr);
  Record(state, passes);
}

void BM_LinesMap(benchmark::State& state) { RunLines(state, kMapBody); }
void BM_LinesSort(benchmark::State& state) { RunLines(state, kSortBody); }

// Keeps the best passes per second of each benchmark while printing as usual.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      auto it = run.counters.find("passes_per_s");
      if (it == run.counters.end()) continue;
      std::string name = run.run_name.function_name;
      if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
      best[name] = std::max(best[name], static_cast<double>(it->second));
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> best;
};

void PrintRatio(const RatioReporter& r, const char* script, const char* lua) {
  auto s = r.best.find(script), l = r.best.find(lua);
  if (s == r.best.end() || l == r.best.end() || l->second <= 0) return;
  if (l->second >= 1e5)
    std::printf("%-16s / %-20s %.2f  (%.1f M vs %.1f M passes/s)\n", script, lua, s->second / l->second,
                s->second / 1e6, l->second / 1e6);
  else
    std::printf("%-16s / %-20s %.2f  (%.2f vs %.2f passes/s)\n", script, lua, s->second / l->second, s->second,
                l->second);
}

}  // namespace

BENCHMARK(BM_ScriptLoop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LuaLoopGlobals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LuaLoopLocals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScriptCalls)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LuaCallsGlobals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LuaCallsLocals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScriptMap)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LuaMapGlobals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LuaMapLocals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScriptSort)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LuaSortGlobals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LuaSortLocals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScriptFib)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LuaFibGlobals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LuaFibLocals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LinesMap)->Arg(1)->Arg(4)->Arg(8)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LinesSort)->Arg(1)->Arg(4)->Arg(8)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);
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
  PrintRatio(reporter, "BM_ScriptMap", "BM_LuaMapGlobals");
  PrintRatio(reporter, "BM_ScriptMap", "BM_LuaMapLocals");
  PrintRatio(reporter, "BM_ScriptSort", "BM_LuaSortGlobals");
  PrintRatio(reporter, "BM_ScriptSort", "BM_LuaSortLocals");
  PrintRatio(reporter, "BM_ScriptFib", "BM_LuaFibGlobals");
  PrintRatio(reporter, "BM_ScriptFib", "BM_LuaFibLocals");
  PrintRatio(reporter, "BM_ScriptCompile", "BM_LuaParse");
  auto s = reporter.best.find("BM_ScriptCompile"), l = reporter.best.find("BM_LuaParse");
  if (s != reporter.best.end() && l != reporter.best.end() && l->second > 0) {
    const double sl = s->second * LinesPerGroup(false), ll = l->second * LinesPerGroup(true);
    std::printf("%-16s / %-20s %.2f  (%.1f M vs %.1f M lines/s)\n", "compile per line", "Lua parse per line",
                sl / ll, sl / 1e6, ll / 1e6);
  }
  std::printf("\nthroughput of N lines at once / one line (N: the ideal):\n");
  for (const char* bench : {"BM_LinesMap", "BM_LinesSort"}) {
    auto one = reporter.best.find(std::string(bench) + "/1");
    if (one == reporter.best.end() || one->second <= 0) continue;
    for (int n : {4, 8}) {
      auto it = reporter.best.find(std::string(bench) + "/" + std::to_string(n));
      if (it != reporter.best.end())
        std::printf("%-13s %d lines: %.2f  (%.1f vs %.1f passes/s)\n", bench, n, it->second / one->second,
                    it->second, one->second);
    }
  }
  benchmark::Shutdown();
  return 0;
}
