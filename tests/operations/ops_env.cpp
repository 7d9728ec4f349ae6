// Scripts in these tests run on lines the program would have set up: the
// speech engine, the PC player, the user-library calls and every operation
// family of the program.
#include "engine/call.h"
#include "host/operations.h"
#include "lines/tts.h"
#include "lines/waveplay.h"
#include "operations/argread.h"
#include "tests/support/ops_env.h"

namespace {
std::vector<testsupport::OpTableFn> ProgramFamilies() {
  std::vector<testsupport::OpTableFn> tables;
  for (const TagOpFamily& family : OperationFamilies()) tables.push_back(family.table);
  return tables;
}
void InstallLineMakers() {
  RegisterWavePlayer();
  RegisterSpeech();
  SetDllCallHandler(&RunDllCall);
}
[[maybe_unused]] ::testing::Environment* const kEnv =
    testsupport::RegisterOperations(ProgramFamilies(), InstallLineMakers);
}  // namespace
