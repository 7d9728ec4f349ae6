// Flow statements, braces, and the linking of each new operation to what came
// before it. Constructs complete when the statement after them arrives.
#include "engine/expr.h"
#include "engine/flow.h"
#include "engine/keyword.h"
#include "engine/scan.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"

namespace {

bool KindIn(const TagOper* op, std::initializer_list<OpKind> kinds) {
  for (OpKind k : kinds)
    if (op->kind == k) return true;
  return false;
}

}  // namespace

// A simple assignment as one step (for-loop parts).
static TagCalculate* MakeStep(TagVar* target, TagVar* a, char op, TagVar* b) {
  if (op == kCalcNot || op == kCalcComplement || (op == kCalcSub && !a))
    return new TagCalculate(op, target, b, nullptr);
  if (op == 0) return new TagCalculate(0, target, a, nullptr);
  return new TagCalculate(op, target, a, b);
}

void TagTelBasic::NoteConstruct(int here, const std::string& src) {
  // The operation keeps its own text while statements are shown; only
  // otherwise does the end-of-source report need a copy.
  const size_t i = static_cast<size_t>(here);
  if (here >= 0 && i < operations.size() && operations[i]->text == src) return;
  constructText_[here] = src;
}

// Two plain operands and one binary operator, the shape of most conditions:
// the one step the expression parser would make, without its tokens and
// levels. Null for anything else (nothing resolved, nothing created), which
// then takes the parser's way with its warnings and messages.
TagCalculate* TagTelBasic::SimpleCondition(std::string_view text) {
  size_t lead = 0;
  while (lead < text.size() && (text[lead] == ' ' || text[lead] == '\t')) ++lead;
  if (lead < text.size() && (text[lead] == '+' || text[lead] == '-')) return nullptr;  // a sign is a step of its own
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80 || (u < 0x20 && c != '\t')) return nullptr;
    switch (c) {
      case '(': case ')': case '[': case ']': case '~': case '\\': case ';': case '\'': case ',': case ':': case '?':
        return nullptr;
      default:
        break;
    }
  }
  TagOperand a, b;
  char op = 0;
  std::string msg;
  if (ParseSimpleExpression(a, op, b, text, msg) != 0 || a.kind == TagOperand::kEmpty ||
      b.kind == TagOperand::kEmpty)
    return nullptr;
  switch (op) {
    case kCalcAdd: case kCalcSub: case kCalcMul: case kCalcDiv: case kCalcMod: case kCalcGreater:
    case kCalcLess: case kCalcGreaterEq: case kCalcLessEq: case kCalcNotEq: case kCalcShiftLeft:
    case kCalcShiftRight: case kCalcOr: case kCalcAnd: case kCalcBitAnd: case kCalcBitOr: case kCalcBitXor:
    case kCalcEq:
      break;
    default:
      return nullptr;
  }
  if (op == kCalcEq || op == kCalcNotEq) {
    // Only "==" and "!=" as written: a lone "=" earns a warning, and "a ! b"
    // is an error, where the simple reading takes both for comparisons.
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '"') inString = !inString;
      if (inString || (text[i] != '=' && text[i] != '!')) continue;
      const std::string_view run = text.substr(i, 2);
      if (run != (op == kCalcEq ? "==" : "!=")) return nullptr;
      break;
    }
  }
  // Unknown names are reported by the parser: both names are found before
  // anything is counted or created, and a literal is made only after that.
  TagVar *av = nullptr, *bv = nullptr, *target = nullptr;
  if ((a.kind == TagOperand::kName && FindVar(a.text, av) < 0) ||
      (b.kind == TagOperand::kName && FindVar(b.text, bv) < 0))
    return nullptr;
  for (auto [operand, var] : {std::pair{&a, &av}, std::pair{&b, &bv}}) {
    if (operand->kind == TagOperand::kName) {
      CountNameUse(*var);
    } else if (OperandVar(*operand, *var) < 0) {
      return nullptr;
    }
  }
  FindOrCreateVar("_tempVal", target);
  return new TagCalculate(op, target, av, bv);
}

bool TagTelBasic::FlowCondition(const TagFlowStmt& s, const std::string& text, TagExpre*& out) {
  if (TagCalculate* step = SimpleCondition(text)) {
    out = new TagExpre({step});
    return true;
  }
  TagComplexExpre ce(text, this, "_tempVal", nullptr, std::string());
  if (!ce.Error().empty()) {
    Report(s.line, ce.Error(), s.work);
    return false;
  }
  if (!ce.Warning().empty()) {
    Report(s.line, ce.Warning(), s.work, true);
    ++warningCount;
  }
  out = new TagExpre(ce.TakeSteps());
  return true;
}

