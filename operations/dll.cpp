// User library operations: loading into the line's slots, resolving
// functions, freeing, and the call of a declared function.
#include <string>
#include <vector>

#include "engine/argoper.h"
#include "engine/call.h"
#include "engine/keyword.h"
#include "engine/lineservices.h"
#include "engine/opfactory.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "operations/argread.h"
#include "services/dllbridge.h"

namespace {

TagKxDll& DllTable(TagTelBasic& root) { return root.Services().Get<TagKxDll>(); }

class TagDllLoad : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const int slot = DllTable(Root()).Load(ArgText(Arg(0)));
    Arg(1).SetInt(slot);
    return slot;
  }
};

class TagDllFunction : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    DllTable(Root()).AddFunc(ArgStored(Arg(0)), ArgText(Arg(1)), ArgStored(Arg(2)));
    return 0;
  }
};

// Declared while it is compiled, so later lines may call the name.
TagOper* MakeDllFunction(const TagOpArgs& a) {
  if (a.inst && a.args.size() >= 3 && a.args[1] && a.args[2])
    a.inst->DeclareDllFunction(ArgText(*a.args[1]), ArgStored(*a.args[2]));
  return MakeLineOper<TagDllFunction>(a);
}

class TagDllFree : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    DllTable(Root()).Free(ArgInt(Arg(0)));
    return 0;
  }
};

class TagDllFreeAll : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    DllTable(Root()).FreeAll();
    return 0;
  }
};

}  // namespace

int RunDllCall(TagTelBasic* root, const std::string& name, const std::vector<TagVar*>& args) {
  if (!root) return -1;
  TagKxDll* table = root->Services().Find<TagKxDll>();
  const TagDllFunc* fn = table ? table->FindFunc(name) : nullptr;
  if (!fn) return -1;
  // A negative count compiles calls of any count, but matches none.
  if (fn->argCount != static_cast<int>(args.size())) return -1;
  return CallDllFunction(*fn, args);
}

const TagOpTable& DllOperations() {
  static const TagOpTable entries = {
      {KeywordId::DllLoad, MakeLineOper<TagDllLoad>},
      {KeywordId::DllFunction, MakeDllFunction},
      {KeywordId::DllFree, MakeLineOper<TagDllFree>},
      {KeywordId::DllFreeAll, MakeLineOper<TagDllFreeAll>},
  };
  return entries;
}
