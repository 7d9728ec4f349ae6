// Generated scripts of recursive and mutually recursive functions (loops
// around calls, arguments written back, globals and locals, calls past the
// nesting limit) run against the outputs recorded in data/call_runs.txt.
// RODIZ_RECORD_CALL_RUNS=<file> writes the outputs there instead.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/memkxs.h"
#include "engine/telbasic.h"
#include "script_harness.h"

using scripttest::ScriptTest;

namespace {

constexpr int kScripts = 300;
const char* const kOutputs[] = {"g0", "g1", "gs", "o0", "o1", "o2", "a0", "a1", "mc", "l0", "l1", "s"};

// mt19937's sequence is fixed by the standard; the distributions are not.
class Gen {
 public:
  explicit Gen(uint32_t seed) : rng_(seed) {}
  int Below(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
  bool Chance(int percent) { return Below(100) < percent; }

 private:
  std::mt19937 rng_;
};

struct Fn {
  int params;
};

std::string Pick(Gen& g, const std::vector<std::string>& names) { return names[static_cast<size_t>(g.Below(static_cast<int>(names.size())))]; }

// A function defined later is called through a variable that holds it.
std::string Call(Gen& g, const std::vector<Fn>& fns, int self, const std::vector<std::string>& writable,
                 const std::string& target) {
  const int k = g.Below(static_cast<int>(fns.size()));
  std::string s = "e = d - " + std::to_string(1 + g.Below(2)) + "\n" + target + " = " + (k > self ? "c" : "f") +
                  std::to_string(k) + "(e";
  for (int p = 1; p < fns[static_cast<size_t>(k)].params; ++p) s += ", " + Pick(g, writable);
  return s + ")\n";
}

std::string Simple(Gen& g, const std::vector<std::string>& reads, const std::vector<std::string>& writable) {
  const std::string t = Pick(g, writable);
  switch (g.Below(5)) {
    case 0: return t + " = " + Pick(g, reads) + " + " + std::to_string(g.Below(7)) + "\n";
    case 1: return t + " = " + Pick(g, reads) + " * 3 - " + Pick(g, reads) + ";\n";
    case 2: return "gs = gs + \"" + std::string(1, static_cast<char>('a' + g.Below(26))) + "\"\n";
    case 3: return "g0 = g0 + " + Pick(g, reads) + "\n";
    default: return t + "++\n";
  }
}

std::string Body(Gen& g, const std::vector<Fn>& fns, int self, bool deep) {
  std::vector<std::string> writable = {"l0", "l1", "s"};
  for (int p = 1; p < fns[static_cast<size_t>(self)].params; ++p) writable.push_back("p" + std::to_string(p));
  std::vector<std::string> reads = writable;
  reads.insert(reads.end(), {"d", "g0", "g1"});
  std::string s;
  const int stmts = 1 + g.Below(4);
  int calls = 0;
  for (int i = 0; i < stmts; ++i) {
    // Deep chains make one call per activation, or the calls multiply.
    const int kind = deep ? (g.Below(2) == 0 ? 0 : 5) : g.Below(6);
    if (kind <= 1 && calls < (deep ? 1 : 2)) {
      ++calls;
      s += Call(g, fns, self, writable, Pick(g, writable));
    } else if (kind == 2 && calls < 2) {
      ++calls;
      // The loop's counter and state must survive the calls in its body.
      const std::string v = g.Chance(50) ? "i" : "j";
      if (g.Chance(50))
        s += "for(" + v + " = 0; " + v + " < " + std::to_string(1 + g.Below(3)) + "; " + v + "++)\n{\n";
      else
        s += v + " = 0\nwhile(" + v + " < " + std::to_string(1 + g.Below(3)) + ")\n{\n" + v + "++\n";
      s += Call(g, fns, self, writable, Pick(g, writable)) + "s = s + " + v + "\n";
      if (g.Chance(30)) s += "if(s > 40)\n{\nbreak;\n}\n";
      s += "}\n";
    } else if (kind == 3 && calls < 2) {
      ++calls;
      s += "for(k in gm)\n{\nl1 = l1 + k\n" + Call(g, fns, self, writable, "l0") + "}\n";
    } else {
      s += Simple(g, reads, writable);
    }
  }
  return s;
}

std::string Script(uint32_t seed) {
  Gen g(seed);
  std::vector<Fn> fns(static_cast<size_t>(1 + g.Below(3)));
  for (Fn& f : fns) f.params = 1 + g.Below(3);
  // Mostly shallow; sometimes far past the nesting limit.
  const bool deep = g.Chance(10);
  const int depth = deep ? 60 + g.Below(15) : 1 + g.Below(4);
  // Where the function's values live: set at each entry, set only by the
  // innermost calls (the others read what the last call left), or globals.
  const int scope = g.Below(3);
  std::string s = "g0 = " + std::to_string(g.Below(5)) + "\ng1 = 1\ngs = \"\"\ngm = 0\ngm[1] = 1\ngm[2] = 2\n";
  s += "c0 = 0\nc1 = 0\nc2 = 0\n";
  if (scope == 2) s += "l0 = 0\nl1 = 0\ns = 0\n";
  for (size_t k = 0; k < fns.size(); ++k) {
    s += "function f" + std::to_string(k) + "(d";
    for (int p = 1; p < fns[k].params; ++p) s += ", p" + std::to_string(p);
    s += ")\n{\n";
    if (scope == 0) s += "l0 = d\nl1 = 0\ns = 0\n";
    s += "if(d <= 0)\n{\n";
    if (scope == 1) s += "l0 = d\nl1 = 1\ns = 2\n";
    s += "return(" + std::string(g.Chance(50) ? "d + 1" : "g1") + ")\n}\n";
    s += Body(g, fns, static_cast<int>(k), deep);
    s += "return(l0 + s)\n}\n";
  }
  for (size_t k = 0; k < fns.size(); ++k) s += "c" + std::to_string(k) + " = f" + std::to_string(k) + "\n";
  s += "a0 = 3\na1 = 5\no0 = 0\no1 = 0\no2 = 0\nmc = 0\n";
  for (int c = 0; c < 3 && c < static_cast<int>(fns.size()) + 1; ++c) {
    const size_t k = static_cast<size_t>(g.Below(static_cast<int>(fns.size())));
    s += "o" + std::to_string(c) + " = f" + std::to_string(k) + "(" + std::to_string(depth);
    for (int p = 1; p < fns[k].params; ++p) s += p == 1 ? ", a0" : ", a1";
    s += ")\n";
  }
  s += "for(k in gm)\n{\nmc = mc + gm[k];\n}\nreturn(0)\n";
  return s;
}

class CallRunsTest : public ScriptTest {};

TEST_F(CallRunsTest, GeneratedScriptsGiveTheRecordedOutputs) {
  std::vector<std::string> lines;
  for (uint32_t i = 0; i < kScripts; ++i) {
    const std::string text = Script(1000 + i);
    TagMemKxs::Instance().Clear();  // the loader keeps texts by file name
    TagTelBasic& t = Compile(text);
    ASSERT_EQ(t.errorCount, 0) << Report() << text;
    Run();
    std::string line = std::to_string(i);
    for (const char* name : kOutputs)
      if (const TagVar* v = t.FindVariable(name)) line += " " + std::string(name) + "=" + v->ToText();
    lines.push_back(line);
  }
  if (const char* record = std::getenv("RODIZ_RECORD_CALL_RUNS")) {
    std::ofstream out(record, std::ios::binary);
    for (const std::string& l : lines) out << l << "\n";
    GTEST_SKIP() << "recorded to " << record;
  }
  std::ifstream in(std::string(RODIZ_SOURCE_DIR) + "/tests/engine/data/call_runs.txt", std::ios::binary);
  ASSERT_TRUE(in.good());
  std::vector<std::string> expected;
  for (std::string l; std::getline(in, l);) expected.push_back(l);
  ASSERT_EQ(expected.size(), lines.size());
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << Script(1000 + static_cast<uint32_t>(i));
}

}  // namespace
