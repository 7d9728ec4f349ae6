#pragma once
// What a script instance offers the debugger windows: variable texts taken
// from a snapshot that the run thread publishes (never from the live values,
// which the script may be rewriting), the names of a statement, the grid
// orders and the caption of a function view. Pause, step and breakpoints are
// members of TagTelBasic (debugsvc.cpp).
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/watchnames.h"

// One variable as the debugger shows it.
struct TagDebugVar {
  enum Origin : int { kParam = 0, kConst = 1, kVar = 2 };
  std::string name;
  std::string kind;   // "参数: ", "常量: " or "变量: " and the type name (GB)
  std::string note;
  std::string value;  // ToText with quoted strings
  int origin = kVar;
  int position = 0;   // in the instance's list of its origin
};

// The variables of one instance at the moment the run thread published them:
// parameters, then named constants, then variables (the lookup order).
struct TagDebugSnapshot {
  std::vector<TagDebugVar> vars;
  // The first entry of that name in lookup order, or nullptr.
  const TagDebugVar* Find(std::string_view name) const;
};

// Orders of the debugger's variable grid.
enum class TagVarOrder { kByName, kByNameReverse, kPositionReversed, kUnsorted };
void OrderDebugVars(std::vector<TagDebugVar>& vars, TagVarOrder order);


// The caption of a debugger view.
class TagCaptionControl {
 public:
  virtual ~TagCaptionControl() = default;
  virtual void SetCaption(std::string_view text) = 0;
};

// Whether a debugger page is open for a line ("Assert(" stops only then).
// Set by the debugger windows.
void SetDebugPageOpen(int line, bool open);
bool IsDebugPageOpen(int line);
