#include "host/operations.h"

#include "engine/opfactory.h"
#include "engine/runtimecompile.h"
#include "operations/argread.h"
#include "regex/eregops.h"

void RegisterAllOperations() {
  TagOpFactory& f = TagOpFactory::Instance();
  RegisterCallCtlOperations(f);
  RegisterKeyOperations(f);
  RegisterVoiceOperations(f);
  RegisterVoiceCfgOperations(f);
  RegisterPlayNumberOperations(f);
  RegisterRegexOperations(f);
  RegisterRuntimeOps(f);
}
