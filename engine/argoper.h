#pragma once
// The base of every operation that reads script arguments: the argument
// values in script order and the instance it works for (the line's root
// instance; the compiling instance for the operations that compile more
// script), with the common ways of reading a value.
#include <string>
#include <utility>
#include <vector>

#include "engine/oper.h"
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

class TagArgOper : public TagOper {
 public:
  TagArgOper(std::vector<TagVar*> args, TagTelBasic* root) : root_(root), args_(std::move(args)) { plainNext = 1; }
  TagOper* Next() final { return next; }

 protected:
  // A missing argument reads as the constant null, which ignores writes.
  TagVar& Arg(size_t i) const { return i < args_.size() && args_[i] ? *args_[i] : TagVar::ConstNull(); }
  TagTelBasic& Root() const { return *root_; }
  // The call object, read afresh at every execution.
  TagKxCall* Call() const;

  TagTelBasic* root_;
  std::vector<TagVar*> args_;
};
