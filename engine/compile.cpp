// The compile driver, the file loader and the statement compiler.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "engine/byteset.h"
#include "engine/call.h"
#include "engine/expr.h"
#include "engine/flow.h"
#include "engine/keyword.h"
#include "engine/memkxs.h"
#include "engine/opfactory.h"
#include "engine/scan.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "core/cpumeter.h"
#include "engine/kxcall.h"
#include "platform/text.h"

namespace {

constexpr size_t kLineCapacity = 1024;
constexpr size_t kArgTextMax = 1024;

// Tells whether a routine reported anything, without writing a report.
class ProbeDiag : public TagCompileDiag {
 public:
  ProbeDiag() : TagCompileDiag(0, false, true) {}
  int entries = 0;

 protected:
  void WriteEntry(const std::string&) override { ++entries; }
};

// "name = ..." with a plain ASCII name, and nothing on the line that makes
// it a call, a block or a comparison: the statement shape, head and target
// the three scanners would find, from one pass. False sends the line the
// general way.
bool PlainAssignment(std::string_view work, std::string& target) {
  size_t i = 0;
  const size_t n = work.size();
  while (i < n && (work[i] == ' ' || work[i] == '\t')) ++i;
  const size_t b = i;
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  if (i >= n || !letter(work[i])) return false;
  while (i < n && (letter(work[i]) || (work[i] >= '0' && work[i] <= '9'))) ++i;
  const std::string_view name = work.substr(b, i - b);
  if (name == "const" || name == "function") return false;
  while (i < n && (work[i] == ' ' || work[i] == '\t')) ++i;
  if (i >= n || work[i] != '=' || (i + 1 < n && work[i + 1] == '=')) return false;
  for (size_t k = i + 1; k < n; ++k)
    if (work[k] == '(' || work[k] == '{' || work[k] == '}') return false;
  target.assign(name);
  return true;
}

// A line that starts with a brace, or whose head is if, else if, while, for
// or switch: no statement shape or assignment target can make it anything
// but that statement, so they need not be looked for.
bool IsPlainHead(std::string_view work, const RecKeyword& head) {
  switch (static_cast<KeywordId>(head.index)) {
    case KeywordId::If:
    case KeywordId::ElseIf:
    case KeywordId::While:
    case KeywordId::For:
    case KeywordId::Switch:
      return true;
    case KeywordId::BlockOpen:
    case KeywordId::BlockClose: {
      size_t i = 0;
      while (i < work.size() && (work[i] == ' ' || work[i] == '\t')) ++i;
      return i < work.size() && (work[i] == '{' || work[i] == '}');
    }
    default:
      return false;
  }
}

bool IsFlowKeyword(int i) {
  return i == 0 || i == 1 || i == 5 || i == 6 || i == 7 || i == 8 || i == 15;
}

}  // namespace

// ---- driver ----

void TagTelBasic::CompileMain() {
  BeginCompile();
  scriptLineCount = 0;
  int lines = LoadFile(0, scriptFile);
  if (lines > 0) scriptLineCount = lines;
  SourceCompiled();
  FinishSource();

  TagUnclosedBlocks open;
  open.scriptLines = scriptLineCount;
  auto construct = [this](const std::vector<int>& stack) -> std::optional<TagOpenConstruct> {
    if (stack.empty()) return std::nullopt;
    const int i = stack.back();
    if (i < 0 || static_cast<size_t>(i) >= operations.size()) return std::nullopt;
    auto t = constructText_.find(i);
    const TagOper* op = operations[static_cast<size_t>(i)];
    return TagOpenConstruct{op->lineNo, t == constructText_.end() ? op->text : t->second};
  };
  open.pendingIf = construct(ifStack);
  open.loop = construct(loopStack);
  open.switchBlock = construct(switchStack);
  open.brace = construct(braceStack);
  if (!functionStack.empty()) {
    // Lines of an unfinished function went to its body: its own stacks hold
    // what is open inside it.
    TagTelBasic* f = functions.empty() ? nullptr : functions.back();
    open.function = TagOpenConstruct{functionStack.back(), f ? f->definitionText : std::string()};
  }
  ReportUnclosed(open);
  constructText_.clear();
  for (TagTelBasic* f : functions) f->constructText_.clear();
  if (pruneFunctions) PruneUncalledFunctions();
  initResult = Summarize();
  BuildViews();
}

