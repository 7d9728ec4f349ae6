#pragma once
// How the debugger windows reach a script instance: pause, step, breakpoints
// and the variables as the debugger may read them. Everything the windows
// read of a running script goes through here, so there is one place that
// decides what is safe to read from the GUI thread.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/opkind.h"

class TagTelBasic;

namespace dbgview {

// One variable as the grids show it.
struct Var {
  enum Origin : int { kParam = 0, kConst = 1, kVar = 2 };
  std::string name;
  std::string kind;   // "参数: ", "常量: " or "变量: " and the type name (GB)
  std::string note;
  std::string value;  // text with quoted strings
  int origin = kVar;
  int position = 0;   // within its origin's list
  bool isFunction = false;
};

// One statement as the trees show it.
struct Stmt {
  std::string text;
  int depth = 0;
  int index = 0;
  int lineNo = 0;
  int next = -1;   // index of the operation that follows, -1 none
  int owner = -1;  // index of the enclosing block, -1 none
  OpKind kind = kOpAssign;
};
// A copy of the body's statements; run-time compiles may change the list
// while the script runs.
std::vector<Stmt> Statements(const TagTelBasic& body);

bool IsPaused(const TagTelBasic& inst);
void SetPaused(TagTelBasic& inst, bool flag);
void Step(TagTelBasic& inst);
// Index outside the body's operations: ignored / false.
void SetBreakpoint(TagTelBasic& body, int index, bool flag);
bool HasBreakpoint(const TagTelBasic& body, int index);
// The instance and all its function bodies.
void ClearBreakpoints(TagTelBasic& inst);

// The body's variables in lookup order (parameters, named constants,
// variables); false when none can be read now (a running script that has not
// published them).
bool Vars(const TagTelBasic& body, std::vector<Var>* out);
// 0 found; -1 with the value "变量名不存在.".
int FindVarText(const TagTelBasic& body, const std::string& name, std::string* note, std::string* value,
                std::string* kind);
// "name: value" lines of the variables a statement names.
std::string WatchText(const TagTelBasic& body, int index);
// The caption of a function view: its definition, "_main_" for a main script.
std::string FunctionName(const TagTelBasic& body);
// Moves whenever the script asks the debugger to refresh its lists.
uint32_t RefreshCount(const TagTelBasic& inst);
// Tells the script side that a page is open for the line ("Assert(" asks).
void SetPageOpen(int line, bool open);

}  // namespace dbgview
