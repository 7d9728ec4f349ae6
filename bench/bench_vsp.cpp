// Server page conversion of a 1 MB template must stay linear in its size,
// whatever mix of HTML, blocks, strings and comments it holds.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "services/vsp.h"

namespace {

// About 1 MB: HTML rows with a block each, blocks with strings and comments.
std::string Template(size_t bytes) {
  const std::string row =
      "<tr><td class=\"c\">name</td><td><%v = \"a\\\\\"; // %> in a comment\nPrint(v); /* %> */%></td></tr>\n";
  std::string t;
  t.reserve(bytes + row.size());
  while (t.size() < bytes) t += row;
  return t;
}

void BM_VspToKxs1MB(benchmark::State& state) {
  const std::string tmpl = Template(1 << 20);
  std::vector<std::string> pieces;
  for (auto _ : state) {
    std::string script = ConvertVsp(tmpl, &pieces);
    benchmark::DoNotOptimize(script);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(tmpl.size()));
  state.counters["pieces"] = double(pieces.size());
}
BENCHMARK(BM_VspToKxs1MB)->Unit(benchmark::kMillisecond);

// The same bytes in one block: the scanner's own loop.
void BM_VspOneBlock1MB(benchmark::State& state) {
  std::string tmpl = "<%";
  while (tmpl.size() < (1u << 20)) tmpl += "s = \"text with %> and \\\" inside\"; // note\n";
  tmpl += "%>";
  std::vector<std::string> pieces;
  for (auto _ : state) {
    std::string script = ConvertVsp(tmpl, &pieces);
    benchmark::DoNotOptimize(script);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(tmpl.size()));
}
BENCHMARK(BM_VspOneBlock1MB)->Unit(benchmark::kMillisecond);

}  // namespace
