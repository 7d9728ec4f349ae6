#pragma once
// Operations that compile or run more script while a script runs: "Eval(",
// "RunLine(", "RunKxs(", "SetRunKxsEnvt(" and "Assert(", and the
// registration of this family together with printing and timers.
#include <string>

#include "engine/argoper.h"

class TagVar;
class TagTelBasic;
#include "engine/opfactory.h"

// "Eval(" text (kind kOpCall): the expression's value into _retVal.
class TagEval : public TagArgOper {
 public:
  // inst: the instance the statement is compiled in, whose variables the
  // expression sees.
  TagEval(TagTelBasic* inst, TagVar* expr) : TagArgOper({expr}, inst) {}
  int Execute() override;
};

// "RunLine(" text: compiles the line apart from the running list, runs the
// operation it made and deletes it again. Flow, braces, sections, function
// definitions and includes are refused.
class TagRunLine : public TagArgOper {
 public:
  static constexpr int kRefused = -999;
  TagRunLine(TagTelBasic* root, TagVar* line);
  int Execute() override;
};

// "RunKxs(" file: runs another script file nested on the same line.
class TagRunKxs : public TagArgOper {
 public:
  static constexpr int kRefused = -999;
  static constexpr int kMaxDepth = 16;
  // defining: the script that defines the statement (a function body's parent).
  TagRunKxs(TagTelBasic* defining, TagVar* file) : TagArgOper({file}, defining) {}
  int Execute() override;
};

// "SetRunKxsEnvt(" flag: nested scripts import the caller's variables.
class TagSetRunKxsEnvt : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  TagSetRunKxsEnvt(TagTelBasic* root, TagVar* flag) : TagArgOper({flag}, root) {}
  int Execute() override;
};

// "Assert(" condition: under the debugger a false condition stops the script.
class TagAssert : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  TagAssert(TagTelBasic* root, TagVar* cond) : TagArgOper({cond}, root) {}
  int Execute() override;
};

// "Print(", "SetPrintTo(", "StartTimer(", "StopTimer(", "Eval(", "RunLine(",
// "RunKxs(", "SetRunKxsEnvt(" and "Assert(".
const TagOpTable& RuntimeOperations();
