#pragma once
// Calls from a script: script functions (TagCall, kind kOpCall) and functions of
// user libraries declared with "DllFunction(" (TagDllCall, kind kOpOperation).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/flow.h"
#include "engine/oper.h"
#include "engine/tagvar.h"

class TagVar;
class TagTelBasic;

// What a body's calls that run while an earlier call of it runs put aside:
// per activation, the values of its parameters and variables and the state
// of its loops. Found once per shape of the body; frames are kept for reuse,
// so a recursive call allocates nothing once its depth has been reached.
struct TagCallFrames {
  struct Frame {
    std::vector<TagVar> values;  // per slot
    std::vector<std::unique_ptr<TagWhile::State>> loops;
    std::vector<TagOper*> prevs;  // per loop
    std::vector<TagVar> results;  // per argument
    TagVar ret;
    TagOper* curOper = nullptr;
    int curOperIndex = -1;
    uint8_t runEnded = 0;
    TagTelBasic* caller = nullptr;
  };
  // The shape the lists were made for.
  size_t varCount = 0, paramCount = 0;
  uint32_t listChanges = ~0u;
  std::vector<TagVar*> slots;  // the writable parameters and variables
  std::vector<TagWhile*> loops;
  std::vector<std::unique_ptr<Frame>> frames;
  size_t top = 0;
};

class TagCall : public TagOper {
 public:
  static constexpr int kMaxDepth = 64;
  TagCall(TagVar* function, TagTelBasic* callingInstance) : fn_(function), inst_(callingInstance) { plainNext = 1; }
  TagOper* Next() final { return next; }
  // A temporary of the expression compiler takes no result back: nothing
  // reads it before the next expression writes it.
  void AddArg(TagVar* v) { args_.push_back({v, v->Name().rfind("__m", 0) != 0}); }
  // The function's _retVal as an int; -1 not a function, -2 wrong argument
  // count, -3 calls nested too deep. The caller's _retVal gets the result or
  // the error code.
  int Execute() override;
  // Every argument that takes a result back.
  bool ListWrites(std::vector<const TagVar*>& out) const override;

 private:
  int Fail(int code);
  // The checks of a call of a body other than the one bound, then the bind.
  int Bind(TagTelBasic* body);
  int ExecuteReentrant(TagTelBasic* body, TagTelBasic* root);
  static TagCallFrames& FramesOf(TagTelBasic& body);
  TagVar* fn_;
  TagTelBasic* inst_;
  TagTelBasic* root_ = nullptr;  // inst_'s line root, found at the first call
  struct Arg {
    TagVar* var;
    bool copyBack;
  };
  std::vector<Arg> args_;
  // The body of the last call and, per argument, its parameter and whether
  // the result goes back (the body may write the parameter).
  TagTelBasic* bound_ = nullptr;
  struct Bound {
    TagVar* arg;
    TagVar* param;
    bool copyBack;
    // Not needed unless a timer ran inside the body: it may have written
    // the argument too.
    bool copyIfTimers;
  };
  std::vector<Bound> boundArgs_;
};

// The user library bridge lives above the engine and installs how a call of a
// declared function runs: the line's root instance, the name, the values.
using TagDllCallHandler = int (*)(TagTelBasic* root, const std::string& fnName, const std::vector<TagVar*>& args);
void SetDllCallHandler(TagDllCallHandler handler);

// A call of a function declared with "DllFunction(": through the installed
// bridge; without one it logs once and fails.
class TagDllCall : public TagOper {
 public:
  TagDllCall(std::string fnName, TagTelBasic* inst) : name_(std::move(fnName)), inst_(inst) { plainNext = 1; }
  TagOper* Next() final { return next; }
  void AddArg(TagVar* v) { args_.push_back(v); }
  int Execute() override;

 private:
  std::string name_;
  TagTelBasic* inst_;
  std::vector<TagVar*> args_;
  bool logged_ = false;
};
