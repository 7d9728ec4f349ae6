// The run loop: statements per second of
//   while(i < N) { n = n + i; i = i + 1 }
// run by TagTelBasic::Run. This list is built by hand from TagVar::Calculate
// steps, so it measures the loop's own overhead per operation (publishing the
// statement, pause test, result storage, timer poll, pending jumps).
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/oper.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "lines/kxcall.h"

namespace {

class Calc : public TagOper {
 public:
  Calc(char op, TagVar* t, TagVar* a, TagVar* b) : op_(op), t_(t), a_(a), b_(b) { kind = '='; }
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
  LoopHead(TagVar* cond, TagVar* i, TagVar* n) : cond_(cond), i_(i), n_(n) { kind = 'w'; }
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
  Leave() { kind = 'r'; }
  int Execute() override { return 0; }
};

class PlainCall : public TagKxCall {};

// Works in a temporary folder: building an instance writes its report file.
struct TempCwd {
  std::filesystem::path old = std::filesystem::current_path();
  std::string dir;
  TempCwd() {
    char tmpl[] = "/tmp/rodiz-bench-XXXXXX";
    dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    std::filesystem::current_path(dir);
  }
  ~TempCwd() {
    std::filesystem::current_path(old);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

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

}  // namespace
