// Names of a compiled script: variables, constants, literals, temporaries,
// parameters and functions.
#include <charconv>
#include <cstring>

#include "engine/oper.h"
#include "engine/scan.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"

namespace {

// Constants share one variable per type and value.
bool ConstKey(const TagVar& v, std::string& key) {
  key.clear();
  if (v.IsInt()) {
    int32_t i = v.IntValue();
    key = 'i';
    key.append(reinterpret_cast<const char*>(&i), sizeof i);
    return true;
  }
  if (v.IsDouble()) {
    double d = v.DblValue();
    if (d == 0) d = 0;  // -0.0 equals 0.0
    key = 'd';
    key.append(reinterpret_cast<const char*>(&d), sizeof d);
    return true;
  }
  if (v.IsString()) {
    key = 's';
    key.append(v.Bytes());
    return true;
  }
  return false;
}

// ConstKey of the literal's value, without making the value: its type byte
// and the value's bytes, kept in `storage` for numbers; false when only the
// value itself can tell (a string past the text limit).
bool LiteralKey(int kind, std::string_view text, TagNameIndex::Key& key, char (&storage)[8]) {
  if (kind == TagOperand::kInteger) {
    const int32_t i = TagVar::ParseInt(text);
    std::memcpy(storage, &i, sizeof i);
    key = TagNameIndex::Key{std::string_view(storage, sizeof i), 'i', true};
    return true;
  }
  if (kind == TagOperand::kReal) {
    double d = TagVar::ParseDouble(text);
    if (d == 0) d = 0;
    std::memcpy(storage, &d, sizeof d);
    key = TagNameIndex::Key{std::string_view(storage, sizeof d), 'd', true};
    return true;
  }
  if (text.size() >= static_cast<size_t>(TagVar::TextLimit())) return false;
  key = TagNameIndex::Key{text, 's', true};
  return true;
}

bool LiteralKey(int kind, std::string_view text, std::string& key) {
  TagNameIndex::Key k;
  char storage[8];
  if (!LiteralKey(kind, text, k, storage)) {
    key.clear();
    return false;
  }
  key.assign(1, k.head);
  key.append(k.rest);
  return true;
}

// The constant's ConstKey is key, without building it.
bool HasConstKey(const TagVar& v, const TagNameIndex::Key& key) {
  if (!v.IsConst() || !key.hasHead) return false;
  const std::string_view bytes = key.rest;
  switch (key.head) {
    case 'i': {
      if (!v.IsInt() || bytes.size() != sizeof(int32_t)) return false;
      const int32_t i = v.IntValue();
      return std::memcmp(&i, bytes.data(), sizeof i) == 0;
    }
    case 'd': {
      if (!v.IsDouble() || bytes.size() != sizeof(double)) return false;
      double d = v.DblValue();
      if (d == 0) d = 0;
      return std::memcmp(&d, bytes.data(), sizeof d) == 0;
    }
    case 's':
      return v.IsString() && v.Bytes() == bytes;
    default:
      return false;
  }
}

void LiteralValue(int kind, std::string_view text, TagVar& v) {
  if (kind == TagOperand::kInteger)
    v.DefineInt("", TagVar::ParseInt(text), true);
  else if (kind == TagOperand::kReal)
    v.DefineDouble("", TagVar::ParseDouble(text), true);
  else
    v.DefineString("", text, true);
}

}  // namespace

void TagTelBasic::IndexNewVariables() {
  if (indexedVars_ == variables.size()) return;
  std::string key;
  if (indexedVars_ > variables.size()) {
    // Variables were taken off the end (a run-time compile undone): start over.
    nameIndex_.Clear();
    constIndex_.Clear();
    indexedVars_ = 0;
  }
  for (; indexedVars_ < variables.size(); ++indexedVars_) {
    const TagVar* v = variables[indexedVars_].get();
    if (!v) continue;
    const int i = static_cast<int>(indexedVars_);
    if (!v->Name().empty()) nameIndex_.TryEmplace(v->Name(), i);
    if (v->IsConst() && ConstKey(*v, key)) constIndex_.TryEmplace(key, i);
  }
}

void TagTelBasic::IndexConst(int varIndex) {
  IndexNewVariables();
  if (varIndex < 0 || static_cast<size_t>(varIndex) >= variables.size()) return;
  std::string key;
  if (!ConstKey(*variables[static_cast<size_t>(varIndex)], key)) return;
  auto [slot, added] = constIndex_.TryEmplace(key, varIndex);
  if (!added && *slot > varIndex) *slot = varIndex;
}

