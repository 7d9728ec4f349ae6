// Until the run loop is part of the build, function bodies run through the
// test walker.
#if !__has_include("engine/run.cpp")
#include "engine/telbasic.h"
#include "script_harness.h"

int TagTelBasic::RunFunction(TagTelBasic* callingInstance) {
  caller = callingInstance;
  if (initResult != 0) return -1;
  if (!operations.empty()) scripttest::Walk(*this, operations.front());
  for (auto& v : variables)
    if (v && v->IsMap() && !v->IsConst()) v->SetInt(0);
  curOperIndex = -1;
  return 0;
}
#endif