// ---- loading ----

bool TagTelBasic::ReadLine(std::string_view text, size_t& pos, std::string& line, size_t capacity) {
  line.clear();
  if (pos >= text.size()) return false;
  const size_t limit = std::min(text.size(), pos + std::min(capacity, text.size() - pos));
  size_t i = pos;
  // Eight bytes a step while none of them is below 0x0E (no line end can be
  // there), then byte by byte.
  while (i + 8 <= limit) {
    uint64_t w;
    std::memcpy(&w, text.data() + i, 8);
    if (WordHasByteBelow(w, 0x0E)) break;
    i += 8;
  }
  while (i < limit && (static_cast<unsigned char>(text[i]) > '\r' || (text[i] != '\r' && text[i] != '\n'))) ++i;
  line.assign(text.data() + pos, i - pos);
  // The line end is consumed, also right after a line cut at the capacity.
  if (i < text.size() && text[i] == '\r') {
    ++i;
    if (i < text.size() && text[i] == '\n') ++i;
  } else if (i < text.size() && text[i] == '\n') {
    ++i;
  }
  pos = i;
  return true;
}

int TagTelBasic::ParseIncludeName(std::string_view text, std::string& nameOut) {
  nameOut.clear();
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i >= text.size() || (text[i] != '"' && text[i] != '<')) return -1;
  for (++i; i < text.size(); ++i) {
    if (text[i] == '"' || text[i] == '>') return 0;
    nameOut += text[i];
  }
  nameOut.clear();
  return -2;
}

int TagTelBasic::LoadFile(int callLine, const std::string& file) {
  for (const TagFInclude& inc : includes) {
    if (inc.name == file) {
      Report(callLine, CMsg::RepeatedInclude, file, true);
      ++warningCount;
      return -1;
    }
  }
  includes.push_back({file});
  if (curFileName.empty()) curFileName = file;
  const bool topFile = includes.size() == 1;

  size_t size = 0;
  TagKxsText text = TagMemKxs::Instance().Get(file, &size, !runMode, nested, &wasScrambled);
  if (!text) {
    plat::WriteTerminal(stdout, GBK("  fBuff==NULL, 打不开文件错误\n"));
    ErrorBox(callLine, file, MsgText(CMsg::CannotOpenFile));
    Report(callLine, CMsg::CannotOpenFile, file);
    ++errorCount;
    return -2;
  }
  if (runMode && !nested && lineNo > 0) WaitWhileCpuBusy(100, 45, [this] { return stopRequested.load() != 0; });
  curFileName = file;
  BeginFile();

  // The text ends at its first NUL byte, as a C string would.
  std::string_view src(*text);
  if (const void* nul = std::memchr(src.data(), '\0', src.size()))
    src = src.substr(0, static_cast<size_t>(static_cast<const char*>(nul) - src.data()));
  if (topFile) {
    size_t lines = 1;
    const char* end = src.data() + src.size();
    for (const char* p = src.data(); (p = static_cast<const char*>(std::memchr(p, '\n', end - p))) != nullptr; ++p)
      ++lines;
    ReserveForLines(lines);
  }
  size_t pos = 0;
  int counter = 0;
  std::string line, more;
  while (pos < src.size() && ReadLine(src, pos, line, kLineCapacity)) {
    ++counter;
    // A "\" at the end (blanks after it allowed) joins the next line in its place.
    while (line.size() > 1) {
      size_t e = line.size();
      while (e > 0 && (line[e - 1] == ' ' || line[e - 1] == '\t')) --e;
      if (e == 0 || line[e - 1] != '\\') break;
      const size_t at = e - 1;
      if (!ReadLine(src, pos, more, kLineCapacity - at)) {
        line.resize(at);
        break;
      }
      ++counter;
      line.resize(at);
      line += more;
    }
    TagTelBasic* target = functionStack.empty() || functions.empty() ? this : functions.back();
    if (target->CompileLine(line, counter) < 0) ++errorCount;
  }
  if (!topFile) EndFile();
  return counter;
}