int TagTelBasic::FindVarIndex(std::string_view varName) {
  if (varName.empty()) return -1;
  IndexNewVariables();
  // Values are only ever appended, each with its name fixed before it is,
  // and a list that shrank was indexed again just now: an entry is right
  // without reading the value's name.
  const int* at = nameIndex_.Find(varName);
  return at ? *at : -1;
}

int TagTelBasic::FindParamIndex(std::string_view paramName) const {
  for (int i = 0; i < paramCount && i < static_cast<int>(paramNames.size()); ++i)
    if (paramNames[static_cast<size_t>(i)] == paramName) return i;
  return -1;
}

int TagTelBasic::FindVar(std::string_view varName, TagVar*& out) {
  out = nullptr;
  int i = FindVarIndex(varName);
  if (i >= 0) {
    out = variables[static_cast<size_t>(i)].get();
    return i;
  }
  if (!parent) return -1;
  i = FindParamIndex(varName);
  if (i >= 0) {
    out = params[static_cast<size_t>(i)].get();
    return 10000 + i;
  }
  i = parent->FindVarIndex(varName);
  if (i >= 0) {
    out = parent->variables[static_cast<size_t>(i)].get();
    return i;
  }
  return -1;
}

int TagTelBasic::FindOrCreateVar(std::string_view varName, TagVar*& out) {
  int r = FindVar(varName, out);
  if (r >= 0) return r;
  IndexNewVariables();
  const bool upToDate = indexedVars_ == variables.size();
  auto v = std::make_unique<TagVar>();
  v->DefineInt(varName, 0, false);
  out = AddVariable(std::move(v));
  if (upToDate && !varName.empty()) {
    // Indexed from the caller's text, not from the copy just made.
    nameIndex_.TryEmplace(varName, static_cast<int>(variables.size() - 1));
    indexedVars_ = variables.size();
  }
  return -1;
}

int TagTelBasic::FindConst(int operandKind, std::string_view literal) {
  std::string key;
  if (!LiteralKey(operandKind, literal, key)) {
    TagVar probe;
    LiteralValue(operandKind, literal, probe);
    if (!ConstKey(probe, key)) return -1;
  }
  IndexNewVariables();
  const int* at = constIndex_.Find(key);
  if (!at) return -1;
  const size_t i = static_cast<size_t>(*at);
  std::string found;
  if (i < variables.size() && variables[i] && variables[i]->IsConst() && ConstKey(*variables[i], found) &&
      found == key)
    return *at;
  indexedVars_ = variables.size() + 1;
  IndexNewVariables();
  at = constIndex_.Find(key);
  return at ? *at : -1;
}

TagVar* TagTelBasic::NewLiteral(int operandKind, std::string_view literal) {
  auto v = std::make_unique<TagVar>();
  LiteralValue(operandKind, literal, *v);
  TagVar* p = AddVariable(std::move(v));
  IndexNewVariables();
  return p;
}

int TagTelBasic::OperandVar(const TagOperand& operand, TagVar*& out) {
  return OperandVar(operand.kind, operand.text, out);
}

int TagTelBasic::OperandVar(int kind, std::string_view text, TagVar*& out) {
  out = nullptr;
  switch (kind) {
    case TagOperand::kName: {
      int r = FindVar(text, out);
      if (r < 0) return -1;
      CountNameUse(out);
      return r;
    }
    case TagOperand::kString:
    case TagOperand::kInteger:
    case TagOperand::kReal: {
      // One probe of the index finds the constant or keeps the slot for a
      // new literal.
      TagNameIndex::Key key;
      char storage[8];
      if (LiteralKey(kind, text, key, storage)) {
        IndexNewVariables();
        const int next = static_cast<int>(variables.size());
        auto [at, added] = constIndex_.TryEmplace(key, next);
        if (added) {
          // Indexed already: the index is up to date through `next`. An
          // integer is taken from the key, parsed once (a real's key has
          // lost the sign of a zero).
          auto v = std::make_unique<TagVar>();
          if (key.head == 'i') {
            int32_t i;
            std::memcpy(&i, storage, sizeof i);
            v->DefineInt("", i, true);
          } else {
            LiteralValue(kind, text, *v);
          }
          out = AddVariable(std::move(v));
          indexedVars_ = variables.size();
          return next;
        }
        const int found = *at;
        const size_t i = static_cast<size_t>(found);
        if (i < variables.size() && variables[i] && HasConstKey(*variables[i], key)) {
          out = variables[i].get();
          return found;
        }
      }
      int r = FindConst(kind, text);
      if (r >= 0) {
        out = variables[static_cast<size_t>(r)].get();
        return r;
      }
      out = NewLiteral(kind, text);
      return static_cast<int>(variables.size()) - 1;
    }
    default:
      return -2;
  }
}