// One operand, nothing more complex (switch and case values).
bool TagTelBasic::FlowSingleValue(const TagFlowStmt& s, const std::string& text, TagVar*& out) {
  TagOperand a, b;
  char op = 0;
  std::string msg;
  if (ParseSimpleExpression(a, op, b, text, msg) < 0) {
    Report(s.line, msg, s.work);
    return false;
  }
  if (op != 0 || b.kind != TagOperand::kEmpty) {
    Report(s.line, CMsg::SyntaxError, s.work);
    return false;
  }
  int r = OperandVar(a, out);
  if (r < 0) {
    if (r == -1)
      Report(s.line, CMsg::VarNotAssigned, a.text);
    else
      Report(s.line, CMsg::SyntaxError, s.work);
    return false;
  }
  return true;
}

// "if(" and "else if(": a condition, chained to the if it continues.
int TagTelBasic::CompileIfFlow(const TagFlowStmt& s) {
  auto opAt = [this](int i) { return operations[static_cast<size_t>(i)]; };
  const int line = s.line;
  const int kwIndex = s.kwIndex;
  const std::string& src = s.src;
  const std::string& work = s.work;
  const std::vector<std::string>& args = s.args;
  const int here = s.here;
  TagExpre* cond = nullptr;
  if (!FlowCondition(s, args[0], cond)) return -1;
  auto* op = new TagIf(cond);
  if (kwIndex == static_cast<int>(KeywordId::If)) {
    AddOper(op, src, line, kOpIf);
    ifStack.push_back(here);
    NoteConstruct(here, src);
    return 0;
  }
  AddOper(op, src, line, kOpElseIf);
  if (ifStack.empty() || opAt(ifStack.back())->depth != op->depth) {
    Report(line, CMsg::NoMatchingIf, work);
    return -1;
  }
  auto* top = static_cast<TagIf*>(opAt(ifStack.back()));
  TagIf* head = top->kind == kOpElseIf && top->head ? top->head : top;
  head->AddElseIf(op);
  op->head = head;
  ifStack.push_back(here);
  NoteConstruct(here, src);
  return 0;
}

// "else": only after an if at the same depth.
int TagTelBasic::CompileElseFlow(const TagFlowStmt& s) {
  auto opAt = [this](int i) { return operations[static_cast<size_t>(i)]; };
  const int line = s.line;
  const std::string& src = s.src;
  const std::string& work = s.work;
  auto* op = new TagNull;
  AddOper(op, src, line, kOpElse);
  if (ifStack.empty() || opAt(ifStack.back())->depth != op->depth) {
    Report(line, CMsg::NoMatchingIf, work);
    return -1;
  }
  return 0;
}

// "while(": a loop on a condition.
int TagTelBasic::CompileWhileFlow(const TagFlowStmt& s) {
  const int line = s.line;
  const std::string& src = s.src;
  const std::vector<std::string>& args = s.args;
  const int here = s.here;
  TagExpre* cond = nullptr;
  if (!FlowCondition(s, args[0], cond)) return -1;
  AddOper(new TagForWhile(cond), src, line, kOpLoop);
  loopStack.push_back(here);
  NoteConstruct(here, src);
  return 0;
}

// "for(": init, condition and step, or "for (v in collection)".
int TagTelBasic::CompileForFlow(const TagFlowStmt& s) {
  const int line = s.line;
  const std::string& src = s.src;
  const std::string& work = s.work;
  const std::vector<std::string>& args = s.args;
  const int here = s.here;
  if (args.size() == 2) {  // for (v in collection)
    TagVar* var = nullptr;
    FindOrCreateVar(args[0], var);
    std::vector<TagVar*> coll;
    if (CompileArgs(line, work, {args[1]}, coll) < 0) return -1;
    AddOper(new TagForIn(var, coll[0]), src, line, kOpLoop);
    loopStack.push_back(here);
    NoteConstruct(here, src);
    return 0;
  }
  TagCalculate* steps[2] = {nullptr, nullptr};
  for (int k = 0; k < 2; ++k) {
    TagVar *t = nullptr, *a = nullptr, *b = nullptr;
    char op = 0;
    bool created = false;
    const int r = CompileAssignment(line, args[k == 0 ? 0 : 2], t, a, op, b, std::string(), created);
    if (r != 0 || (t && t->IsConst())) {
      delete steps[0];
      Report(line, r == -2 ? CMsg::MultipleOperators : CMsg::SyntaxErr, work);
      return -1;
    }
    steps[k] = MakeStep(t, a, op, b);
  }
  TagExpre* cond = nullptr;
  if (!FlowCondition(s, args[1], cond)) {
    delete steps[0];
    delete steps[1];
    return -1;
  }
  auto* loop = new TagForWhile(cond);
  loop->SetInit(steps[0]);
  loop->SetStep(steps[1]);
  AddOper(loop, src, line, kOpLoop);
  loopStack.push_back(here);
  NoteConstruct(here, src);
  return 0;
}

