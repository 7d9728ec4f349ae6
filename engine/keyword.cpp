#include "engine/keyword.h"

#include <string>
#include <vector>

#include "engine/byteset.h"

namespace {

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

TagKeyword::TagKeyword() {
  byName_.reserve(kKeywordTable.size() * 2);
  for (const RecKeyword& rec : kKeywordTable) byName_.emplace(rec.name, &rec);
}

const RecKeyword* TagKeyword::Lookup(std::string_view name) const {
  if (name.empty()) return nullptr;
  auto it = byName_.find(name);
  return it == byName_.end() ? nullptr : it->second;
}

const RecKeyword* TagKeyword::Find(std::string_view name) const {
  const RecKeyword* rec = Lookup(name);
  if (rec == nullptr || rec->index < kFirstOperation) return nullptr;
  return rec;
}

namespace {
// What can still decide a head once a byte no keyword holds was met.
constexpr TagByteSet kAfterWordsBytes("{}(;\"<\r\n");
}  // namespace

const RecKeyword* TagKeyword::ParseHead(std::string_view text, size_t& pos) const {
  // Only the first three words shape a head; the count tells the rest.
  std::string_view words[3];
  size_t wordCount = 0;
  auto push = [&](std::string_view w) {
    if (wordCount < 3) words[wordCount] = w;
    ++wordCount;
  };
  size_t start = std::string_view::npos;  // start of the word being read
  bool noWords = false;  // a character no keyword may hold was met; only a brace can still win
  size_t i = 0;
  for (;; ++i) {
    const bool atEnd = i >= text.size();
    const char c = atEnd ? '\0' : text[i];
    if (atEnd || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (start != std::string_view::npos) {
        std::string_view word = text.substr(start, i - start);
        start = std::string_view::npos;
        if (wordCount == 0 && (word == "const" || word == "function")) {
          pos = atEnd ? text.size() : i + 1;
          return &KeywordRec(word == "const" ? KeywordId::Const : KeywordId::Function);
        }
        push(word);
      }
      if (atEnd || c == '\r' || c == '\n') break;
      continue;
    }
    if (c == '{' || c == '}') {
      pos = i + 1;
      return &KeywordRec(c == '{' ? KeywordId::BlockOpen : KeywordId::BlockClose);
    }
    if (noWords) {
      // x = 1 {  is a brace; x = f(a) {  and  x = "{"  are not. The rest
      // of the line is only looked at for these bytes.
      for (; i < text.size(); ++i) {
        const char d = text[i];
        if (!kAfterWordsBytes(d)) continue;
        if (d == '\r' || d == '\n') return nullptr;
        if (d == '{' || d == '}') {
          pos = i + 1;
          return &KeywordRec(d == '{' ? KeywordId::BlockOpen : KeywordId::BlockClose);
        }
        return nullptr;
      }
      return nullptr;
    }
    if (c == '(' || c == ';') {
      if (start == std::string_view::npos) start = i;
      push(text.substr(start, i + 1 - start));
      ++i;
      break;
    }
    if (c == '"' || c == '<') {
      if (start != std::string_view::npos) push(text.substr(start, i - start));
      break;
    }
    const bool allowed = start == std::string_view::npos ? IsAsciiLetter(c) || c == '_' || c == '#'
                                                          : IsAsciiLetter(c) || IsAsciiDigit(c) || c == '_';
    if (!allowed) {
      noWords = true;
      start = std::string_view::npos;
    } else if (start == std::string_view::npos) {
      start = i;
    }
  }
  if (noWords) return nullptr;
  pos = i;

  // else if( and else if ( are one head; while ( is "while(", break ; is "break;".
  std::string head;
  if (wordCount >= 2 && words[0] == "else") {
    head = "else ";
    head += words[1];
    if (wordCount == 3 && words[2] == "(") head += '(';
  } else if (wordCount == 2 && (words[1] == "(" || words[1] == ";")) {
    head = std::string(words[0]) + std::string(words[1]);
  } else if (wordCount > 0) {
    return Lookup(words[0]);
  }
  return Lookup(head);
}

const TagKeyword& KeywordDict() {
  static const TagKeyword dict;
  return dict;
}

const RecKeyword* FindKeyword(std::string_view text, size_t& pos) {
  size_t at = 0;
  const RecKeyword* rec = KeywordDict().ParseHead(text, at);
  if (rec != nullptr) pos = at;
  return rec;
}

const RecKeyword* FindKeyword(std::string_view text, std::string& name, size_t& pos) {
  size_t at = 0;
  const RecKeyword* rec = KeywordDict().ParseHead(text, at);
  if (rec == nullptr) {
    name.clear();
    return nullptr;
  }
  name.assign(rec->name);
  pos = at;
  return rec;
}
