#include "engine/expr.h"

#include <cstring>

#include "engine/byteset.h"
#include "engine/scan.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "platform/text.h"

// ---- steps ----

int TagCalculate::ExecuteGeneral() {
  if (!key_) {
    TagVar::Calculate(op_, *target_, *a_, b_);
    return 0;
  }
  TagVar tmp;
  if (TagVar::Calculate(op_, tmp, *a_, b_)) target_->SetItem(*key_, tmp);
  tmp.SetInt(0);  // drops the reference a map result took
  return 0;
}

TagExpre::~TagExpre() {
  for (TagCalculate* s : steps_) delete s;
}

TagMulPlus::TagMulPlus(std::vector<TagVar*> operands, TagVar* target, TagVar* key)
    : operands_(std::move(operands)), target_(target), key_(key) {
  plainNext = 1;
  if (operands_.size() > kMaxOperands) operands_.resize(kMaxOperands);
}

int TagMulPlus::Execute() {
  if (operands_.size() < 3) return -1;
  TagVar acc;
  TagVar::AddAssign(acc, *operands_[0], *operands_[1]);
  for (size_t i = 2; i < operands_.size(); ++i) TagVar::AddAssign(acc, acc, *operands_[i]);
  if (key_)
    target_->SetItem(*key_, acc);
  else
    target_->Assign(acc);
  acc.SetInt(0);
  return 0;
}

// ---- parser ----

