#pragma once
// Operations that compile or run more script while a script runs: "Eval(",
// "RunLine(", "RunKxs(", "SetRunKxsEnvt(" and "Assert(", and the
// registration of this family together with printing and timers.
#include <string>

#include "engine/oper.h"

class TagVar;
class TagTelBasic;
#include "engine/opfactory.h"

// "Eval(" text (kind 'R'): the expression's value into _retVal.
class TagEval : public TagOper {
 public:
  TagEval(TagTelBasic* inst, TagVar* text) : inst_(inst), text_(text) {}
  int Execute() override;

 private:
  TagTelBasic* inst_;
  TagVar* text_;
};

// "RunLine(" text: compiles the line apart from the running list, runs the
// operation it made and deletes it again. Flow, braces, sections, function
// definitions and includes are refused.
class TagRunLine : public TagOper {
 public:
  static constexpr int kRefused = -999;
  TagRunLine(TagTelBasic* root, TagVar* text);
  int Execute() override;

 private:
  TagTelBasic* root_;
  TagVar* text_;
};

// "RunKxs(" file: runs another script file nested on the same line.
class TagRunKxs : public TagOper {
 public:
  static constexpr int kRefused = -999;
  static constexpr int kMaxDepth = 16;
  TagRunKxs(TagTelBasic* defining, TagVar* file) : defining_(defining), file_(file) {}
  int Execute() override;

 private:
  TagTelBasic* defining_;
  TagVar* file_;
};

// "SetRunKxsEnvt(" flag: nested scripts import the caller's variables.
class TagSetRunKxsEnvt : public TagOper {
 public:
  TagSetRunKxsEnvt(TagTelBasic* root, TagVar* flag) : root_(root), flag_(flag) {}
  int Execute() override;

 private:
  TagTelBasic* root_;
  TagVar* flag_;
};

// "Assert(" condition: under the debugger a false condition stops the script.
class TagAssert : public TagOper {
 public:
  TagAssert(TagTelBasic* root, TagVar* cond) : root_(root), cond_(cond) {}
  int Execute() override;

 private:
  TagTelBasic* root_;
  TagVar* cond_;
};

// "Print(", "SetPrintTo(", "StartTimer(", "StopTimer(", "Eval(", "RunLine(",
// "RunKxs(", "SetRunKxsEnvt(" and "Assert(".
const TagOpTable& RuntimeOperations();
