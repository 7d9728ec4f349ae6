// Script values and maps: the interpreter's hot path.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engine/tagmap.h"
#include "engine/tagvar.h"

namespace {

// i = i + 1, the loop counter of every script.
void BM_IntAdd(benchmark::State& state) {
  TagVar i = TagVar::Int(0), one = TagVar::Int(1);
  for (auto _ : state) {
    TagVar::Calculate('+', i, i, &one);
    benchmark::DoNotOptimize(i);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IntAdd);

// A loop condition and a mixed int/double step.
void BM_CompareAndDouble(benchmark::State& state) {
  TagVar i = TagVar::Int(5), n = TagVar::Int(100), d = TagVar::Dbl(1.5), c, x;
  for (auto _ : state) {
    TagVar::Calculate('<', c, i, &n);
    TagVar::Calculate('*', x, i, &d);
    benchmark::DoNotOptimize(c);
    benchmark::DoNotOptimize(x);
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_CompareAndDouble);

// s = s + x, 10^5 times: in place, linear overall.
void BM_StringAppend(benchmark::State& state) {
  const int n = int(state.range(0));
  TagVar x = TagVar::Str("x1");
  for (auto _ : state) {
    TagVar s = TagVar::Str("");
    for (int k = 0; k < n; ++k) TagVar::Calculate('+', s, s, &x);
    benchmark::DoNotOptimize(s.Text());
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_StringAppend)->Arg(100000);

// s = s + i with an int: the number text is appended in place too.
void BM_StringAppendInt(benchmark::State& state) {
  const int n = int(state.range(0));
  for (auto _ : state) {
    TagVar s = TagVar::Str("");
    TagVar i = TagVar::Int(0);
    for (int k = 0; k < n; ++k) {
      i.SetInt(k);
      TagVar::Calculate('+', s, s, &i);
    }
    benchmark::DoNotOptimize(s.Text());
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_StringAppendInt)->Arg(100000);

std::vector<TagVar> Keys(int n, bool strings) {
  std::vector<TagVar> keys;
  keys.reserve(n);
  for (int k = 0; k < n; ++k)
    keys.push_back(strings ? TagVar::Str("key" + std::to_string(k * 7919 % n)) : TagVar::Int(k * 7919 % n));
  return keys;
}

void MapInsert(benchmark::State& state, bool strings) {
  const int n = int(state.range(0));
  auto keys = Keys(n, strings);
  TagVar v = TagVar::Int(1);
  for (auto _ : state) {
    TagVar m;
    for (auto& k : keys) m.SetItem(k, v);
    state.PauseTiming();
    m.SetNull();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * n);
}
void BM_MapInsertInt(benchmark::State& state) { MapInsert(state, false); }
void BM_MapInsertStr(benchmark::State& state) { MapInsert(state, true); }
BENCHMARK(BM_MapInsertInt)->Arg(10000)->Arg(100000);
BENCHMARK(BM_MapInsertStr)->Arg(100000);

void MapLookup(benchmark::State& state, bool strings) {
  const int n = int(state.range(0));
  auto keys = Keys(n, strings);
  TagVar m, out;
  for (auto& k : keys) m.SetItem(k, TagVar::Int(2));
  for (auto _ : state) {
    for (auto& k : keys) {
      TagVar::Calculate('[', out, m, &k);
      benchmark::DoNotOptimize(out);
    }
  }
  m.SetNull();
  state.SetItemsProcessed(state.iterations() * n);
}
void BM_MapLookupInt(benchmark::State& state) { MapLookup(state, false); }
void BM_MapLookupStr(benchmark::State& state) { MapLookup(state, true); }
BENCHMARK(BM_MapLookupInt)->Arg(100000);
BENCHMARK(BM_MapLookupStr)->Arg(100000);

// A for-in walk: EntryAt from 0 to the end.
void BM_MapWalk(benchmark::State& state) {
  const int n = int(state.range(0));
  TagVar m, k, v;
  for (int i = 0; i < n; ++i) m.SetItem(TagVar::Int(i), TagVar::Str("v"));
  for (auto _ : state) {
    for (int i = 0; i < n; ++i) m.EntryAt(i, k, v);
    benchmark::DoNotOptimize(v);
  }
  m.SetNull();
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_MapWalk)->Arg(100000);

void BM_MapText(benchmark::State& state) {
  const int n = int(state.range(0));
  TagVar m;
  for (int i = 0; i < n; ++i) {
    m.SetItem(TagVar::Int(i), TagVar::Str("value"));
    m.SetItem(TagVar::Str("k" + std::to_string(i)), TagVar::Dbl(i + 0.5));
  }
  std::string out;
  for (auto _ : state) {
    out.clear();
    m.ToText(out);
    benchmark::DoNotOptimize(out.data());
  }
  m.SetNull();
  state.SetItemsProcessed(state.iterations() * 2 * n);
}
BENCHMARK(BM_MapText)->Arg(5000);  // 10^4 entries

}  // namespace