void TagTelBasic::ReserveForLines(size_t lines) {
  // Grown a step at a time, these lists and indexes would copy themselves
  // over and over, and every freed old block returns pages to the system that
  // the next growth faults in again. About one operation a line, and a name
  // or a literal for most lines.
  operations.reserve(operations.size() + lines);
  variables.reserve(variables.size() + lines);
  nameIndex_.Reserve(nameIndex_.Size() + lines / 2);
  constIndex_.Reserve(constIndex_.Size() + lines / 2);
}

// ---- statements ----

int TagTelBasic::CompileLine(const std::string& text, int line) {
  const int r = CompileStatement(text, line);
  if (r < 0) {
    // Expressions compiled for a statement that failed belong to nothing.
    for (TagOper* e : pendingPreExpressions) {
      e->FreePreExpressions();
      delete e;
    }
    pendingPreExpressions.clear();
  }
  return r;
}

int TagTelBasic::CompileStatement(const std::string& text, int line) {
  // A line that starts with its statement, outside a comment, needs no scan
  // for where it starts.
  const unsigned char first = text.empty() ? 0 : static_cast<unsigned char>(text[0]);
  const long start = first > ' ' && first != '/' && first != '*' && Comments().empty()
                         ? 0
                         : SkipLeadingComments(*this, text, line);
  // A "*/" without its "/*" was reported; the line is dropped, not failed.
  if (start < 0) return 0;
  // Most lines start at their statement and hold no comment: no copies then.
  std::string srcCopy, workCopy, comment;
  if (start > 0) srcCopy = text.substr(static_cast<size_t>(start));
  const std::string& src = start > 0 ? srcCopy : text;
  const bool strip = HasCommentMarkOrLineEnd(src);
  if (strip) {
    workCopy = src;
    if (StripComments(*this, workCopy, comment, line, true) < 0) return 0;
  }
  const std::string& work = strip ? workCopy : src;
  pendingResult = TagVarRef{};
  if (IsBlankText(work)) return 0;

  std::string target, index;
  if (PlainAssignment(work, target))
    return CompileAssignPath(line, src, work, comment, false, 0, kShapeAssign, 0, false, std::string(), 0, target,
                             index);
  size_t kpos = 0;
  const RecKeyword* head = FindKeyword(work, kpos);
  if (head && IsPlainHead(work, *head)) return CompileKeyword(line, src, work, comment, head, kpos);
  size_t offset = 0;
  const int shape = ClassifyStatement(work, offset);
  const bool isConst = head && head->index == static_cast<int>(KeywordId::Const);
  const int tl = SplitAssignTarget(isConst ? std::string_view(work).substr(kpos) : std::string_view(work), target,
                                   index);
  if (tl == -1) {
    Report(line, CMsg::ConstOrBadName, work);
    return -1;
  }
  std::string incName;
  char incOp = 0;
  bool incdec = false;
  if (shape == kShapeIncDec) {
    ProbeDiag probe;
    incdec = ParseIncDec(probe, line, work, incName, incOp);
    if (!incdec && probe.entries > 0) {
      // A bad name: reported, and the statement must not vanish silently.
      ParseIncDec(*this, line, work, incName, incOp);
      return -1;
    }
  }
  const bool assignShape = shape == kShapeAssign || shape == kShapeCallAssign || shape == kShapeTwoWords ||
                           shape == kShapeIncDec || isConst;
  if (assignShape && (tl > 0 || incdec))
    return CompileAssignPath(line, src, work, comment, isConst, kpos, shape, offset, incdec, incName, incOp, target,
                             index);
  if (shape < 0 && !isConst) return 0;  // a bare expression builds nothing
  return CompileKeyword(line, src, work, comment, head, kpos);
}

