#include "engine/scan.h"

#include <cstring>

#include "engine/byteset.h"
#include "engine/compilediag.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

constexpr TagByteSet kStatementDelimiters("(;{}+-*/[],%><=");
constexpr TagByteSet kSimpleOperators("!%*/<=>^~&|()[]+-");
constexpr TagByteSet kCommentOrLineEndBytes("/*\n");
// Bytes that end a name in a simple expression (every other byte is part of it).
constexpr TagByteSet kOperandEnd(" \t;',:?\"!%*/<=>^~&|()[]+-");
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool At(std::string_view t, size_t i, char a, char b) { return i + 1 < t.size() && t[i] == a && t[i + 1] == b; }

std::string WithoutBlanks(std::string_view t) {
  std::string out;
  out.reserve(t.size());
  for (char c : t)
    if (!IsBlank(c)) out += c;
  return out;
}

std::string_view TrimBlanksRight(std::string_view t) {
  while (!t.empty() && IsBlank(t.back())) t.remove_suffix(1);
  return t;
}

// Skips block comment text from i while the comment stack is deeper than
// base; nested "/*" count. Returns the position after the comment's "*/",
// or the end of the text when it stays open.
size_t SkipCommentBody(std::string_view text, size_t i, std::vector<int>& stack, size_t base, int line) {
  while (i < text.size() && stack.size() > base) {
    if (At(text, i, '/', '*')) {
      stack.push_back(line);
      i += 2;
    } else if (At(text, i, '*', '/')) {
      stack.pop_back();
      i += 2;
    } else {
      ++i;
    }
  }
  return i;
}

}  // namespace

std::string_view SkipBlanksAndEquals(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (IsBlank(text[i]) || text[i] == '=')) ++i;
  return text.substr(i);
}

void TrimRight(std::string& text) {
  size_t n = text.size();
  while (n > 0 && (IsBlank(text[n - 1]) || text[n - 1] == '\n' || text[n - 1] == '\r')) --n;
  text.resize(n);
}

void RemoveBlanks(std::string& text) {
  size_t lf = text.find('\n');
  size_t head = lf == std::string::npos ? text.size() : lf;
  std::string out = WithoutBlanks(std::string_view(text).substr(0, head));
  out.append(text, head, std::string::npos);
  text.swap(out);
}

bool IsBlankText(std::string_view text) {
  for (char c : text)
    if (!IsBlank(c)) return false;
  return true;
}

bool IsRestBlank(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  if (i == text.size() || text[i] == '\r' || text[i] == '\n') return true;
  return At(text, i, '/', '/') || At(text, i, '/', '*');
}

long SkipLeadingComments(TagCompileDiag& diag, std::string_view text, int line) {
  std::vector<int>& stack = diag.Comments();
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (IsBlank(c)) {
      ++i;
    } else if (At(text, i, '/', '*')) {
      stack.push_back(line);
      i += 2;
    } else if (At(text, i, '*', '/')) {
      if (stack.empty()) {
        diag.Report(line, CMsg::NoCommentStart, text);
        return kStrayCommentEnd;
      }
      stack.pop_back();
      i += 2;
    } else if (!stack.empty()) {
      ++i;
    } else if (c == '\r' || c == '\n' || At(text, i, '/', '/')) {
      return kNoStatement;
    } else {
      return static_cast<long>(i);
    }
  }
  return kNoStatement;
}

bool HasCommentMarkOrLineEnd(std::string_view text) {
  // A lone "/" or "*" is an operator, and the text stays as it is.
  // Eight bytes a step while none of them is '/', '*' or a line feed.
  size_t i = 0;
  while (i + 8 <= text.size()) {
    uint64_t w;
    std::memcpy(&w, text.data() + i, 8);
    if (WordHasByte(w, '/') || WordHasByte(w, '*') || WordHasByte(w, '\n')) break;
    i += 8;
  }
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (!kCommentOrLineEndBytes(c)) continue;
    if (c == '\n' || At(text, i, '/', '/') || At(text, i, '/', '*') || At(text, i, '*', '/')) return true;
  }
  return false;
}