void TagTelBasic::CountNameUse(TagVar* v) {
  // A function named as a value counts as called from here.
  if (v->IsFunction() && v->Function() && v->Function()->name != name) v->Function()->CountCall(name);
}

TagVar* TagTelBasic::NewTempVar() {
  TagTelBasic* root = CompileRoot();
  char buf[24] = "__m";
  const auto [end, ec] = std::to_chars(buf + 3, buf + sizeof buf, root->tempCounter++);
  (void)ec;  // an int always fits
  const std::string_view tname(buf, static_cast<size_t>(end - buf));
  // A run-time compile restores the counter afterwards: the next one meets
  // the same names and reuses those temporaries instead of piling up more.
  if (runtimeCompile) {
    const int i = FindVarIndex(tname);
    if (i >= 0) return variables[static_cast<size_t>(i)].get();
  }
  auto v = std::make_unique<TagVar>();
  v->DefineInt(tname, 0, false);
  return AddVariable(std::move(v));
}

int TagTelBasic::FindFunctionIndex(std::string_view fnName) const {
  for (size_t i = 0; i < functions.size(); ++i)
    if (functions[i] && functions[i]->name == fnName) return static_cast<int>(i);
  return -1;
}

TagTelBasic* TagTelBasic::FindFunction(std::string_view fnName) {
  TagTelBasic* owner = parent ? parent : this;
  int i = owner->FindFunctionIndex(fnName);
  return i < 0 ? nullptr : owner->functions[static_cast<size_t>(i)];
}

int TagTelBasic::AddParam(const std::string& paramName) {
  if (paramCount >= kMaxParams) return -1;
  paramNames.push_back(paramName);
  auto v = std::make_unique<TagVar>();
  v->DefineInt(paramName, 0, false);
  params.push_back(std::move(v));
  return paramCount++;
}

int TagTelBasic::CountCall(const std::string& callerName) {
  if (callerName == name) return callers.count(callerName) ? callers[callerName] : 0;
  return ++callers[callerName];
}

int TagTelBasic::RemoveCaller(const std::string& callerName) { return callers.erase(callerName) ? 1 : 0; }

void TagTelBasic::RemoveCallerEverywhere(const std::string& callerName) {
  for (TagTelBasic* f : functions)
    if (f) f->RemoveCaller(callerName);
}

void TagTelBasic::PruneUncalledFunctions() {
  bool removed = true;
  while (removed) {
    removed = false;
    // Callers of this pass's removals are dropped before the next pass looks.
    std::vector<TagTelBasic**> dead;
    for (TagTelBasic*& f : functions)
      if (f && f->CallerCount() == 0) dead.push_back(&f);
    for (TagTelBasic** slot : dead) {
      TagTelBasic*& f = *slot;
      RemoveCallerEverywhere(f->name);
      const int at = f->operations.empty() ? 0 : f->operations.front()->lineNo - 1;
      f->Report(at, CMsg::FuncNeverCalled, f->definitionText, true);
      ++warningCount;
      // The function's variable no longer names a body.
      for (auto& v : variables) {
        if (v && v->IsFunction() && v->Function() == f) {
          v->SetConst(false);
          v->SetNull();
          v->SetConst(true);
        }
      }
      delete f;
      f = nullptr;
      removed = true;
    }
  }
  std::erase(functions, nullptr);
}

void TagTelBasic::BuildViews() {
  varView.clear();
  constView.clear();
  varView.reserve(variables.size());
  constView.reserve(variables.size());
  namedConstCount = 0;
  for (auto& v : variables) {
    if (!v) continue;
    if (v->IsConst()) {
      constView.push_back(v.get());
      if (!v->Name().empty()) ++namedConstCount;
    } else {
      varView.push_back(v.get());
    }
  }
}
