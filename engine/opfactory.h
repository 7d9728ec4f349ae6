#pragma once
// Makes the operation of a built-in keyword. Each family of operations
// exports one table of {keyword, maker} from its own file, e.g.
//   const TagOpTable& VoiceOperations() { static const TagOpTable t = {{KeywordId::Play, MakePlay}}; return t; }
// and the program's composition root (host/operations.cpp) registers every
// table at start with TagOpFactory::Register. A keyword nobody
// registered builds a placeholder that logs "<keyword> is not available" once
// per statement and returns -1, so every script compiles. A maker may return
// null to get the placeholder. "DllFunction(" declares its function to the
// compiler with TagTelBasic::DeclareDllFunction while it is made.
#include <array>
#include <vector>

#include "engine/keyword.h"

class TagOper;
class TagVar;
class TagTelBasic;

// What a maker gets: the keyword, the argument values in source order, the
// instance the statement is compiled in and the line's root instance.
struct TagOpArgs {
  const RecKeyword& keyword;
  const std::vector<TagVar*>& args;
  TagTelBasic* inst;
  TagTelBasic* root;
  // Line type of the call object (the parent's for a function body): some
  // keywords pick their class by it ("GetKeys(" on a virtual line).
  int lineType;
  int lineNo;  // the line number of the instance ("DispInfo(", "SetDispColor(")
};

using TagOpMaker = TagOper* (*)(const TagOpArgs&);

// One keyword of a family and how its operation is made.
struct TagOpEntry {
  KeywordId id;
  TagOpMaker make;
};
using TagOpTable = std::vector<TagOpEntry>;

// The maker of an operation constructed from the arguments and the line's
// root instance.
template <class T>
TagOper* MakeLineOper(const TagOpArgs& a) {
  return new T(a.args, a.root);
}

class TagOpFactory {
 public:
  // The process-wide factory; empty until the families register (at start,
  // before any script compiles).
  static TagOpFactory& Instance();

  // A family registers its keywords. A second maker for a keyword replaces
  // the first.
  void Register(KeywordId id, TagOpMaker maker) { makers_[static_cast<size_t>(id)] = maker; }
  // Every keyword of a family's table.
  void Register(const TagOpTable& family) {
    for (const TagOpEntry& e : family) Register(e.id, e.make);
  }
  bool Has(int index) const { return index >= 0 && index < kKeywordCount && makers_[static_cast<size_t>(index)]; }
  // The operation, or the placeholder.
  TagOper* Make(const TagOpArgs& a) const;
  // Whether op is the placeholder of a keyword nobody registered.
  static bool IsPlaceholder(const TagOper* op);

 private:
  TagOpFactory() = default;
  std::array<TagOpMaker, kKeywordCount> makers_{};
};
