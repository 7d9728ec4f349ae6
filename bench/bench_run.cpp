// The run loop: operations per second of
//   while(i < N) { n = n + i; i = i + 1 }
// compiled from script text and run by TagTelBasic::Run, and calls per second
// of a two-argument script function. A hand-built list of TagVar::Calculate
// steps shows the loop's own overhead per operation (publishing the
// statement, pause test, result storage, timer poll, pending jumps).
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <filesystem>
#include <memory>
#include <string>

#include "bench/temp_cwd.h"
#include "engine/memkxs.h"
#include "engine/oper.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "engine/kxcall.h"

namespace {

class Calc : public TagOper {
 public:
  Calc(char op, TagVar* t, TagVar* a, TagVar* b) : op_(op), t_(t), a_(a), b_(b) { kind = kOpAssign; }
  int Execute() override {
    TagVar::Calculate(op_, *t_, *a_, b_);
    return 0;
  }

 private:
  char op_;
  TagVar *t_, *a_, *b_;
};

// The loop head: tests i < N, continues into the body or leaves the loop.
class LoopHead : public TagOper {
 public:
  LoopHead(TagVar* cond, TagVar* i, TagVar* n) : cond_(cond), i_(i), n_(n) { kind = kOpLoop; }
  int Execute() override {
    TagVar::Calculate('<', *cond_, *i_, n_);
    return 0;
  }
  TagOper* Next() override { return cond_->AsInt() ? next : link; }

 private:
  TagVar *cond_, *i_, *n_;
};

class Leave : public TagOper {
 public:
  Leave() { kind = kOpReturn; }
  int Execute() override { return 0; }
};

class PlainCall : public TagKxCall {};

TagVar* NewVar(TagTelBasic& inst, int v) {
  auto p = std::make_unique<TagVar>();
  p->DefineInt("", v, false);
  return inst.AddVariable(std::move(p));
}

void Link(TagTelBasic& inst, TagOper* op) {
  op->index = static_cast<int>(inst.operations.size());
  if (!inst.operations.empty() && !inst.operations.back()->next) inst.operations.back()->next = op;
  inst.AppendOperation(op);
}

void BM_RunLoopHandBuilt(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  TempCwd cwd;
  PlainCall call;
  TagTelBasic inst("bench.kxs", 0, &call, 0);
  inst.initResult = 0;
  TagVar *i = NewVar(inst, 0), *sum = NewVar(inst, 0), *limit = NewVar(inst, n), *one = NewVar(inst, 1),
         *cond = NewVar(inst, 0);
  auto* head = new LoopHead(cond, i, limit);
  Link(inst, head);
  Link(inst, new Calc('+', sum, sum, i));
  auto* step = new Calc('+', i, i, one);
  Link(inst, step);
  step->next = head;
  auto* leave = new Leave;
  Link(inst, leave);
  head->link = leave;
  int64_t ops = 0;
  for (auto _ : state) {
    i->SetInt(0);
    sum->SetInt(0);
    inst.Run();
    ops += 3LL * n + 2;
  }
  if (i->AsInt() != n) state.SkipWithError("the loop did not run to its end");
  state.counters["ops_per_s"] = benchmark::Counter(static_cast<double>(ops), benchmark::Counter::kIsRate);
  state.SetItemsProcessed(ops);
}
BENCHMARK(BM_RunLoopHandBuilt)->Arg(1000000)->Unit(benchmark::kMillisecond);

// The same loop with a timer enabled that never comes due: the price of the
// poll when a script uses timers.
void BM_RunLoopWithIdleTimer(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  TempCwd cwd;
  PlainCall call;
  TagTelBasic inst("bench.kxs", 0, &call, 0);
  inst.initResult = 0;
  TagVar *i = NewVar(inst, 0), *sum = NewVar(inst, 0), *limit = NewVar(inst, n), *one = NewVar(inst, 1),
         *cond = NewVar(inst, 0);
  auto* head = new LoopHead(cond, i, limit);
  Link(inst, head);
  Link(inst, new Calc('+', sum, sum, i));
  auto* step = new Calc('+', i, i, one);
  Link(inst, step);
  step->next = head;
  auto* leave = new Leave;
  Link(inst, leave);
  head->link = leave;
  TagVar name;
  name.SetName("idle");
  inst.timers.Add("idle", std::make_unique<Leave>(), &inst);
  inst.timers.Start(name, 3600 * 1000);
  int64_t ops = 0;
  for (auto _ : state) {
    i->SetInt(0);
    inst.Run();
    ops += 3LL * n + 2;
  }
  state.counters["ops_per_s"] = benchmark::Counter(static_cast<double>(ops), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RunLoopWithIdleTimer)->Arg(1000000)->Unit(benchmark::kMillisecond);

// Compiles a script of line 0 in the current folder.
std::unique_ptr<TagTelBasic> CompileScript(const std::string& text, TagKxCall& call) {
  {
    std::ofstream f("bench.kxs", std::ios::binary);
    f << text;
  }
  TagMemKxs::Instance().Clear();
  return std::make_unique<TagTelBasic>("bench.kxs", 0, &call, 1);
}

// Operations the loop runs per pass: from the loop head to the end of its block.
int OpsPerPass(const TagTelBasic& inst) {
  int head = -1, close = -1;
  for (const TagOper* op : inst.operations) {
    if (op->kind == kOpLoop && head < 0) head = op->index;
    if (op->kind == kOpBlockClose) close = op->index;
  }
  return head >= 0 && close > head ? close - head + 1 : 0;
}

void BM_RunLoopCompiled(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  TempCwd cwd;
  PlainCall call;
  auto inst = CompileScript("i = 0\nn = 0\nwhile(i < " + std::to_string(n) +
                                ")\n{\nn = n + i\ni = i + 1\n}\nreturn(0)\n",
                            call);
  if (inst->initResult != 0) {
    state.SkipWithError("the script did not compile");
    return;
  }
  const int perPass = OpsPerPass(*inst);
  int64_t ops = 0;
  for (auto _ : state) {
    inst->Run();
    ops += static_cast<int64_t>(perPass) * n;
  }
  if (inst->FindVariable("i")->AsInt() != n) state.SkipWithError("the loop did not run to its end");
  state.counters["ops_per_s"] = benchmark::Counter(static_cast<double>(ops), benchmark::Counter::kIsRate);
  state.counters["ops_per_pass"] = perPass;
}
BENCHMARK(BM_RunLoopCompiled)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_FunctionCall(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  TempCwd cwd;
  PlainCall call;
  auto inst = CompileScript("function add(a, b)\n{\nreturn(a + b)\n}\ni = 0\nwhile(i < " + std::to_string(n) +
                                ")\n{\nr = add(i, 1)\ni = i + 1\n}\nreturn(0)\n",
                            call);
  if (inst->initResult != 0) {
    state.SkipWithError("the script did not compile");
    return;
  }
  int64_t calls = 0;
  for (auto _ : state) {
    inst->Run();
    calls += n;
  }
  if (inst->FindVariable("r")->AsInt() != n) state.SkipWithError("the calls did not give their result");
  state.counters["calls_per_s"] = benchmark::Counter(static_cast<double>(calls), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FunctionCall)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
