#pragma once
// Argument readings shared by the operations, and the base of operations that
// work for the line: the line's root script instance and the argument values
// in script order.
#include <string>
#include <vector>

#include "engine/keyword.h"
#include "engine/oper.h"
#include "engine/opfactory.h"
#include "engine/tagvar.h"

class TagTelBasic;
class TagKxCall;

// Converted integer: AsInt (a double truncated, a string's leading number).
int ArgInt(const TagVar& v);
// Stored integer: the int field as it is (a string's length plus one).
int ArgStored(const TagVar& v);
// Stored text: the text buffer as it is (what the value last held as text).
std::string ArgText(const TagVar& v);
// The value as printed, unquoted.
std::string ArgPrinted(const TagVar& v);

class TagLineOper : public TagOper {
 public:
  TagLineOper(const std::vector<TagVar*>& args, TagTelBasic* root) : root_(root), args_(args) {}

 protected:
  // A missing argument reads as the constant null, which ignores writes.
  TagVar& Arg(size_t i) const { return i < args_.size() && args_[i] ? *args_[i] : TagVar::ConstNull(); }
  TagTelBasic& Root() const { return *root_; }
  // The call object, read afresh at every execution.
  TagKxCall* Call() const;

  TagTelBasic* root_;
  std::vector<TagVar*> args_;
};

// An operation that needs the call object; -1 when the line has none.
class TagCallOper : public TagLineOper {
 public:
  using TagLineOper::TagLineOper;
  int Execute() final;

 protected:
  virtual int Run(TagKxCall& call) = 0;
};

// The families of the IVR vocabulary, each one table for the factory.
const TagOpTable& CallCtlOperations();
const TagOpTable& KeyOperations();
const TagOpTable& VoiceOperations();
const TagOpTable& VoiceCfgOperations();
const TagOpTable& PlayNumberOperations();
