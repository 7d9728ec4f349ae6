#include "platform/trim.h"

#include <algorithm>
#include <cstring>

namespace plat {

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

int TrimBuffer(char* buf, int length) {
  if (length <= 0) return length + 1;
  if (buf[0] == '\0') return 1;
  int begin = 0;
  while (begin < length && IsBlank(buf[begin])) ++begin;
  int end = length;
  while (end > begin && (IsBlank(buf[end - 1]) || buf[end - 1] == '\0')) --end;
  int kept = end - begin;
  if (begin > 0) std::memmove(buf, buf + begin, static_cast<size_t>(kept));
  if (kept < length) buf[kept] = '\0';
  return kept + 1;
}

int TrimText(char* text) { return TrimBuffer(text, static_cast<int>(std::min<size_t>(std::strlen(text), 0x7fffffff))); }

void TrimText(std::string& text) {
  size_t begin = 0;
  while (begin < text.size() && IsBlank(text[begin])) ++begin;
  size_t end = text.size();
  while (end > begin && (IsBlank(text[end - 1]) || text[end - 1] == '\0')) --end;
  text = text.substr(begin, end - begin);
}

void RemoveAllBlanks(char* text) {
  char* out = text;
  for (char* p = text; *p; ++p)
    if (!IsBlank(*p)) *out++ = *p;
  *out = '\0';
}

void RemoveAllBlanks(std::string& text) { text.erase(std::remove_if(text.begin(), text.end(), IsBlank), text.end()); }

}  // namespace plat