int TagTelBasic::CompileAssignPath(int line, const std::string& src, const std::string& work,
                                   const std::string& comment, bool isConst, size_t constPos, int shape,
                                   size_t offset, bool incdec, const std::string& incName, char incOp,
                                   const std::string& splitName, const std::string& splitIndex) {
  std::string constText;
  if (isConst) constText = work.substr(constPos);
  const std::string& text = isConst ? constText : work;
  // The element key of the target: one operand, nothing more complex. The
  // statement's split of this same text gave name and index.
  TagVar* key = nullptr;
  std::string targetName, index;
  if (!incdec) {
    targetName = splitName;
    index = splitIndex;
    if (!index.empty()) {
      if (index.back() != ']') {
        Report(line, CMsg::BadIndexSyntax, work);
        return -1;
      }
      index.pop_back();
      TagOperand a, b;
      char op = 0;
      std::string msg;
      if (ParseSimpleExpression(a, op, b, index, msg) < 0) {
        Report(line, msg, work);
        return -1;
      }
      if (op != 0 || b.kind != TagOperand::kEmpty) {
        Report(line, CMsg::SyntaxErrorColon, work);
        return -1;
      }
      int r = OperandVar(a, key);
      if (r < 0) {
        if (r == -1)
          Report(line, CMsg::VarNotAssignedColon, a.text);
        else
          Report(line, CMsg::SyntaxErrorColon, work);
        return -1;
      }
    }
  } else {
    targetName = incName;
  }

  if (shape == kShapeCallAssign && !isConst) {
    TagVar* t = nullptr;
    FindOrCreateVar(targetName, t);
    if (t->IsConst()) {
      Report(line, CMsg::ConstAssigned, work);
      return -1;
    }
    pendingResult = TagVarRef{t, key};
    return CompileKeyword(line, src, work.substr(offset), comment);
  }

  TagVar *target = nullptr, *a = nullptr, *b = nullptr;
  char op = 0;
  bool created = false;
  const int r = CompileAssignment(line, text, target, a, op, b, comment, created, incdec ? nullptr : &splitName);

  if (isConst) {
    if (r == -2 || (r == 0 && (op != 0 || b))) {
      Report(line, CMsg::ConstNoOperators, work);
      return -1;
    }
    if (r < 0) {
      Report(line, CMsg::SyntaxErr, work);
      return -1;
    }
    if (!a->IsConst()) {
      Report(line, CMsg::ConstRightNotConst, work);
      return -1;
    }
    if (!created) {
      const bool same = target->Type() == a->Type() && target->Equals(*a);
      Report(line, CMsg::ConstRedefined, work, same);
      if (!same) return -1;
      ++warningCount;
    }
    target->SetConst(false);
    target->Assign(*a);
    target->SetConst(true);
    IndexConst(FindVarIndex(target->Name()));
    return 0;
  }
  if (target && target->IsConst()) {
    Report(line, CMsg::ConstAssigned, work);
    return -1;
  }
  if (r == 0) {
    TagCalculate* calc;
    if (op == kCalcNot || op == kCalcComplement || (op == kCalcSub && !a))
      calc = new TagCalculate(op, target, b, nullptr, key);
    else if (op == kCalcCopy)
      calc = new TagCalculate(kCalcCopy, target, a, nullptr, key);
    else
      calc = new TagCalculate(op, target, a, b, key);
    AddOper(calc, src, line, kOpAssign);
    return LinkBlocks(line, work);
  }
  if (r != -2) {
    Report(line, CMsg::SyntaxErr, work);
    return -1;
  }

  // A longer right side: one part up to ";".
  const std::string_view right = std::string_view(text).substr(text.find('=') + 1);
  std::vector<std::string_view> parts;
  const int n = SplitArgs(right, kMaxArgs, parts, ';', ';');
  if (n != 1) {
    CMsg m = n == -5   ? CMsg::BraceAlone
             : n == -2 ? CMsg::MissingSemicolon
             : n == -3 ? CMsg::StringNotEnded
             : n == 0  ? CMsg::EmptyExpression
                       : CMsg::SyntaxError;
    Report(line, m, work);
    return -1;
  }
  TagOper* made = nullptr;
  if (TagComplexExpre::IsPurePlus(parts[0])) {
    std::vector<std::string> terms;
    const int t = SplitArgs(std::string(parts[0]) + ";", kMaxArgs, terms, '+', ';');
    if (t < 3) {
      Report(line, t == -3 ? CMsg::MultipleOperators : CMsg::SyntaxError, work);
      return -1;
    }
    std::vector<TagVar*> values;
    if (CompileArgs(line, work, terms, values) < 0) return -1;
    made = new TagMulPlus(std::move(values), target, key);
  } else {
    TagComplexExpre ce(parts[0], this, target->Name(), key, comment);
    if (!ce.Error().empty()) {
      Report(line, ce.Error(), work);
      return -1;
    }
    if (!ce.Warning().empty()) {
      Report(line, ce.Warning(), work, true);
      ++warningCount;
    }
    made = new TagExpre(ce.TakeSteps());
  }
  AddOper(made, src, line, kOpAssign);
  return LinkBlocks(line, work);
}

