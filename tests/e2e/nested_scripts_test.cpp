// Scripts that run more script and scripts with leftovers of old editing,
// through the real program on virtual lines, judged by what each line prints.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/e2e/harness.h"

namespace {

const std::string kCommon = "IS_WRITE_LOG=1\nIS_IMMEDIATE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nLOAD_DELAY=5\n";

// Starts the lines (line -> script file), waits until each has printed
// "END\n" and returns what each printed.
std::map<int, std::string> RunUntilEnd(e2e::Installation& inst, const std::map<int, std::string>& lines,
                                       int virLines) {
  inst.AddEnv("RODIZ_WAVE=fake");
  inst.AddEnv("RODIZ_WAVE_FAKE_DIR=" + inst.Path(""));
  std::string cfg = kCommon + "VIR_LINES_NUM=" + std::to_string(virLines) + "\n";
  for (const auto& [line, file] : lines) cfg += std::to_string(line) + " = " + file + "\n";
  inst.Write("RoDizRun.cfg", cfg);
  std::map<int, std::string> got;
  if (inst.Start() <= 0) {
    ADD_FAILURE() << "not started";
    return got;
  }
  for (const auto& [line, file] : lines) {
    const std::string out = "_stdout" + std::to_string(line) + ".txt";
    const bool done = e2e::WaitFor(
        [&] {
          got[line] = inst.Read(out);
          return got[line].find("END\n") != std::string::npos;
        },
        120000);
    EXPECT_TRUE(done) << "line " << line << ":\n"
                      << got[line] << inst.Read("errmsg" + std::to_string(line) + ".txt") << inst.LogText();
  }
  EXPECT_EQ(inst.Stop(), 0);
  return got;
}

// Many lines print while nested scripts start and end under them; a nested
// script that ends with "return(" hands control back to the statement after
// its "RunKxs(", and every line's file holds only its own line's text.
TEST(NestedScripts, ManyLinesPrintWhileNestedScriptsStartAndEnd) {
  constexpr int kLines = 12;
  constexpr int kRounds = 40;
  e2e::Installation inst;
  inst.Write("main.kxs",
             "n = 0\n"
             "Print(\"L\" + _lineNo + \" start\\n\")\n"
             "while(n < " + std::to_string(kRounds) + ")\n"
             "{\n"
             "Print(\"L\" + _lineNo + \" a\" + n + \"\\n\")\n"
             "r = RunKxs(\"sub.kxs\")\n"
             "Print(\"L\" + _lineNo + \" b\" + n + \" \" + r + \"\\n\")\n"
             "n = n + 1\n"
             "}\n"
             "RunKxs(\"sub.kxs\")\n"
             "Print(\"L\" + _lineNo + \" after\\n\")\n"
             "Print(\"END\\n\")\n"
             "return(0)\n");
  // The nested script prints into its caller's file, runs one of its own
  // and ends with "return(".
  inst.Write("sub.kxs",
             "Print(\"S\" + _lineNo + \"\\n\")\n"
             "k = RunKxs(\"leaf.kxs\")\n"
             "Print(\"S\" + _lineNo + \" \" + k + \"\\n\")\n"
             "return(1)\n");
  inst.Write("leaf.kxs", "Print(\"F\" + _lineNo + \"\\n\")\nreturn(2)\n");
  std::map<int, std::string> lines;
  for (int l = 0; l < kLines; ++l) lines[l] = "main.kxs";
  std::map<int, std::string> got = RunUntilEnd(inst, lines, kLines);
  for (int l = 0; l < kLines; ++l) {
    const std::string id = std::to_string(l);
    const std::string nested = "S" + id + "\nF" + id + "\nS" + id + " 2\n";
    std::string want = "L" + id + " start\n";
    for (int n = 0; n < kRounds; ++n)
      want += "L" + id + " a" + std::to_string(n) + "\n" + nested + "L" + id + " b" + std::to_string(n) + " 1\n";
    want += nested + "L" + id + " after\nEND\n";
    EXPECT_EQ(got[l], want) << "line " << l;
  }
}

// A nested script run from its caller's hang-up section returns to the
// statement after its "RunKxs(": the section is not entered again.
TEST(NestedScripts, NestedScriptInTheHangupSectionReturnsToIt) {
  e2e::Installation inst;
  inst.Write("main.kxs",
             "Print(\"start\\n\")\n"
             "Hangup()\n"
             "Print(\"not reached\\n\")\n"
             "return(0)\n"
             "OnDisconn()\n"
             "Print(\"section\\n\")\n"
             "r = RunKxs(\"sub.kxs\")\n"
             "Print(\"after \" + r + \"\\n\")\n"
             "Print(\"END\\n\")\n"
             "return(0)\n");
  inst.Write("sub.kxs", "Print(\"sub\\n\")\nreturn(1)\n");
  std::map<int, std::string> got = RunUntilEnd(inst, {{0, "main.kxs"}}, 1);
  EXPECT_EQ(got[0], "start\nsection\nsub\nafter 1\nEND\n");
}

// Text after a brace and a "*/" without its "/*" are reported and dropped;
// the text of a script ends at a NUL byte. Scripts with such lines run.
TEST(NestedScripts, ScriptsWithStrayTextRun) {
  e2e::Installation inst;
  inst.Write("braces.kxs",
             "r = 0\n"
             "while(r < 3)\n"
             "{ junk\n"
             "r = r + 1\n"
             "} junk\n"
             "if(r == 3)\n"
             "{\n"
             "Print(\"braces \" + r + \"\\n\")\n"
             "} // fine\n"
             "x = 1 */\n"
             "Print(\"END\\n\")\n"
             "return(0)\n");
  inst.Write("nul.kxs", "Print(\"nul\\n\")\nPrint(\"END\\n\")\nreturn(0) " + std::string(1, '\0') + " junk (\n} more\n");
  std::map<int, std::string> got = RunUntilEnd(inst, {{0, "braces.kxs"}, {1, "nul.kxs"}}, 2);
  EXPECT_EQ(got[0], "braces 3\nEND\n");
  EXPECT_EQ(got[1], "nul\nEND\n");
  // The report keeps what was dropped.
  const std::string report = inst.Read("errmsg0.txt");
  EXPECT_NE(report.find("(3): "), std::string::npos) << report;
  EXPECT_NE(report.find("(10): "), std::string::npos) << report;
}

}  // namespace
