#include "operations/argread.h"

#include "engine/opfactory.h"
#include "engine/telbasic.h"
#include "engine/kxcall.h"

int TagCallOper::Execute() {
  TagKxCall* call = Call();
  if (!call) return -1;
  return Run(*call);
}