int TagTelBasic::CompileAssignment(int line, const std::string& text, TagVar*& target, TagVar*& a, char& op,
                                   TagVar*& b, const std::string& comment, bool& created,
                                   const std::string* knownTarget) {
  (void)comment;
  target = a = b = nullptr;
  op = 0;
  created = false;
  const size_t eq = text.find('=');
  if (eq == std::string::npos) {
    std::string incName;
    char incOp = 0;
    if (!ParseIncDec(*this, line, text, incName, incOp)) {
      Report(line, CMsg::SyntaxError, text);
      return -1;
    }
    created = FindOrCreateVar(incName, target) < 0;
    a = target;
    op = incOp;
    TagOperand one;
    one.kind = TagOperand::kInteger;
    one.text = "1";
    OperandVar(one, b);
    return 0;
  }
  std::string tname, index;
  if (!knownTarget || knownTarget->empty()) {
    if (SplitAssignTarget(text, tname, index) <= 0) {
      Report(line, CMsg::SyntaxError, text);
      return -1;
    }
    knownTarget = &tname;
  }
  created = FindOrCreateVar(*knownTarget, target) < 0;
  TagOperand fa, fb;
  std::string msg;
  const int r = ParseSimpleExpression(fa, op, fb, std::string_view(text).substr(eq + 1), msg);
  if (r == -1) return -2;
  if (r < 0) return -3;
  auto fail = [&](const TagOperand& o, int res) {
    if (res == -1)
      Report(line, CMsg::VarNotAssigned, o.text);
    else
      Report(line, CMsg::SyntaxError, text);
    return -1;
  };
  const bool unary = op == kCalcNot || op == kCalcComplement || op == kCalcSub;
  int ra = fa.kind == TagOperand::kEmpty ? -2 : OperandVar(fa, a);
  if (ra < 0) {
    a = nullptr;
    if (!unary || fa.kind != TagOperand::kEmpty) return fail(fa, ra);
  }
  int rb = fb.kind == TagOperand::kEmpty ? -2 : OperandVar(fb, b);
  if (rb < 0) {
    b = nullptr;
    if (op != 0) return fail(fb, rb);
  }
  if (!a && !b) return fail(fa, -2);
  if (a && op != 0 && !unary && !b) return fail(fb, -2);
  if (!a && op == 0) return fail(fa, -2);
  return 0;
}

int TagTelBasic::CompileArgs(int line, const std::string& stmt, const std::vector<std::string>& args,
                             std::vector<TagVar*>& out) {
  for (TagOper* e : pendingPreExpressions) {
    e->FreePreExpressions();
    delete e;
  }
  pendingPreExpressions.clear();
  out.clear();
  for (const std::string& arg : args) {
    // Run-time lines may bring texts of any length; an argument is bounded.
    if (arg.size() > kArgTextMax) {
      Report(line, CMsg::SyntaxError, stmt);
      return -1;
    }
    TagOperand a, b;
    char op = 0;
    std::string msg;
    const int r = ParseSimpleExpression(a, op, b, arg, msg);
    if (r == 0 && op == 0 && b.kind == TagOperand::kEmpty) {
      TagVar* v = nullptr;
      const int rv = OperandVar(a, v);
      if (rv < 0) {
        if (rv == -1)
          Report(line, CMsg::VarNotAssigned, a.text);
        else
          Report(line, CMsg::SyntaxError, stmt);
        return -1;
      }
      out.push_back(v);
      continue;
    }
    TagVar* t = NewTempVar();
    TagComplexExpre ce(arg, this, t->Name(), nullptr, std::string());
    if (!ce.Error().empty()) {
      Report(line, ce.Error(), stmt);
      return -1;
    }
    if (!ce.Warning().empty()) {
      Report(line, ce.Warning(), stmt, true);
      ++warningCount;
    }
    pendingPreExpressions.push_back(new TagExpre(ce.TakeSteps()));
    out.push_back(t);
  }
  return 0;
}

