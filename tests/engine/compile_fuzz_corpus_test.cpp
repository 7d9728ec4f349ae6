// The compile fuzz target over a fixed corpus of awkward scripts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "script_harness.h"
#define RODIZ_FUZZ_NO_MAIN
#include "tests/fuzz/fuzz_compile.cpp"

TEST(CompileFuzzCorpus, CompilesWithoutBreakingInvariants) {
  std::vector<std::string> corpus = {
      "",
      "{",
      "}\n}\n{",
      "if(\n",
      "x = (((1)\n",
      "x = a[;\n",
      "x = \"unterminated\n",
      "for(;;)\n",
      "for(a in)\n",
      "switch(\n{\ncase(\n",
      "function (\n{\n",
      "function f(a,,b)\n",
      "/* /* */ */ */\n",
      "x = 1 + + + 2;\n",
      "m[\"a\"] = 1\nm[] = 2\n",
      "while(1)\n",
      "else if(1)\n{\n}\nelse\n",
      "#include\n#include <\n",
      "x\\\n\\\n\\",
      std::string("x = \"\x81\\\"\n", 8),
      std::string(3000, '('),
      std::string("\x01\x02", 2),
      "return(\nbreak;\ncontinue;\ncase(1)\ndefault()\n",
      "a = 1\nif(a)\nwhile(a)\nx = 1\n",
  };
  for (const std::string& s : corpus)
    EXPECT_EQ(fuzz_compile::Run(reinterpret_cast<const uint8_t*>(s.data()), s.size()), 0) << s;
}
