#include "services/vsp.h"

namespace {

constexpr const char* kPrologue =
    "_RawHtml = 0;\n"
    "GetShareMem(_lineNo, \"_RawHtml\", _RawHtml);\n"
    "_GET = 0;\n"
    "GetShareMem(_lineNo, \"_GET\", _GET);\n"
    "_POST = 0;\n"
    "GetShareMem(_lineNo, \"_POST\", _POST);\n"
    "_COOKIE = 0;\n"
    "GetShareMem(_lineNo, \"_COOKIE\", _COOKIE);\n";

void AddPiece(std::string& out, std::vector<std::string>* pieces, std::string_view piece) {
  out += "Print(_RawHtml[" + std::to_string(pieces->size()) + "]);\n";
  pieces->emplace_back(piece);
}

void AddBlock(std::string& out, std::string_view block) {
  out.append(block);
  if (!block.empty() && block.back() != '\n') out += '\n';
}

}  // namespace

std::string ConvertVsp(std::string_view t, std::vector<std::string>* pieces) {
  pieces->clear();
  std::string out = kPrologue;
  out.reserve(out.size() + t.size() + 64);
  const size_t n = t.size();
  size_t start = 0;  // of the current piece or block
  size_t i = 0;
  while (true) {
    // HTML: up to the next "<%".
    const size_t open = t.find("<%", start);
    if (open == std::string_view::npos) {
      AddPiece(out, pieces, t.substr(start));
      break;
    }
    AddPiece(out, pieces, t.substr(start, open - start));
    start = open + 2;
    i = start;
    bool inString = false, lineComment = false, blockComment = false, closed = false;
    while (i < n) {
      const char c = t[i];
      if (lineComment) {
        if (c == '\n') lineComment = false;
        ++i;
      } else if (blockComment) {
        if (c == '*' && i + 1 < n && t[i + 1] == '/') {
          blockComment = false;
          i += 2;
        } else {
          ++i;
        }
      } else if (inString) {
        if (c == '\\')
          i += 2;  // escapes any byte, a backslash too
        else {
          if (c == '"') inString = false;
          ++i;
        }
      } else if (c == '"') {
        inString = true;
        ++i;
      } else if (c == '\\' && i + 1 < n && t[i + 1] == '"') {
        i += 2;
      } else if (c == '/' && i + 1 < n && t[i + 1] == '/') {
        lineComment = true;
        i += 2;
      } else if (c == '/' && i + 1 < n && t[i + 1] == '*') {
        blockComment = true;
        i += 2;
      } else if (c == '%' && i + 1 < n && t[i + 1] == '>') {
        closed = true;
        break;
      } else {
        ++i;
      }
    }
    if (!closed) {
      // An open block runs to the end of the template.
      AddBlock(out, t.substr(start));
      out += "return(0);\n";
      return out;
    }
    AddBlock(out, t.substr(start, i - start));
    start = i + 2;
  }
  out += "return(0);\n";
  return out;
}