int StripComments(TagCompileDiag& diag, std::string& text, std::string& comment, int line, bool cut) {
  // Without a comment mark or a line end every byte stays: no copy.
  if (!HasCommentMarkOrLineEnd(text)) {
    comment.clear();
    return 0;
  }
  std::vector<int>& stack = diag.Comments();
  const std::string_view in(text);
  std::string out;
  out.reserve(in.size());
  comment.clear();
  bool inString = false;
  size_t i = 0;
  while (i < in.size()) {
    char c = in[i];
    if (inString) {
      out += c;
      if (c == '\\' && i + 1 < in.size()) {
        out += in[i + 1];
        i += 2;
        continue;
      }
      if (c == '"') inString = false;
      ++i;
      continue;
    }
    if (c == '"') {
      inString = true;
      out += c;
      ++i;
    } else if (c == '\n') {
      if (!cut) out.append(in.substr(i));
      break;
    } else if (At(in, i, '/', '/')) {
      comment.assign(in.substr(i + 2));
      break;
    } else if (At(in, i, '/', '*')) {
      const size_t base = stack.size();
      stack.push_back(line);
      size_t end = SkipCommentBody(in, i + 2, stack, base, line);
      if (stack.size() > base) {  // open to later lines
        comment.assign(in.substr(i + 2));
        break;
      }
      comment.assign(in.substr(i + 2, end - 2 - (i + 2)));
      out += ' ';  // the comment separates what stands around it
      i = end;
    } else if (At(in, i, '*', '/')) {
      if (stack.empty()) {
        diag.Report(line, CMsg::NoCommentStart, in);
        return -1;
      }
      stack.pop_back();
      i += 2;
    } else {
      out += c;
      ++i;
    }
  }
  text.swap(out);
  return static_cast<int>(comment.size());
}

