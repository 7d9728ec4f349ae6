// Fuzz target over the run-time compiles: the input is evaluated with "Eval("
// and, when it names no operation, run with "RunLine(", each twice, on a
// compiled script. Built and run by scripts/fuzz (the fuzz preset).
// The unit tests include this file with RODIZ_FUZZ_NO_MAIN and run it over a
// fixed corpus.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/memkxs.h"
#include "engine/oper.h"
#include "tests/support/tempdir.h"
#include "engine/runtimecompile.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "engine/kxcall.h"

namespace fuzz_runtime {

constexpr const char* kScript =
    "x = 3\ns = \"ab\"\nm = 0\nm[1] = 2\nq = 0\nfunction f(a)\n{\nreturn(a)\n}\nr = f(1)\nreturn(0)\n";

// A compiled script to evaluate against, in a private directory (its reports
// and prints go there).
struct Host {
  testsupport::TempDir tmp;
  std::string dir = tmp.path().empty() ? "/tmp" : tmp.path();
  TagKxCall call;
  std::unique_ptr<TagTelBasic> inst;
  Host() {
    char cwd[4096];
    const bool back = getcwd(cwd, sizeof cwd) != nullptr;
    if (chdir(dir.c_str()) != 0) return;
    if (FILE* f = std::fopen("rt.kxs", "wb")) {
      std::fputs(kScript, f);
      std::fclose(f);
    }
    TagMemKxs::Instance().Clear();
    inst = std::make_unique<TagTelBasic>("rt.kxs", 0, &call, 1);
    if (back && chdir(cwd) != 0) inst.reset();
  }
  ~Host() {
    // Maps made by the inputs are given back before the values go.
    if (inst)
      for (auto& v : inst->variables)
        if (v && v->IsMap() && !v->IsConst()) v->SetInt(0);
  }
};

// 0 when the run-time compiles kept their promises: the operation list and
// its links as they were, the temporary counter restored, and the same
// compile repeated at once adding no variables the second time.
inline int Check(TagTelBasic& t, std::string_view input) {
  TagVar text;
  text.SetBytes(input.data(), input.size());
  std::vector<TagOper*> nexts;
  for (TagOper* op : t.operations) nexts.push_back(op->next);
  const int counter = t.tempCounter;
  TagEval eval(&t, &text);
  TagRunLine line(&t, &text);
  auto intact = [&] {
    if (t.tempCounter != counter) return 1;
    if (t.operations.size() != nexts.size()) return 2;
    for (size_t i = 0; i < nexts.size(); ++i)
      if (t.operations[i]->next != nexts[i]) return 3;
    return 0;
  };
  auto twice = [&](TagOper& op) {
    op.Execute();
    const size_t first = t.variables.size();
    op.Execute();
    if (t.variables.size() != first) return 4;
    return intact();
  };
  if (int r = twice(eval)) return r;
  // Operations might do anything (files, waits): only expressions and
  // assignments are run as lines.
  if (input.find('(') != std::string_view::npos) return 0;
  return twice(line);
}

}  // namespace fuzz_runtime

#if !defined(RODIZ_FUZZ_NO_MAIN)
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz_runtime::Host host;
  static const size_t scriptVariables = host.inst ? host.inst->variables.size() : 0;
  if (!host.inst || host.inst->initResult != 0) std::abort();
  // Texts far below the program's limit, and names the inputs made dropped
  // after each input: no input, nor a run of many, can reach the fuzzer's
  // memory limit.
  TagVar::SetTextLimitForTest(1 << 20);
  char cwd[4096];
  const bool back = getcwd(cwd, sizeof cwd) != nullptr;
  if (chdir(host.dir.c_str()) != 0) return 0;
  const int r = fuzz_runtime::Check(*host.inst, std::string_view(reinterpret_cast<const char*>(data), size));
  if (back && chdir(cwd) != 0) std::abort();
  for (size_t i = 0; i < host.inst->variables.size(); ++i) {
    auto& v = host.inst->variables[i];
    if (v && !v->IsConst() && (i >= scriptVariables || v->IsString())) v->SetInt(0);
  }
  if (r != 0) {
    std::fprintf(stderr, "run-time compile invariant %d broken\n", r);
    std::abort();
  }
  return 0;
}
#endif