// "switch(": one plain value.
int TagTelBasic::CompileSwitchFlow(const TagFlowStmt& s) {
  const int line = s.line;
  const std::string& src = s.src;
  const std::vector<std::string>& args = s.args;
  const int here = s.here;
  TagVar* v = nullptr;
  if (!FlowSingleValue(s, args[0], v)) return -1;
  AddOper(new TagSwitch(v), src, line, kOpSwitch);
  switchStack.push_back(here);
  NoteConstruct(here, src);
  return 0;
}

// "case(": one plain value, inside a switch.
int TagTelBasic::CompileCaseFlow(const TagFlowStmt& s) {
  const int line = s.line;
  const std::string& src = s.src;
  const std::string& work = s.work;
  const std::vector<std::string>& args = s.args;
  if (switchStack.empty()) {
    Report(line, CMsg::NoMatchingSwitch, work);
    return -1;
  }
  TagVar* v = nullptr;
  if (!FlowSingleValue(s, args[0], v)) return -1;
  AddOper(new TagCase(v), src, line, kOpCase);
  return 0;
}

// "default(": inside a switch.
int TagTelBasic::CompileDefaultFlow(const TagFlowStmt& s) {
  const int line = s.line;
  const std::string& src = s.src;
  const std::string& work = s.work;
  if (switchStack.empty()) {
    Report(line, CMsg::NoMatchingSwitch, work);
    return -1;
  }
  AddOper(new TagNull, src, line, kOpDefault);
  return 0;
}

// "break;" and "continue;": inside a loop.
int TagTelBasic::CompileBreakFlow(const TagFlowStmt& s) {
  auto opAt = [this](int i) { return operations[static_cast<size_t>(i)]; };
  const int line = s.line;
  const int kwIndex = s.kwIndex;
  const std::string& src = s.src;
  const std::string& work = s.work;
  const bool isBreak = kwIndex == static_cast<int>(KeywordId::Break);
  if (loopStack.empty()) {
    Report(line, isBreak ? CMsg::NoMatchingWhile : CMsg::NoMatchingLoop, work);
    return -1;
  }
  TagOper* op = isBreak ? static_cast<TagOper*>(new TagBreak) : new TagContinue;
  AddOper(op, src, line, isBreak ? kOpBreak : kOpContinue);
  op->link = opAt(loopStack.back());
  return 0;
}

// "{": opens the body of the flow statement before it.
int TagTelBasic::CompileOpenBrace(const TagFlowStmt& s) {
  auto opAt = [this](int i) { return operations[static_cast<size_t>(i)]; };
  const int line = s.line;
  const std::string& src = s.src;
  const std::string& work = s.work;
  const size_t headEnd = s.headEnd;
  const int here = s.here;
  ++blockDepth;
  auto* open = new TagNull;
  TagOper* p = operations.empty() ? nullptr : operations.back();
  AddOper(open, src, line, kOpBlockOpen);
  // A block is entered only through a target.
  if (p) p->next = nullptr;
  open->owner = nullptr;
  CMsg err = CMsg::kCount;
  if (!p) {
    if (!parent) err = CMsg::BraceWithoutFlow;  // a function body starts here
  } else if (p->kind == kOpIf || p->kind == kOpElseIf) {
    if (ifStack.empty()) {
      err = CMsg::NoMatchingIf;
    } else {
      auto* top = static_cast<TagIf*>(opAt(ifStack.back()));
      top->SetThen(open);
      open->owner = top;
    }
  } else if (p->kind == kOpElse) {
    if (ifStack.empty()) {
      err = CMsg::NoMatchingIf;
    } else {
      auto* top = static_cast<TagIf*>(opAt(ifStack.back()));
      top->SetElse(open);
      open->owner = top;
    }
  } else if (p->kind == kOpLoop) {
    if (loopStack.empty()) {
      err = CMsg::NoMatchingWhile;
    } else {
      auto* top = static_cast<TagWhile*>(opAt(loopStack.back()));
      top->SetBody(open);
      open->owner = top;
    }
  } else if (p->kind == kOpSwitch || p->kind == kOpCase || p->kind == kOpDefault) {
    if (switchStack.empty()) {
      err = CMsg::NoMatchingSwitch;
    } else {
      auto* sw = static_cast<TagSwitch*>(opAt(switchStack.back()));
      open->owner = sw;
      if (p->kind == kOpCase) {
        for (int i = here - 1; i >= 0 && opAt(i)->kind == kOpCase; --i)
          sw->AddCase(static_cast<TagCase*>(opAt(i))->Value(), open);
      } else if (p->kind == kOpDefault && sw->SetDefault(open) < 0) {
        err = CMsg::TwoDefaults;
      }
    }
  } else {
    err = CMsg::BraceWithoutFlow;
  }
  if (err != CMsg::kCount) {
    Report(line, err, work);
    return -1;
  }
  braceStack.push_back(here);
  // Text after the brace is dropped; the report says so, but old scripts with
  // such lines still run.
  if (!IsRestBlank(std::string_view(work).substr(headEnd))) Report(line, CMsg::OpenBraceAlone, work);
  return 0;
}

