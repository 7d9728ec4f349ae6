// The statement compiler replaces this file: until it lands a script instance
// compiles nothing and cannot run.
#include "engine/telbasic.h"

void TagTelBasic::CompileMain() {
  BeginCompile();
  Report(0, "no compiler in this build", "");
  ++errorCount;
  SourceCompiled();
  initResult = Summarize();
}
