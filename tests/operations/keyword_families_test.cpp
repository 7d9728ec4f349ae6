// The keywords of every operation family as a script meets them: written in a
// script with their argument count they compile to their own operation, and
// a value operation leaves its value where a general one leaves its result.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "engine/keyword.h"
#include "engine/opfactory.h"
#include "host/operations.h"
#include "tests/engine/script_harness.h"

namespace {

using scripttest::ScriptTest;

using KeywordFamilies = ScriptTest;

TEST_F(KeywordFamilies, EveryKeywordCompilesToItsOwnOperation) {
  int n = 0;
  for (const TagOpFamily& family : OperationFamilies()) {
    SCOPED_TRACE(family.name);
    std::string script;
    int maxArgs = 0;
    for (const TagOpEntry& e : family.table()) maxArgs = std::max(maxArgs, KeywordRec(e.id).argCount);
    for (int i = 0; i < maxArgs; ++i) script += "a" + std::to_string(i) + " = 0\n";
    for (const TagOpEntry& e : family.table()) {
      const RecKeyword& kw = KeywordRec(e.id);
      std::string call(kw.name);
      for (int i = 0; i < kw.argCount; ++i) call += (i ? ", a" : "a") + std::to_string(i);
      script += "r = " + call + ")\n";
    }
    script += "return(0)\n";
    // Compiled scripts are cached by name: one file per family.
    TagTelBasic& t = Compile(script, 1, "family" + std::to_string(++n) + ".kxs");
    EXPECT_EQ(t.errorCount, 0) << Report();
    for (const TagOpEntry& e : family.table()) {
      const std::string name(KeywordRec(e.id).name);
      const TagOper* op = nullptr;
      for (const TagOper* o : t.operations)
        if (o->text.rfind("r = " + name, 0) == 0) op = o;
      ASSERT_NE(op, nullptr) << name << " made no operation";
      EXPECT_FALSE(TagOpFactory::IsPlaceholder(op)) << name;
    }
  }
}

TEST_F(KeywordFamilies, ValueOperationsLeaveTheirValueOthersTheirResult) {
  Compile(
      "s = \"abcdef\"\no = \"\"\nf = 0\nst = \"\"\nc = \"\"\nt = \" x \"\n"
      "sub = Substr(s, 2, 3, o)\n"
      "flt = Float(\"2.5\", f)\n"
      "str = Str(7, 1, 0, st)\n"
      "chr = Chr(65, c)\n"
      "trim = Trim(t)\n"
      "ev = Eval(\"1 + 2\")\n"
      "return(0)\n");
  ASSERT_EQ(inst_->initResult, 0) << Report();
  Run();
  const struct {
    const char* var;
    const char* text;
  } cases[] = {{"sub", "cde"}, {"flt", "2.5"}, {"str", "7"}, {"chr", "A"}, {"trim", "0"}, {"ev", "3"}, {"t", "x"}};
  for (const auto& c : cases) EXPECT_EQ(Text(c.var), c.text) << c.var;
}

}  // namespace