void TagTelBasic::AddOper(TagOper* op, const std::string& text, int line, OpKind kindChar) {
  op->preExpressions = std::move(pendingPreExpressions);
  pendingPreExpressions.clear();
  if (!pendingResult.Empty())
    op->SetResultRef(pendingResult.var, pendingResult.key);
  else if (kindChar == kOpValue)
    op->SetResultRef(variables[kRetVal].get());
  op->SetSource(text, line, static_cast<int>(operations.size()), kindChar);
  if ((kindChar == kOpBlockOpen || kindChar == kOpBlockClose) && op->preExpressions.empty()) op->MarkPlainBrace();
  op->depth = blockDepth;
  op->owner = blockDepth > 0 && !operations.empty() ? operations.back()->owner : nullptr;
  op->next = nullptr;
  if (!operations.empty() && !detached) operations.back()->next = op;
  AppendOperation(op);
}

TagOper* TagTelBasic::CompileDetached(const std::string& text, int line, int& result) {
  result = 0;
  // A run-time line has a comment state of its own: an unclosed "/*" in it
  // must not swallow every later line of the script.
  struct CommentScope {
    std::vector<int>& comments;
    std::vector<int> saved;
    explicit CommentScope(std::vector<int>& c) : comments(c), saved(std::move(c)) { comments.clear(); }
    ~CommentScope() { comments = std::move(saved); }
  } commentScope(Comments());
  // Look at the statement's head the way the compiler will.
  const long start = SkipLeadingComments(*this, text, line);
  // A stray "*/" drops the line as in a file: nothing is built.
  if (start < 0) return nullptr;
  std::string work = text.substr(static_cast<size_t>(start)), comment;
  if (StripComments(*this, work, comment, line, true) < 0) return nullptr;
  size_t offset = 0;
  const int shape = ClassifyStatement(work, offset);
  size_t kpos = 0;
  const RecKeyword* head =
      FindKeyword(shape == kShapeCallAssign ? std::string_view(work).substr(offset) : std::string_view(work), kpos);
  // Flow, braces, sections, functions and includes: everything up to "for(".
  if (head && (head->index <= static_cast<int>(KeywordId::For) || head->index == static_cast<int>(KeywordId::OnDisconn) ||
               head->index == static_cast<int>(KeywordId::OnSysQuit))) {
    result = kDetachedRefused;
    return nullptr;
  }
  const size_t before = operations.size();
  const int savedTemps = CompileRoot()->tempCounter;
  const int savedDepth = blockDepth;
  detached = true;
  result = CompileLine(text, line);
  detached = false;
  blockDepth = savedDepth;
  CompileRoot()->tempCounter = savedTemps;
  if (operations.size() == before) return nullptr;
  TagOper* op = operations.back();
  op->owner = nullptr;
  if (result < 0) {
    RemoveOperationsFrom(before);
    return nullptr;
  }
  return op;
}

int TagTelBasic::CompileKeyword(int line, const std::string& src, const std::string& text,
                                const std::string& comment) {
  size_t kpos = 0;
  const RecKeyword* head = FindKeyword(text, kpos);
  return CompileKeyword(line, src, text, comment, head, kpos);
}

