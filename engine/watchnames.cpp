#include "engine/watchnames.h"

namespace {

bool EndsWord(char c) {
  switch (c) {
    case ' ': case '\t': case '+': case '-': case '*': case '/': case '%': case '>': case '<':
    case '!': case '=': case '(': case ')': case '|': case '&': case '[': case ']': case ',':
    case '^': case '~':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::set<std::string> StatementNames(std::string_view text) {
  std::set<std::string> names;
  std::string word;
  auto endWord = [&] {
    if (!word.empty() && !(word[0] >= '0' && word[0] <= '9') && word[0] != '.') names.insert(word);
    word.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == ';') break;
    if (c == '"') {
      endWord();
      for (++i; i < text.size() && text[i] != '"'; ++i)
        if (text[i] == '\\') ++i;
      continue;
    }
    if (EndsWord(c)) {
      endWord();
      continue;
    }
    word.push_back(c);
  }
  endWord();
  return names;
}
