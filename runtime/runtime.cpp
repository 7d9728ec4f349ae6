#include "runtime/runtime.h"

#include <memory>

#include "engine/call.h"
#include "engine/telbasic.h"
#include "lines/cardcall.h"
#include "lines/tts.h"
#include "lines/waveplay.h"
#include "operations/argread.h"
#include "runtime/procobjects.h"
#include "runtime/teldrive.h"
#include "services/dblibs.h"
#include "services/linedir.h"

namespace {

// How a card line shows its keys: its script's key-display mode, -1 when the
// line has no script instance.
int LineKeysMode(int line) {
  TagTelDrive* drive = pTelDrive.load();
  if (!drive) return -1;
  std::shared_ptr<TagTelBasic> inst = drive->Instance(line);
  return inst ? inst->dispKeysMode : -1;
}

void StartLineServices() {
  TagLineDirectory dir;
  dir.lineCount = [] {
    TagTelDrive* drive = pTelDrive.load();
    return drive ? drive->telCount : 0;
  };
  dir.instance = [](int line) -> std::shared_ptr<TagTelBasic> {
    TagTelDrive* drive = pTelDrive.load();
    return drive ? drive->Instance(line) : nullptr;
  };
  SetLineDirectory(std::move(dir));
  SetKeysModeLookup(&LineKeysMode);
  SetDllCallHandler(&RunDllCall);
}

void StopLineServices() {
  SetDllCallHandler(nullptr);
  SetKeysModeLookup(nullptr);
  SetLineDirectory({});
}

void BindDbLibraries() {
  // A library that is missing only disables its kind of data set.
  for (int which : {kDbLibMySql, kDbLibGateway, kDbLibSqlServer}) BindDbLibrary(which);
}

void UnbindDbLibraries() {
  for (int which : {kDbLibGateway, kDbLibMySql, kDbLibSqlServer}) UnbindDbLibrary(which);
}

}  // namespace

void StartLineRuntime() {
  StartProcessObjects();
  StartLineServices();
  RegisterSpeech();
  BindDbLibraries();
  RegisterWavePlayer();
}

void StopLineRuntime() {
  // The PC player and the speech engine are makers without state: they stay
  // for lines made outside a manager (tests, the next start).
  UnbindDbLibraries();
  StopLineServices();
}