int TagTelBasic::CompileKeyword(int line, const std::string& src, const std::string& text,
                                const std::string& comment, const RecKeyword* head, size_t kpos) {
  if (!head) return CompileCall(line, src, text);
  const int idx = head->index;
  if (idx == static_cast<int>(KeywordId::Const)) {
    Report(line, CMsg::UnknownKeyword, text);
    return -1;
  }
  if (idx == static_cast<int>(KeywordId::Function)) return CompileFunctionDef(line, src, text.substr(kpos), comment);
  if (idx == static_cast<int>(KeywordId::Include)) return CompileInclude(line, text, kpos);

  std::vector<std::string> args;
  if (head->argCount >= 0) {
    const std::string_view rest = std::string_view(text).substr(kpos);
    const bool flow = IsFlowKeyword(idx);
    int n = flow ? SplitArgs(rest, kMaxArgs, args, ';', kEndOfText) : SplitArgs(rest, kMaxArgs, args, ',', ')');
    bool forIn = false;
    if (n == 1 && idx == static_cast<int>(KeywordId::For)) {
      std::vector<std::string> words;
      const int w = SplitArgs(args[0], kMaxArgs, words, ' ', kEndOfText);
      if (w != 3 || words[1] != "in") {
        Report(line, CMsg::ForSyntax, text);
        return -1;
      }
      args = {words[0], words[2]};
      n = 2;
      forIn = true;
    }
    if (n < 0) {
      CMsg m = n == -5   ? CMsg::BraceAlone
               : n == -3 ? CMsg::StringNotEnded
               : n == -4 ? CMsg::TooManyArgsSyntax
                         : CMsg::EmptyArgument;
      Report(line, m, text);
      return -1;
    }
    if (!forIn && n != head->argCount) {
      Report(line, n > head->argCount ? CMsg::TooManyArgs : CMsg::TooFewArgs, text);
      return -1;
    }
  }
  auto is = [idx](KeywordId id) { return idx == static_cast<int>(id); };
  if (IsFlowKeyword(idx) || is(KeywordId::Else) || is(KeywordId::BlockOpen) || is(KeywordId::BlockClose) ||
      is(KeywordId::Break) || is(KeywordId::Continue))
    return CompileFlow(line, idx, src, text, kpos, args);

  std::vector<TagVar*> values;
  TagOper* op = nullptr;
  OpKind kindChar = head->kind;
  switch (static_cast<KeywordId>(idx)) {
    case KeywordId::Return:
      if (CompileArgs(line, text, args, values) < 0) return -1;
      op = new TagReturn(this, values[0]);
      break;
    case KeywordId::Close:
    case KeywordId::OnDisconn:
    case KeywordId::OnSysQuit:
      // A section of a function would mark the parent's list with the
      // body's index.
      if (parent) {
        Report(line, GBK("在函数里不可以使用") + std::string(head->name) + ")", text);
        return -1;
      }
      if (idx == static_cast<int>(KeywordId::Close)) {
        Report(line, CMsg::CloseObsolete, "", true);
        ++warningCount;
      }
      if (idx == static_cast<int>(KeywordId::OnSysQuit))
        op = new TagOnSysQuit(this, static_cast<int>(operations.size()));
      else
        op = new TagClose(this, static_cast<int>(operations.size()));
      break;
    default: {
      if (idx == static_cast<int>(KeywordId::IsSysQuit)) {
        Report(line, CMsg::IsSysQuitObsolete, "", true);
        ++warningCount;
      }
      if (idx == static_cast<int>(KeywordId::RunLine) || idx == static_cast<int>(KeywordId::InterLineServer))
        CompileRoot()->pruneFunctions = 0;
      if (CompileArgs(line, text, args, values) < 0) return -1;
      TagTelBasic* root = GetRoot(this);
      TagKxCall* call = parent ? parent->callObject : callObject;
      TagOpArgs a{*head, values, this, root, call ? static_cast<int>(call->lineType.load()) : 0, lineNo};
      op = TagOpFactory::Instance().Make(a);
      break;
    }
  }
  AddOper(op, src, line, kindChar);
  if (idx == static_cast<int>(KeywordId::Return)) static_cast<TagReturn*>(op)->TakeValueStep();
  return LinkBlocks(line, text);
}

int TagTelBasic::CompileCall(int line, const std::string& src, const std::string& text) {
  std::string fname, rest;
  if (SplitCallName(text, fname, rest) < 0) {
    Report(line, CMsg::UnknownKeyword, text);
    return -1;
  }
  TagVar* fv = nullptr;
  std::vector<std::string> args;
  std::vector<TagVar*> values;
  if (FindVar(fname, fv) >= 0) {
    const int n = SplitArgs(rest, kMaxArgs, args, ',', ')');
    if (n < 0) {
      Report(line, CMsg::EmptyArgument, text);
      return -1;
    }
    TagTelBasic* body = fv->IsFunction() ? fv->Function() : nullptr;
    if (body && n != body->paramCount) {
      Report(line, n > body->paramCount ? CMsg::TooManyArgs : CMsg::TooFewArgs, text);
      return -1;
    }
    if (CompileArgs(line, text, args, values) < 0) return -1;
    auto* call = new TagCall(fv, this);
    for (TagVar* v : values) call->AddArg(v);
    if (body) body->CountCall(name);
    AddOper(call, src, line, kOpCall);
    return LinkBlocks(line, text);
  }
  TagTelBasic* owner = CompileRoot();
  auto it = owner->dllFunctions.find(fname);
  if (it == owner->dllFunctions.end()) {
    Report(line, CMsg::UnknownKeyword, text);
    return -1;
  }
  const int n = SplitArgs(rest, kMaxArgs, args, ',', ')');
  if (n < 0) {
    Report(line, CMsg::EmptyArgument, text);
    return -1;
  }
  if (it->second >= 0 && n != it->second) {
    Report(line, n > it->second ? CMsg::TooManyArgs : CMsg::TooFewArgs, text);
    return -1;
  }
  if (CompileArgs(line, text, args, values) < 0) return -1;
  auto* call = new TagDllCall(fname, this);
  for (TagVar* v : values) call->AddArg(v);
  AddOper(call, src, line, kOpOperation);
  return LinkBlocks(line, text);
}

int TagTelBasic::CompileFunctionDef(int line, const std::string& src, const std::string& rest,
                                    const std::string& comment) {
  (void)comment;
  // Definitions inside a function would route the following lines wrongly.
  if (parent) {
    Report(line, CMsg::FuncSyntax, src);
    return -1;
  }
  std::string fname, paramText;
  if (SplitCallName(rest, fname, paramText) < 0 || fname.empty()) {
    Report(line, CMsg::FuncSyntax, src);
    return -1;
  }
  if (FindFunctionIndex(fname) >= 0) {
    Report(line, CMsg::FuncRedefined, src);
    return -1;
  }
  if (KeywordDict().Find(fname + "(")) {
    Report(line, CMsg::FuncNamedLikeBuiltin, src);
    return -1;
  }
  std::vector<std::string> names;
  if (SplitArgs(paramText, kMaxParams, names, ',', ')') < 0) {
    Report(line, CMsg::EmptyArgument, src);
    return -1;
  }
  functionStack.push_back(line);
  auto* body = new TagTelBasic(curFileName, fname, this);
  functions.push_back(body);
  body->definitionText = src;
  bool badParam = false;
  for (std::string p : names) {
    p = std::string(SkipBlanksAndEquals(p));
    TrimRight(p);
    if (!IsValidName(p) || body->AddParam(p) < 0) badParam = true;
  }
  TagVar* existing = nullptr;
  const bool taken = FindVar(fname, existing) >= 0;
  auto fv = std::make_unique<TagVar>();
  fv->DefineFunction(fname, body, true);
  AddVariable(std::move(fv));
  if (badParam) {
    Report(line, CMsg::FuncBadParam, src);
    return -1;
  }
  if (taken) {
    Report(line, CMsg::FuncNameIsVariable, src);
    return -1;
  }
  return 0;
}

int TagTelBasic::CompileInclude(int line, const std::string& text, size_t pos) {
  if (parent) {
    Report(line, CMsg::IncludeInFunction, text);
    return -1;
  }
  std::string file;
  if (ParseIncludeName(std::string_view(text).substr(pos), file) < 0 || file.empty()) {
    Report(line, CMsg::BadIncludeName, text);
    return -1;
  }
  const std::string saved = curFileName;
  LoadFile(line, file);
  curFileName = saved;
  return 0;
}

void TagTelBasic::DeclareDllFunction(const std::string& fnName, int argCount) {
  // The first declaration of a name stands; a later one with another count
  // would make calls compiled before it refuse their own arguments.
  CompileRoot()->dllFunctions.emplace(fnName, argCount);
}