namespace {

int ClassifyStatementInto(std::string_view text, size_t& offset, std::string* name, std::string* index) {
  struct Token {
    char sym;  // 'v' for a word, else the delimiter
    size_t begin, end;
  };
  constexpr size_t kMaxTokens = 7;
  Token tokens[kMaxTokens];
  size_t count = 0;
  size_t wordStart = std::string_view::npos;
  bool inString = false;
  auto endWord = [&](size_t at) {
    if (wordStart == std::string_view::npos) return;
    if (count < kMaxTokens) tokens[count++] = Token{'v', wordStart, at};
    wordStart = std::string_view::npos;
  };
  size_t i = 0;
  for (; i < text.size() && count < kMaxTokens; ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') break;  // inside a string too
    if (inString) {
      if (c == '\\' && i + 1 < text.size()) {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (IsBlank(c)) {
      endWord(i);
      continue;
    }
    if (c == '"') {
      if (wordStart == std::string_view::npos) wordStart = i;
      inString = true;
      continue;
    }
    if (kStatementDelimiters(c)) {
      endWord(i);
      if (count < kMaxTokens) tokens[count++] = Token{c, i, i + 1};
      continue;
    }
    if (wordStart == std::string_view::npos) wordStart = i;
  }
  endWord(i);

  auto shape = [&](std::string_view s) {
    if (s.size() > count) return false;
    for (size_t k = 0; k < s.size(); ++k)
      if (tokens[k].sym != s[k]) return false;
    return true;
  };
  auto tokenText = [&](size_t k) { return text.substr(tokens[k].begin, tokens[k].end - tokens[k].begin); };

  if (shape("v(")) return kShapeCall;
  if (shape("v=v(")) {
    if (name) name->assign(tokenText(0));
    offset = tokens[1].end;
    return kShapeCallAssign;
  }
  if (shape("v[v]=v(")) {
    if (name) name->assign(tokenText(0));
    if (index) index->assign(tokenText(2));
    offset = tokens[4].end;
    return kShapeCallAssign;
  }
  if (shape("v=")) {
    if (name) name->assign(tokenText(0));
    return kShapeAssign;
  }
  if (shape("v[v]=")) {
    if (name) name->assign(tokenText(0));
    if (index) index->assign(tokenText(2));
    return kShapeAssign;
  }
  if (shape("vv=")) {
    if (name) name->assign(tokenText(1));
    return kShapeTwoWords;
  }
  if (shape("v+") || shape("v-") || shape("+") || shape("-")) return kShapeIncDec;
  return kShapeOther;
}

}  // namespace

int ClassifyStatement(std::string_view text, size_t& offset, std::string& name, std::string& index) {
  name.clear();
  index.clear();
  return ClassifyStatementInto(text, offset, &name, &index);
}

int ClassifyStatement(std::string_view text, size_t& offset) { return ClassifyStatementInto(text, offset, nullptr, nullptr); }

bool ParseIncDec(TagCompileDiag& diag, int line, std::string_view text, std::string& name, char& op) {
  name.clear();
  op = 0;
  if (text.empty() || text[0] == '"' || IsDigit(text[0])) return false;
  bool nameClosed = false;  // after ")" or ";" nothing extends the name
  bool nameEnded = false;   // a blank or the operator ended the name
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    switch (c) {
      case '"': case '(': case '*': case '/': case '{': case '}':
        return false;
      case ')': case ';':
        nameClosed = true;
        break;
      case '+': case '-':
        if (i + 1 >= text.size() || text[i + 1] != c || op != 0) return false;
        op = c;
        ++i;
        if (!name.empty()) nameEnded = true;
        break;
      case ' ': case '\t':
        if (!name.empty()) nameEnded = true;
        break;
      default:
        if (nameClosed) break;
        // A second word ("a b++", "x++ y") is not the one variable to step.
        if (nameEnded) return false;
        name += c;
        break;
    }
  }
  if (op == 0) return false;
  if (!IsValidName(name)) {
    diag.Report(line, CMsg::BadIncDecName, text);
    op = 0;
    return false;
  }
  return true;
}

int SplitAssignTarget(std::string_view text, std::string& name, std::string& index) {
  name.clear();
  index.clear();
  size_t eq = text.find('=');
  if (eq == std::string_view::npos) return 0;
  std::string_view before = text.substr(0, eq);
  size_t bracket = before.find('[');
  std::string n;
  std::string idx;
  if (bracket != std::string_view::npos) {
    idx = TrimBlanksRight(before.substr(bracket + 1));
    n = WithoutBlanks(before.substr(0, bracket));
  } else {
    // Most targets are one word between blanks: copied at once.
    size_t b = 0, e = before.size();
    while (b < e && IsBlank(before[b])) ++b;
    while (e > b && IsBlank(before[e - 1])) --e;
    size_t k = b;
    while (k < e && !IsBlank(before[k])) ++k;
    if (k == e)
      n.assign(before.substr(b, e - b));
    else
      n = WithoutBlanks(before);
  }
  if (!n.empty() && (n[0] == '"' || IsDigit(n[0]))) return -1;
  if (!IsValidName(n)) return -2;
  name = std::move(n);
  index = std::move(idx);
  return static_cast<int>(name.size());
}

bool IsValidName(std::string_view text) {
  if (text.empty() || text[0] == '"' || IsDigit(text[0])) return false;
  for (char c : text) {
    switch (c) {
      case '!': case '"': case '\'': case '(': case ')': case ';': case '[': case ']': case '{': case '}':
        return false;
      default:
        break;
    }
  }
  return true;
}

int SplitCallName(std::string_view text, std::string& name, std::string& rest) {
  size_t paren = text.find('(');
  if (paren == std::string_view::npos) {
    name.clear();
    rest.clear();
    return -1;
  }
  name = WithoutBlanks(text.substr(0, paren));
  rest.assign(text.substr(paren + 1));
  return 0;
}

namespace {

// Pieces are views of text or copies of them, as the caller keeps them.
template <typename Piece>
int SplitArgsInto(std::string_view text, int maximum, std::vector<Piece>& args, char separator, char terminator) {
  args.clear();
  if (maximum < 0) maximum = kMaxArgs;
  const bool blankSep = separator == ' ' || separator == '\t';
  // A closing ")" is the end of the text; it is cut from the last argument.
  const bool endTerm = terminator == kEndOfText || terminator == ')';
  const size_t n = text.size();
  size_t i = 0;
  if (blankSep)
    while (i < n && IsBlank(text[i])) ++i;
  size_t start = i;
  bool inString = false;
  bool termSeen = false;
  bool sepSeen = false;

  auto store = [&](std::string_view arg) -> int {
    if (static_cast<int>(args.size()) >= maximum) return -4;
    args.emplace_back(arg);
    return 0;
  };
  // The last argument: stored as written, less a trailing ";" and ")".
  auto storeLast = [&](std::string_view arg) -> int {
    arg = TrimBlanksRight(arg);
    if (!arg.empty() && arg.back() == ';') arg = TrimBlanksRight(arg.substr(0, arg.size() - 1));
    if (endTerm && !arg.empty() && arg.back() == ')') arg = TrimBlanksRight(arg.substr(0, arg.size() - 1));
    if (IsBlankText(arg)) {
      // "f(a, )": an argument left empty after a separator.
      return sepSeen && !blankSep ? -1 : 0;
    }
    return store(arg);
  };

  for (; i < n; ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\' && i + 1 < n) {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
      continue;
    }
    if (c == '{' || c == '}') return -5;
    const bool isSep = blankSep ? IsBlank(c) : c == separator;
    if (isSep) {
      std::string_view arg = SkipBlanksAndEquals(text.substr(start, i - start));
      if (arg.empty()) return -1;
      if (int r = store(arg); r < 0) return r;
      sepSeen = true;
      if (separator == terminator) termSeen = true;
      if (blankSep)
        while (i + 1 < n && IsBlank(text[i + 1])) ++i;
      start = i + 1;
      continue;
    }
    if (!endTerm && c == terminator) {
      if (int r = storeLast(text.substr(start, i - start)); r < 0) return r;
      return static_cast<int>(args.size());
    }
  }
  if (inString) return endTerm || termSeen ? -3 : -2;
  if (endTerm) {
    if (int r = storeLast(text.substr(start)); r < 0) return r;
    return static_cast<int>(args.size());
  }
  if (!termSeen) return -2;
  // Separator and terminator are one (";"): text after the last one is not
  // dropped silently but counted, so the caller sees an extra part.
  std::string_view rest = SkipBlanksAndEquals(text.substr(start));
  if (!rest.empty()) {
    if (int r = store(rest); r < 0) return r;
  }
  return static_cast<int>(args.size());
}

}  // namespace

int SplitArgs(std::string_view text, int maximum, std::vector<std::string>& args, char separator,
              char terminator) {
  return SplitArgsInto(text, maximum, args, separator, terminator);
}

int SplitArgs(std::string_view text, int maximum, std::vector<std::string_view>& args, char separator,
              char terminator) {
  return SplitArgsInto(text, maximum, args, separator, terminator);
}

int ParseSimpleExpression(TagOperand& first, char& op, TagOperand& second, std::string_view text,
                          std::string& message) {
  first = TagOperand{};
  second = TagOperand{};
  op = 0;
  message.clear();
  auto fail = [&](int code, CMsg msg) {
    message = MsgText(msg);
    return code;
  };
  enum class St { kNotStarted, kReading, kEnded };
  TagOperand* cur = &first;
  // An operand's bytes are mostly one run of the text: appended as a run,
  // not byte by byte. Flushed before anything reads an operand's text and
  // when the function returns.
  struct Run {
    TagOperand* op = nullptr;
    const char* base;
    size_t b = 0, e = 0;
    void Flush() {
      if (op && e > b) op->text.append(base + b, e - b);
      op = nullptr;
    }
    ~Run() { Flush(); }
  } run{nullptr, text.data()};
  auto put = [&](size_t at, size_t len = 1) {
    if (run.op == cur && run.e == at) {
      run.e += len;
      return;
    }
    run.Flush();
    run.op = cur;
    run.b = at;
    run.e = at + len;
  };
  auto putByte = [&](char c) {
    run.Flush();
    cur->text += c;
  };
  St st = St::kNotStarted;
  bool inString = false;
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\' && i + 1 < n) {
        char mapped;
        switch (text[i + 1]) {
          case '\\': mapped = '\\'; break;
          case 'n': mapped = '\n'; break;
          case 'r': mapped = '\r'; break;
          case 't': mapped = '\t'; break;
          case '"': mapped = '"'; break;
          default:
            put(i);  // any other backslash stays
            continue;
        }
        putByte(mapped);
        ++i;
      } else if (c == '"') {
        inString = false;
        st = St::kEnded;
      } else {
        size_t j = i + 1;
        while (j < n && text[j] != '"' && text[j] != '\\') ++j;
        put(i, j - i);
        i = j - 1;
      }
      continue;
    }
    if (IsBlank(c)) {
      if (st == St::kReading) st = St::kEnded;
      continue;
    }
    if (c == ';') {
      for (size_t k = i + 1; k < n; ++k)
        if (!IsBlank(text[k])) return fail(-5, CMsg::SyntaxError);
      break;
    }
    if (c == '\'' || c == ',' || c == ':' || c == '?') return fail(-3, CMsg::UnsupportedOperator);

    const char next = i + 1 < n ? text[i + 1] : '\0';
    const bool startOfFirst = cur == &first && st == St::kNotStarted;
    bool isOp = kSimpleOperators(c);
    if (startOfFirst && (c == '+' || (c == '-' && IsDigit(next)))) isOp = false;
    if (isOp) {
      if (op != 0) return fail(-1, CMsg::MultipleOperators);
      if (cur == &second && st != St::kNotStarted) return fail(-5, CMsg::SyntaxError);
      switch (c) {
        case '!':
          run.Flush();
          if (next == '=') {
            op = kCalcNotEq;
            ++i;
          } else {
            op = first.text.empty() && first.kind == TagOperand::kEmpty ? kCalcNot : kCalcNotEq;
          }
          break;
        case '>': op = next == '=' ? kCalcGreaterEq : next == '>' ? kCalcShiftRight : kCalcGreater; break;
        case '<': op = next == '=' ? kCalcLessEq : next == '<' ? kCalcShiftLeft : kCalcLess; break;
        case '|': op = next == '|' ? kCalcOr : kCalcBitOr; break;
        case '&': op = next == '&' ? kCalcAnd : kCalcBitAnd; break;
        case '=': op = kCalcEq; break;
        default: op = c; break;
      }
      if ((c == '>' || c == '<') && (next == '=' || next == c)) ++i;
      if ((c == '|' || c == '&' || c == '=') && next == c) ++i;
      cur = &second;
      st = St::kNotStarted;
      continue;
    }

    // An operand's byte.
    if (st == St::kEnded) {
      if (cur == &second) return fail(-5, CMsg::SyntaxError);
      cur = &second;  // what follows the first operand belongs to the second
      st = St::kNotStarted;
    }
    if (c == '"') {
      if (st == St::kReading) return fail(-5, CMsg::SyntaxError);
      cur->kind = TagOperand::kString;
      st = St::kReading;
      inString = true;
      continue;
    }
    if (st == St::kNotStarted) {
      st = St::kReading;
      if (IsDigit(c) || c == '-' || (c == '+' && IsDigit(next))) {
        cur->kind = TagOperand::kInteger;
      } else if (c == '.') {
        cur->kind = TagOperand::kReal;
      } else {
        cur->kind = TagOperand::kName;
      }
      size_t j = i + 1;
      if (cur->kind == TagOperand::kName)
        while (j < n && !kOperandEnd(text[j])) ++j;
      else
        while (j < n && IsDigit(text[j])) ++j;
      put(i, j - i);
      i = j - 1;
      continue;
    }
    if (cur->kind == TagOperand::kInteger || cur->kind == TagOperand::kReal) {
      if (c == '.') {
        if (cur->kind == TagOperand::kReal) return fail(-5, CMsg::SyntaxError);
        cur->kind = TagOperand::kReal;
      } else if (!IsDigit(c)) {
        return fail(-5, CMsg::SyntaxError);
      }
    } else if (cur->kind == TagOperand::kString) {
      return fail(-5, CMsg::SyntaxError);
    }
    put(i);
  }
  run.Flush();
  if (inString) return fail(-2, CMsg::StringNotEnded);
  if (second.kind != TagOperand::kEmpty && op == 0) return fail(-4, CMsg::MissingOperator);
  return 0;
}