namespace {

constexpr TagByteSet kOperatorBytes("+-*/%><!=()|&[],^~");
bool IsOperatorByte(char c) { return kOperatorBytes(c); }

// A literal token (quotes included) as its bytes.
std::string DecodeLiteral(std::string_view tok) {
  std::string out;
  for (size_t i = 1; i + 1 < tok.size(); ++i) {
    char c = tok[i];
    if (c == '\\' && i + 2 < tok.size()) {
      char n = tok[i + 1];
      if (n == '\\') {
        out += '\\';
        ++i;
        continue;
      }
      if (n == 'n' || n == 'r' || n == 't' || n == '"') {
        out += n == 'n' ? '\n' : n == 'r' ? '\r' : n == 't' ? '\t' : '"';
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

}  // namespace

bool TagComplexExpre::Tokenize(std::string_view text, std::vector<Token>& out, std::string& error,
                               std::string& warning, bool& purePlus) {
  out.clear();
  if (out.capacity() < 16) out.reserve(16);
  purePlus = false;
  // The token being read is always one run of the text: kept as its start
  // and length, copied once when it ends.
  size_t curStart = 0, curLen = 0;
  bool inLiteral = false, closedLiteral = false, number = false;
  int plusCount = 0, otherOps = 0;
  auto flush = [&]() {
    if (curLen != 0) out.push_back({text.substr(curStart, curLen), 2});
    curLen = 0;
    closedLiteral = number = false;
  };
  const size_t n = text.size();
  size_t i = 0;
  for (; i < n; ++i) {
    const char c = text[i];
    if (inLiteral) {
      ++curLen;
      if (c == '\\' && i + 1 < n) {
        ++i;
        ++curLen;
      } else if (c == '"') {
        inLiteral = false;
        closedLiteral = true;
      }
      continue;
    }
    if (c == '"') {
      if (curLen != 0) {
        error = GBK("语法错误, 缺少操作符!");
        return false;
      }
      curStart = i;
      curLen = 1;
      inLiteral = true;
      continue;
    }
    if (static_cast<unsigned char>(c) > 128) {
      error = GBK("非法字符");
      return false;
    }
    if (c == ';') break;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      flush();
      continue;
    }
    if (IsOperatorByte(c)) {
      flush();
      const char nx = i + 1 < n ? text[i + 1] : '\0';
      std::string_view op = text.substr(i, 1);
      if ((c == '|' && nx == '|') || (c == '&' && nx == '&') || (c == '=' && nx == '=') ||
          (c == '>' && (nx == '=' || nx == '>')) || (c == '<' && (nx == '=' || nx == '<')) ||
          (c == '!' && nx == '=')) {
        op = text.substr(i, 2);
        ++i;
      } else if (c == '=') {
        op = "==";  // a lone "=" compares
        if (warning.empty()) warning = GBK("'='比较将来可能不再支持, 在表达式中最好使用'=='表示等于比较");
      }
      if (c == '+')
        ++plusCount;
      else
        ++otherOps;
      out.push_back({op, 1});
      continue;
    }
    if (closedLiteral) {
      error = GBK("语法错误, 缺少操作符!");
      return false;
    }
    if (curLen == 0) {
      number = (c >= '0' && c <= '9') || c == '.';
      curStart = i;
    } else if (number && !((c >= '0' && c <= '9') || c == '.')) {
      error = GBK("语法错误, 缺少操作符!");
      return false;
    }
    ++curLen;
    // The rest of the word at once; whatever ends it is looked at above.
    while (i + 1 < n) {
      const char d = text[i + 1];
      if (static_cast<unsigned char>(d) > 128 || d == ';' || d == '"' || d == ' ' || d == '\t' || d == '\r' ||
          d == '\n' || IsOperatorByte(d) || (number && !((d >= '0' && d <= '9') || d == '.')))
        break;
      ++i;
      ++curLen;
    }
  }
  if (inLiteral) {
    error = GBK("语法错误, 缺少操作符!");
    return false;
  }
  flush();
  if (out.empty()) {
    error = GBK("语法错误, 表达式为空！");
    return false;
  }
  purePlus = otherOps == 0 && plusCount >= 2;
  return true;
}

bool TagComplexExpre::IsPurePlus(std::string_view text) {
  // Fewer than two "+" bytes anywhere: not a chain, and no need to tokenise.
  size_t plus = 0;
  for (char c : text) plus += c == '+';
  if (plus < 2) return false;
  std::vector<Token> toks;
  std::string e, w;
  bool pure = false;
  return Tokenize(text, toks, e, w, pure) && pure;
}

TagComplexExpre::TagComplexExpre(std::string_view text, TagTelBasic* inst, const std::string& targetName,
                                 TagVar* key, const std::string& note)
    : inst_(inst) {
  (void)note;  // notes are not stored with values
  // The token list's room is kept per thread: a compile parses thousands of
  // expressions, one at a time.
  tokens_.swap(TokenScratch());
  bool pure = false;
  if (!Tokenize(text, tokens_, error_, warning_, pure)) return;
  // One step per operator at most: the list never grows step by step.
  steps_.reserve(tokens_.size() / 2 + 1);
  // Two operands in a row, or a call inside an expression.
  for (size_t i = 1; i < tokens_.size(); ++i) {
    const Token& p = tokens_[i - 1];
    const Token& t = tokens_[i];
    if (p.type == 2 && t.type == 2) {
      Fail(GBK("语法错误, 缺少操作符:") + std::string(p.text) + " " + std::string(t.text));
      return;
    }
    if (p.type == 2 && t.type == 1 && t.text == "(") {
      Fail(GBK("复杂表达式内暂不支持函数调用 "));
      return;
    }
  }
  Val result;
  if (!Level(1, result)) return;
  if (pos_ < tokens_.size()) {
    Fail(MsgText(CMsg::SyntaxErrorColon) + std::string(tokens_[pos_].text));
    return;
  }
  TagVar* target = nullptr;
  inst_->FindOrCreateVar(targetName, target);
  if (result.step >= 0) {
    steps_[static_cast<size_t>(result.step)]->SetTarget(target, key);
  } else {
    steps_.push_back(new TagCalculate(0, target, result.var, nullptr, key));
  }
}

TagComplexExpre::~TagComplexExpre() {
  for (TagCalculate* s : steps_) delete s;
  tokens_.clear();
  if (tokens_.capacity() > TokenScratch().capacity()) tokens_.swap(TokenScratch());
}

std::vector<TagComplexExpre::Token>& TagComplexExpre::TokenScratch() {
  thread_local std::vector<Token> scratch;
  return scratch;
}

std::vector<TagCalculate*> TagComplexExpre::TakeSteps() {
  std::vector<TagCalculate*> s;
  if (error_.empty()) s.swap(steps_);
  return s;
}

bool TagComplexExpre::Fail(std::string msg) {
  if (error_.empty()) error_ = std::move(msg);
  return false;
}

TagVar* TagComplexExpre::Materialize(Val& v) {
  if (v.step >= 0) {
    TagVar* t = inst_->NewTempVar();
    steps_[static_cast<size_t>(v.step)]->SetTarget(t, nullptr);
    v.var = t;
    v.step = -1;
  }
  return v.var;
}

bool TagComplexExpre::Emit(char op, Val a, const Val* b, Val& out) {
  TagVar* av = Materialize(a);
  TagVar* bv = nullptr;
  if (b) {
    Val bb = *b;
    bv = Materialize(bb);
  }
  steps_.push_back(new TagCalculate(op, nullptr, av, bv));
  out.var = nullptr;
  out.step = static_cast<int>(steps_.size()) - 1;
  return true;
}

namespace {
// The binary operators by level (1 lowest, 6 highest; level 7 and below are
// unary, postfix and primary) and their step codes:
//   1 || &&   2 & ^ |   3 == > < >= <= !=   4 << >>   5 + -   6 * / %
// Found from the token's bytes at once: every operand passes every level. A
// one-character operator's code is its own character.
int BinaryLevel(std::string_view t, char& code) {
  if (t.size() == 1) {
    switch (t[0]) {
      case '&': case '^': case '|': code = t[0]; return 2;
      case '>': case '<': code = t[0]; return 3;
      case '+': case '-': code = t[0]; return 5;
      case '*': case '/': case '%': code = t[0]; return 6;
      default: return 0;
    }
  }
  if (t.size() != 2) return 0;
  const char a = t[0], b = t[1];
  if (a == '|' && b == '|') { code = kCalcOr; return 1; }
  if (a == '&' && b == '&') { code = kCalcAnd; return 1; }
  if (b == '=') {
    switch (a) {
      case '=': code = kCalcEq; return 3;
      case '>': code = kCalcGreaterEq; return 3;
      case '<': code = kCalcLessEq; return 3;
      case '!': code = kCalcNotEq; return 3;
      default: return 0;
    }
  }
  if (a == '<' && b == '<') { code = kCalcShiftLeft; return 4; }
  if (a == '>' && b == '>') { code = kCalcShiftRight; return 4; }
  return 0;
}
}  // namespace

bool TagComplexExpre::IsOp1(char op) const {
  if (pos_ >= tokens_.size()) return false;
  const Token& t = tokens_[pos_];
  return t.type == 1 && t.text.size() == 1 && t.text[0] == op;
}

bool TagComplexExpre::Level(int level, Val& out) {
  if (!Unary(out)) return false;
  return Climb(level, out);
}

// Steps come out in the order the level-by-level descent gave them: the
// tighter operators on the right are stepped before the operator joining them.
bool TagComplexExpre::Climb(int level, Val& lhs) {
  while (true) {
    if (pos_ >= tokens_.size() || tokens_[pos_].type != 1) return true;
    const std::string_view t = tokens_[pos_].text;
    if (level == 1 && ((t == ")" && parenDepth_ == 0) || (t == "]" && bracketDepth_ == 0)))
      return Fail(std::string(t) + GBK("没有匹配的括号 "));
    char code = 0;
    const int opLevel = BinaryLevel(t, code);
    if (opLevel == 0 || opLevel < level) return true;
    ++pos_;
    Val rhs;
    if (!Unary(rhs)) return false;
    while (pos_ < tokens_.size() && tokens_[pos_].type == 1) {
      char next = 0;
      if (BinaryLevel(tokens_[pos_].text, next) <= opLevel) break;
      if (!Climb(opLevel + 1, rhs)) return false;
    }
    if (!Emit(code, lhs, &rhs, lhs)) return false;
  }
}

bool TagComplexExpre::Unary(Val& out) {
  for (CalcOp u : {kCalcAdd, kCalcSub, kCalcComplement, kCalcNot}) {
    if (IsOp1(u)) {
      ++pos_;
      Val v;
      if (!Postfix(v)) return false;
      return Emit(u, v, nullptr, out);
    }
  }
  return Postfix(out);
}

bool TagComplexExpre::Postfix(Val& out) {
  if (!Primary(out)) return false;
  while (IsOp1('[')) {
    if (parenDepth_ + bracketDepth_ >= kMaxNesting) return Fail(MsgText(CMsg::SyntaxError));
    ++pos_;
    ++bracketDepth_;
    Val idx;
    if (!Level(1, idx)) return false;
    if (!IsOp1(']')) return Fail(std::string("[") + GBK("没有匹配的括号 "));
    ++pos_;
    --bracketDepth_;
    if (!Emit(kCalcIndex, out, &idx, out)) return false;
  }
  return true;
}

bool TagComplexExpre::Primary(Val& out) {
  if (pos_ >= tokens_.size()) return Fail(GBK("语法错误, 缺少操作符!"));
  const Token& t = tokens_[pos_];
  if (t.type == 1) {
    if (t.text != "(") return Fail(MsgText(CMsg::SyntaxErrorColon) + std::string(t.text));
    if (parenDepth_ + bracketDepth_ >= kMaxNesting) return Fail(MsgText(CMsg::SyntaxError));
    ++pos_;
    ++parenDepth_;
    if (!Level(1, out)) return false;
    if (!IsOp1(')')) return Fail(std::string("(") + GBK("没有匹配的括号 "));
    ++pos_;
    --parenDepth_;
    return true;
  }
  ++pos_;
  out.step = -1;
  return Resolve(t.text, out.var);
}

bool TagComplexExpre::Resolve(std::string_view tok, TagVar*& out) {
  int r;
  if (tok.front() == '"') {
    r = inst_->OperandVar(TagOperand::kString, DecodeLiteral(tok), out);
  } else if ((tok.front() >= '0' && tok.front() <= '9') || tok.front() == '.') {
    r = inst_->OperandVar(tok.find('.') == std::string_view::npos ? TagOperand::kInteger : TagOperand::kReal, tok,
                          out);
  } else {
    r = inst_->OperandVar(TagOperand::kName, tok, out);
  }
  if (r >= 0) return true;
  if (r == -1) return Fail(MsgText(CMsg::VarNotAssignedColon) + std::string(tok));
  return Fail(MsgText(CMsg::SyntaxErrorColon) + std::string(tok));
}
