// Regular expressions: compile time of typical patterns, and search throughput
// against PCRE2 on the same inputs, both its interpreter and its JIT. Each
// group of rows (/ours, /pcre2, /pcre2_jit) runs the same work; compare their
// bytes per second. The compile rows compare with pcre2_compile alone.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <benchmark/benchmark.h>
#include <pcre2.h>

#include <string>
#include <vector>

#include "regex/regexp.h"

namespace {

const char* kTypical[] = {
    "\\d{3,4}-\\d{7,8}",
    "^(\\w+)@([\\w.]+)\\.(com|cn|net)$",
    "(?i)hello|world|voice",
    "([^,]*),",
    "(?<year>\\d{4})-(?<month>\\d\\d)-(?<day>\\d\\d)",
    "\\((?:[^()]|(?R))*\\)",
};

std::string LiteralText() {
  std::string t;
  while (t.size() < (1 << 20)) t += "the quick brown fox jumps over the lazy dog 0123456789 ";
  t += "needle";
  return t;
}

std::string LongLines() {
  std::string t;
  std::string line(1000, 'x');
  for (size_t i = 0; i < line.size(); i += 7) line[i] = ' ';
  while (t.size() < (1 << 20)) t += line + "\n";
  return t;
}

std::string CsvText() {
  std::string t;
  int i = 0;
  while (t.size() < (1 << 20)) t += "field" + std::to_string(i++) + ",12.50,abc,,x\n";
  return t;
}

struct Pcre {
  explicit Pcre(const char* pattern, bool jit = false) {
    int err;
    PCRE2_SIZE off;
    code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED, 0, &err, &off, nullptr);
    if (jit && pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) != 0) jitFailed = true;
    md = pcre2_match_data_create_from_pattern(code, nullptr);
  }
  ~Pcre() {
    pcre2_match_data_free(md);
    pcre2_code_free(code);
  }
  // Successive non-overlapping matches over the text; the count found.
  int Walk(const std::string& text) const {
    int n = 0;
    PCRE2_SIZE pos = 0;
    while (pos <= text.size()) {
      int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), pos, 0, md, nullptr);
      if (rc < 0) break;
      PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
      ++n;
      pos = ov[1] > ov[0] ? ov[1] : ov[1] + 1;
    }
    return n;
  }
  pcre2_code* code;
  pcre2_match_data* md;
  bool jitFailed = false;
};

int OursWalk(const CRegexpT<char>& re, const std::string& text) {
  CContext ctx;
  re.PrepareContext(text.data(), int(text.size()), 0, &ctx);
  int n = 0;
  while (re.MatchWithContext(&ctx).IsMatched()) ++n;
  return n;
}

void BM_Compile_ours(benchmark::State& st) {
  for (auto _ : st)
    for (const char* p : kTypical) {
      CRegexpT<char> re(p);
      benchmark::DoNotOptimize(re.IsCompiled());
    }
}
void BM_Compile_pcre2(benchmark::State& st) {
  for (auto _ : st)
    for (const char* p : kTypical) {
      Pcre re(p);
      benchmark::DoNotOptimize(re.code);
    }
}
BENCHMARK(BM_Compile_ours);
BENCHMARK(BM_Compile_pcre2);

struct Workload {
  const char* name;
  const char* pattern;
  std::string (*text)();
};
const Workload kWork[] = {
    {"literal_1MB", "needle", LiteralText},
    {"dotplus_long_lines", ".+", LongLines},
    {"csv_split", ",", CsvText},
    {"csv_fields", "([^,\\n]*),", CsvText},
};

void SearchOurs(benchmark::State& st, const Workload* w) {
  const std::string text = w->text();
  CRegexpT<char> re(w->pattern);
  int n = 0;
  for (auto _ : st) benchmark::DoNotOptimize(n = OursWalk(re, text));
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(text.size()));
  st.counters["matches"] = n;
}
void SearchPcre2(benchmark::State& st, const Workload* w, bool jit) {
  const std::string text = w->text();
  Pcre re(w->pattern, jit);
  if (re.jitFailed) {
    st.SkipWithError("PCRE2 has no JIT here");
    return;
  }
  int n = 0;
  for (auto _ : st) benchmark::DoNotOptimize(n = re.Walk(text));
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(text.size()));
  st.counters["matches"] = n;
}

// Each workload's two rows side by side.
const bool registered = [] {
  for (const Workload& w : kWork) {
    std::string name = std::string("BM_Search/") + w.name;
    benchmark::RegisterBenchmark((name + "/ours").c_str(), SearchOurs, &w)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((name + "/pcre2").c_str(), SearchPcre2, &w, false)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((name + "/pcre2_jit").c_str(), SearchPcre2, &w, true)->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace
