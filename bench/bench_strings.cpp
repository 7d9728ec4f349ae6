// String and date operations on large inputs: splitting, searching and date
// stepping must stay linear (or constant) in the size of what they are given.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/keyword.h"
#include "engine/opfactory.h"
#include "engine/oper.h"
#include "engine/tagvar.h"
#include "host/operations.h"

namespace {

// The operation of a keyword over the given argument values.
std::unique_ptr<TagOper> Make(KeywordId id, std::vector<TagVar*> args) {
  static const bool registered = (RegisterAllOperations(), true);
  (void)registered;
  const RecKeyword& kw = KeywordRec(id);
  return std::unique_ptr<TagOper>(TagOpFactory::Instance().Make(TagOpArgs{kw, args, nullptr, nullptr, 0, 0}));
}

// 1 MB split into 100,000 pieces at commas.
void BM_AnlyStr(benchmark::State& state) {
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "abcdefghi,";
  text.resize(1 << 20, 'x');
  TagVar s = TagVar::Str(text), sep = TagVar::Str(","), map;
  auto op = Make(KeywordId::AnlyStr, {&s, &sep, &map});
  for (auto _ : state) {
    map.SetInt(0);
    benchmark::DoNotOptimize(op->Execute());
  }
  map.SetInt(0);
  state.SetBytesProcessed(state.iterations() * int64_t(text.size()));
}
BENCHMARK(BM_AnlyStr)->Unit(benchmark::kMillisecond);

// The part is found only at the end of 1 MB of nearly matching text: a
// search that restarts at every byte would take a part's length per byte.
void BM_StrstrWorstCase(benchmark::State& state) {
  const size_t partLen = size_t(state.range(0));
  std::string text(1 << 20, 'a');
  std::string part(partLen - 1, 'a');
  part += 'b';
  text.replace(text.size() - partLen, partLen, part);
  TagVar s = TagVar::Str(text), p = TagVar::Str(part), out, start = TagVar::Int(1);
  auto strstr = Make(KeywordId::Strstr, {&s, &p, &out});
  auto strstrEx = Make(KeywordId::StrstrEx, {&s, &start, &p, &out});
  for (auto _ : state) {
    benchmark::DoNotOptimize(strstr->Execute());
    benchmark::DoNotOptimize(strstrEx->Execute());
  }
  state.SetBytesProcessed(state.iterations() * 2 * int64_t(text.size()));
}
BENCHMARK(BM_StrstrWorstCase)->Arg(16)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

// A million days ahead and back: constant time once the date is valid.
void BM_AfterDaysDate(benchmark::State& state) {
  TagVar from = TagVar::Int(20000101), days = TagVar::Int(int(state.range(0))), out;
  auto op = Make(KeywordId::AfterDaysDate, {&from, &days, &out});
  for (auto _ : state) benchmark::DoNotOptimize(op->Execute());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AfterDaysDate)->Arg(1)->Arg(1000000)->Arg(-1000000);

}  // namespace