// "}": closes the innermost block and the construct it belongs to.
int TagTelBasic::CompileCloseBrace(const TagFlowStmt& s) {
  auto opAt = [this](int i) { return operations[static_cast<size_t>(i)]; };
  const int line = s.line;
  const std::string& src = s.src;
  const std::string& work = s.work;
  const size_t headEnd = s.headEnd;
  auto* end = new TagEnd;
  AddOper(end, src, line, kOpBlockClose);
  if (blockDepth > 0) --blockDepth;
  if (braceStack.empty()) {
    Report(line, CMsg::NoMatchingOpenBrace, work);
    return -1;
  }
  TagOper* open = opAt(braceStack.back());
  braceStack.pop_back();
  end->link = open;
  open->link = end;
  end->owner = open->owner;
  CMsg err = CMsg::kCount;
  if (open->index > 0) {
    TagOper* o = opAt(open->index - 1);
    if (o->kind == kOpElse) {
      if (ifStack.empty())
        err = CMsg::NoMatchingIf;
      else
        ifStack.pop_back();
    } else if (o->kind == kOpLoop) {
      if (loopStack.empty())
        err = CMsg::NoMatchingWhile;
      else
        loopStack.pop_back();
    } else if (o->kind == kOpSwitch) {
      if (switchStack.empty())
        err = CMsg::NoMatchingSwitch;
      else
        switchStack.pop_back();
    } else if (o->kind == kOpElseIf) {
      if (!ifStack.empty()) ifStack.pop_back();
    }
  } else if (parent && !parent->functionStack.empty()) {
    // The end of a function body: lines go to the parent again.
    BuildViews();
    parent->functionStack.pop_back();
  } else {
    err = CMsg::NoMatchingFunction;
  }
  if (err != CMsg::kCount) {
    Report(line, err, work);
    return -1;
  }
  if (!IsRestBlank(std::string_view(work).substr(headEnd))) Report(line, CMsg::CloseBraceAlone, work);
  return 0;
}

int TagTelBasic::CompileFlow(int line, int kwIndex, const std::string& src, const std::string& work, size_t headEnd,
                             const std::vector<std::string>& args) {
  const TagFlowStmt s{line, kwIndex, src, work, headEnd, args, static_cast<int>(operations.size())};
  int r = -1;
  switch (static_cast<KeywordId>(kwIndex)) {
    case KeywordId::If:
    case KeywordId::ElseIf:
      r = CompileIfFlow(s);
      break;
    case KeywordId::Else:
      r = CompileElseFlow(s);
      break;
    case KeywordId::While:
      r = CompileWhileFlow(s);
      break;
    case KeywordId::For:
      r = CompileForFlow(s);
      break;
    case KeywordId::Switch:
      r = CompileSwitchFlow(s);
      break;
    case KeywordId::Case:
      r = CompileCaseFlow(s);
      break;
    case KeywordId::Default:
      r = CompileDefaultFlow(s);
      break;
    case KeywordId::Break:
    case KeywordId::Continue:
      r = CompileBreakFlow(s);
      break;
    case KeywordId::BlockOpen:
      r = CompileOpenBrace(s);
      break;
    case KeywordId::BlockClose:
      r = CompileCloseBrace(s);
      break;
    default:
      return -1;
  }
  if (r < 0) return r;
  return LinkBlocks(line, work);
}

void TagTelBasic::CompleteIf(TagOper* owner) {
  auto* i = static_cast<TagIf*>(owner);
  if (i->kind == kOpElseIf && i->head) {
    i->head->next = i->next;
    i = i->head;
  }
  i->PropagateContinuation();
}

int TagTelBasic::LinkBlocks(int line, const std::string& work) {
  if (detached || CompileRoot()->errorCount > 0 || operations.size() < 2) return 0;
  auto opAt = [this](int i) { return operations[static_cast<size_t>(i)]; };
  TagOper* c = operations.back();
  TagOper* p = operations[operations.size() - 2];

  if (!switchStack.empty() && c->depth == opAt(switchStack.back())->depth + 1 &&
      !KindIn(c, {kOpCase, kOpDefault, kOpBlockOpen, kOpBlockClose})) {
    Report(line, CMsg::OnlyCaseInSwitch, work);
    return -1;
  }
  if (KindIn(p, {kOpIf, kOpElseIf, kOpElse, kOpLoop}) &&
      !KindIn(c, {kOpBlockOpen, kOpBlockClose, kOpIf, kOpElse, kOpElseIf, kOpLoop, kOpSwitch, kOpDefault, kOpCase})) {
    // c is the whole, braceless body of p.
    ++c->depth;
    c->unbracedBody = 1;
    if (!KindIn(c, {kOpBreak, kOpContinue})) c->link = c;
    if (p->kind == kOpLoop) {
      static_cast<TagWhile*>(p)->SetBody(c);
      c->owner = p;
      if (!loopStack.empty()) loopStack.pop_back();
    } else if (!ifStack.empty()) {
      auto* top = static_cast<TagIf*>(opAt(ifStack.back()));
      if (p->kind == kOpElse) {
        top->SetElse(c);
        ifStack.pop_back();
      } else {
        top->SetThen(c);
        if (p->kind == kOpElseIf) ifStack.pop_back();
      }
      c->owner = top;
    }
  } else if (KindIn(p, {kOpDefault, kOpSwitch, kOpIf, kOpElse, kOpElseIf, kOpLoop}) && c->kind != kOpBlockOpen) {
    Report(line, CMsg::MissingOpenBrace, work);
    return -1;
  }

  if (p->link && (p->kind == kOpBlockClose || p->unbracedBody)) {
    TagOper* first = p->kind == kOpBlockClose ? p->link : p;
    TagOper* o = first->index > 0 ? opAt(first->index - 1) : nullptr;
    if (o && KindIn(o, {kOpLoop, kOpSwitch})) {
      o->next = c;
      c->owner = o->owner;
    } else if (o && (o->kind == kOpElse || (KindIn(o, {kOpIf, kOpElseIf}) && !KindIn(c, {kOpElse, kOpElseIf})))) {
      if (TagOper* own = p->owner) {
        own->next = c;
        if (c->kind != kOpBlockClose) c->owner = own->owner;
        if (KindIn(own, {kOpIf, kOpElseIf})) CompleteIf(own);
      }
      if (o->kind != kOpElse) {
        if (ifStack.empty()) {
          Report(line, CMsg::NoMatchingIf, work);
          return -1;
        }
        if (c->kind == kOpIf && ifStack.size() >= 2)
          ifStack.erase(ifStack.end() - 2);
        else if (c->kind != kOpIf)
          ifStack.pop_back();
      }
    }
  }
  if (p->unbracedBody && p->owner && p->owner->kind == kOpLoop) p->next = p->owner;
  return 0;
}

void TagTelBasic::FinishSource() {
  auto opAt = [this](int i) { return operations[static_cast<size_t>(i)]; };
  if (operations.empty()) return;
  TagOper* last = operations.back();
  // An if whose block closes the file is complete.
  if (!ifStack.empty() && last->kind == kOpBlockClose && last->link && last->link->index > 0 &&
      KindIn(opAt(last->link->index - 1), {kOpIf, kOpElseIf}))
    ifStack.pop_back();
  if (errorCount > 0) return;
  // The end of the source completes the links of the last construct, so a
  // braceless loop body at the end of the file still loops.
  if (last->link && (last->kind == kOpBlockClose || last->unbracedBody)) {
    TagOper* first = last->kind == kOpBlockClose ? last->link : last;
    TagOper* o = first->index > 0 ? opAt(first->index - 1) : nullptr;
    if (o && (o->kind == kOpElse || KindIn(o, {kOpIf, kOpElseIf})) && last->owner &&
        KindIn(last->owner, {kOpIf, kOpElseIf})) {
      last->owner->next = nullptr;
      CompleteIf(last->owner);
    }
  }
  if (last->unbracedBody && last->owner && last->owner->kind == kOpLoop) last->next = last->owner;
}
